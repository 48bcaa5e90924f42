#include "FeedServer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace updates::testing {
namespace {

// Qt reads the status code; the reason phrase is only shown to people.
QByteArray reasonPhrase(const FeedServer::Response& response) {
    if (!response.reason.empty()) {
        return QByteArray::fromStdString(response.reason);
    }
    return response.status == 200 ? "OK" : "Other";
}

// A stream keeps this much queued on the socket, so it goes as fast as the client reads and no faster.
constexpr qint64 streamQueue = 256 * 1024;

} // namespace

FeedServer::FeedServer() {
    if (!m_server.listen(QHostAddress::LocalHost)) {
        throw std::runtime_error("the test feed server could not listen");
    }
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (auto* socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

std::string FeedServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_server.serverPort()) + std::string(path);
}

int FeedServer::requests(const std::string& path) const {
    const auto found = m_requests.find(path);
    return found == m_requests.end() ? 0 : found->second;
}

std::string FeedServer::unreachableURL() {
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const auto port = closed.serverPort();
    closed.close();
    return "http://127.0.0.1:" + std::to_string(port) + "/feed.xml";
}

void FeedServer::serve(QTcpSocket* socket) {
    // The request so far is kept on the socket itself, so that it goes away with the connection.
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n")) {
        return;
    }
    const auto requestLine = request.left(request.indexOf("\r\n")).split(' ');
    const std::string path = requestLine.size() > 1 ? requestLine[1].toStdString() : std::string();
    ++m_requests[path];
    const auto route = m_routes.find(path);
    const Response response =
        route != m_routes.end() ? route->second : Response{404, "no such feed", {}, true};
    if (!response.answers) {
        return;
    }
    const std::uint64_t length =
        response.flow == Flow::whole && response.length != 0 ? response.length : response.body.size();
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response) +
                        "\r\nContent-Type: application/rss+xml\r\nConnection: close\r\n" +
                        QByteArray::fromStdString(response.headers);
    answer += response.flow == Flow::endless
                  ? QByteArray("Transfer-Encoding: chunked\r\n")
                  : "Content-Length: " + QByteArray::number(qulonglong(length)) + "\r\n";
    if (!response.location.empty()) {
        answer += "Location: " + QByteArray::fromStdString(response.location) + "\r\n";
    }
    answer += "\r\n";
    if (response.flow == Flow::whole && length == response.body.size()) {
        socket->write(answer + QByteArray::fromStdString(response.body));
        socket->disconnectFromHost();
        return;
    }
    socket->write(answer);
    stream(socket, response);
}

void FeedServer::stream(QTcpSocket* socket, const Response& response) {
    struct Progress {
        QByteArray body;
        std::uint64_t left; // bytes still to send; endless streams never run out
    };
    const QByteArray body =
        QByteArray::fromStdString(response.body.empty() ? std::string(" ") : response.body);
    auto progress = std::make_shared<Progress>(Progress{body, response.length});
    if (response.flow == Flow::drip) {
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, progress, sent = qsizetype(0)]() mutable {
            if (sent < progress->body.size()) {
                socket->write(progress->body.mid(sent++, 1));
            }
        });
        timer->start(dripInterval);
        return;
    }
    const bool chunked = response.flow == Flow::endless;
    const auto topUp = [socket, progress, chunked] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < streamQueue) {
            if (chunked) {
                socket->write(QByteArray::number(progress->body.size(), 16) + "\r\n" + progress->body +
                              "\r\n");
                continue;
            }
            if (progress->left == 0) {
                socket->disconnectFromHost();
                return;
            }
            const auto piece =
                qsizetype(std::min<std::uint64_t>(progress->left, std::uint64_t(progress->body.size())));
            socket->write(progress->body.left(piece));
            progress->left -= std::uint64_t(piece);
        }
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
    topUp();
}

} // namespace updates::testing
