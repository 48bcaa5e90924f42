#include "FeedServer.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <stdexcept>

namespace updates::testing {
namespace {

// Qt reads the status code; the reason phrase is only shown to people.
const char* reasonPhrase(int status) {
    return status == 200 ? "OK" : "Other";
}

} // namespace

FeedServer::FeedServer() {
    if (!m_server.listen(QHostAddress::LocalHost)) {
        throw std::runtime_error("the test feed server could not listen");
    }
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (auto* socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
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
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                        reasonPhrase(response.status) +
                        "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
                        QByteArray::number(qsizetype(response.body.size())) + "\r\nConnection: close\r\n";
    if (!response.location.empty()) {
        answer += "Location: " + QByteArray::fromStdString(response.location) + "\r\n";
    }
    answer += "\r\n" + QByteArray::fromStdString(response.body);
    socket->write(answer);
    socket->disconnectFromHost();
}

} // namespace updates::testing
