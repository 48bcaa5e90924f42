#include "platform/updates/FeedFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <utility>

namespace updates {
namespace {

constexpr const char* tooLargeMessage = "The update feed is larger than 1 MiB.";
static_assert(FeedFetcher::maximumFeedSize == 1024 * 1024, "the message names the limit");

} // namespace

FeedFetcher::FeedFetcher(desktop::ClockTimers& timers, std::string userAgent)
    : m_timers(timers), m_userAgent(std::move(userAgent)),
      m_network(std::make_unique<QNetworkAccessManager>()) {}

FeedFetcher::~FeedFetcher() {
    cancel();
}

void FeedFetcher::fetch(const std::string& url, std::chrono::milliseconds timeout,
                        std::function<void(Result)> done) {
    cancel();
    QNetworkRequest request(QUrl(QString::fromStdString(url)));
    // Following a redirect from https to http would let anyone on the way substitute the feed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maximumRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(m_userAgent));
    request.setRawHeader("Accept", "application/rss+xml, application/xml;q=0.9, text/xml;q=0.8");
    // A feed is small enough to come as it is. Asking for it so also keeps Qt from inflating a compressed
    // answer, where a few hundred kilobytes could stand for gigabytes before the size limit saw them.
    request.setRawHeader("Accept-Encoding", "identity");

    m_done = std::move(done);
    m_abort = Abort::none;
    m_body.clear();
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(readAhead);
    // Read as it comes, so that the network reads on, at most readAhead beyond what is kept here.
    QObject::connect(m_reply, &QNetworkReply::readyRead, m_reply, [this] {
        m_body += m_reply->readAll();
        if (m_body.size() > qint64(maximumFeedSize)) {
            m_abort = Abort::tooLarge;
            m_reply->abort();
        }
    });
    QObject::connect(m_reply, &QNetworkReply::finished, m_reply, [this] { finish(); });
    m_timeout = m_timers.startTimer(timeout, [this] {
        if (m_reply != nullptr) {
            m_abort = Abort::timedOut;
            m_reply->abort();
        }
    });
}

void FeedFetcher::cancel() {
    ++m_generation;
    m_timeout.reset();
    m_done = nullptr;
    m_body.clear();
    if (auto* reply = std::exchange(m_reply, nullptr)) {
        reply->disconnect();
        reply->abort();
        reply->deleteLater();
    }
}

void FeedFetcher::finish() {
    auto* reply = std::exchange(m_reply, nullptr);
    Result result = resultOf(*reply);
    m_body.clear();
    // The reply is inside its own finished signal here, where deleting it is not allowed; the manager
    // owns it, so it is freed at the latest with the fetcher.
    reply->deleteLater();
    // Abort answers from inside the timer's or the reply's own signal; delivering on a later turn keeps
    // the caller free to start the next fetch or destroy this one from its handler.
    QMetaObject::invokeMethod(
        m_network.get(),
        [this, generation = m_generation, done = std::move(m_done), result = std::move(result)]() mutable {
            if (generation != m_generation) {
                return;
            }
            m_timeout.reset();
            done(std::move(result));
        },
        Qt::QueuedConnection);
    m_done = nullptr;
}

FeedFetcher::Result FeedFetcher::resultOf(QNetworkReply& reply) {
    switch (m_abort) {
    case Abort::timedOut:
        return UpdateError(UpdateError::Kind::timedOut, "The update server did not answer in time.");
    case Abort::tooLarge:
        return UpdateError(UpdateError::Kind::feedTooLarge, tooLargeMessage);
    case Abort::none:
        break;
    }
    const auto error = reply.error();
    const auto status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool redirectRefused =
        error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError;
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299) && !redirectRefused) {
        const auto reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
        const auto answer = QString::number(status.toInt()) + (reason.isEmpty() ? QString() : u' ' + reason);
        return UpdateError(UpdateError::Kind::serverStatus,
                           QStringLiteral("The update server answered %1.").arg(answer).toStdString());
    }
    if (error != QNetworkReply::NoError) {
        return UpdateError(UpdateError::Kind::network,
                           QStringLiteral("The update server could not be reached: %1.")
                               .arg(reply.errorString())
                               .toStdString());
    }
    const QByteArray body = m_body + reply.readAll();
    if (body.size() > qint64(maximumFeedSize)) {
        return UpdateError(UpdateError::Kind::feedTooLarge, tooLargeMessage);
    }
    return FeedDocument{body.toStdString(), reply.url().toString(QUrl::FullyEncoded).toStdString()};
}

} // namespace updates
