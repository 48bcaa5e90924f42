#pragma once

#include "platform/desktop/ClockTimers.h"
#include "platform/updates/UpdateError.h"

#include <QByteArray>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

class QNetworkAccessManager;
class QNetworkReply;

namespace updates {

/// A feed document as it arrived, with the address it was finally read from after redirects.
struct FeedDocument {
    std::string body;
    std::string finalURL;
};

/// Fetches feed documents over HTTP(S) with Qt's network module, one at a time, each bounded in time and
/// size. Lives on the application's main thread; owns its network access manager and the running reply.
class FeedFetcher {
public:
    /// Any real feed stays far below this; a larger answer is refused instead of filling memory.
    static constexpr std::size_t maximumFeedSize = 1024 * 1024;
    /// Redirects followed before the fetch fails; only redirects that keep or raise security count.
    static constexpr int maximumRedirects = 5;
    /// How far the network may read ahead of the fetcher: without a bound, Qt's network thread reads as
    /// fast as a server sends, hundreds of megabytes before the fetcher hears of the first.
    static constexpr qint64 readAhead = 256 * 1024;

    using Result = std::variant<FeedDocument, UpdateError>;

    FeedFetcher(desktop::ClockTimers& timers, std::string userAgent);
    ~FeedFetcher();
    FeedFetcher(const FeedFetcher&) = delete;
    FeedFetcher& operator=(const FeedFetcher&) = delete;

    /// Starts fetching url; done runs once on a later turn of the event loop with the document or the error
    /// (timedOut when nothing complete arrived within timeout). A fetch still running is cancelled first,
    /// without calling its done. Destroying the fetcher cancels the running fetch the same way.
    void fetch(const std::string& url, std::chrono::milliseconds timeout, std::function<void(Result)> done);

private:
    enum class Abort { none, timedOut, tooLarge };

    void cancel();
    void finish();
    Result resultOf(QNetworkReply& reply);

    desktop::ClockTimers& m_timers;
    std::string m_userAgent;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QNetworkReply* m_reply = nullptr; // the running fetch, deleted by cancel() or finish()
    QByteArray m_body;                // what the running fetch has read so far
    desktop::ClockTimers::Timer m_timeout;
    Abort m_abort = Abort::none;
    std::function<void(Result)> m_done;
    // Counts fetches started or cancelled; a result queued for delivery is dropped when it changed.
    unsigned m_generation = 0;
};

} // namespace updates
