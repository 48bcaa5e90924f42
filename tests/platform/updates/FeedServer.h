#pragma once

#include <QTcpServer>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

class QTcpSocket;

namespace updates::testing {

/// A small HTTP/1.1 server on the loopback interface for the tests' feeds: each path answers with a
/// status, a body and an optional Location, or never answers at all; or it streams, as a hostile or broken
/// server does. Runs on the Qt event loop of the thread that made it.
class FeedServer {
public:
    /// How the body goes out after the headers.
    enum class Flow {
        whole,   // at once, with its length
        endless, // the body again and again as fast as the client reads, chunked, until the client goes
        drip,    // one byte of the body each dripInterval, with the whole body's length
    };

    struct Response {
        Response(int status = 200, std::string body = {}, std::string location = {}, bool answers = true)
            : status(status), body(std::move(body)), location(std::move(location)), answers(answers) {}

        int status;
        std::string body;
        std::string location;     // sent as Location when not empty
        bool answers;             // false: read the request and keep the connection open without a word
        std::string reason = {};  // the status line's reason phrase; a plain one when empty
        std::string headers = {}; // further header lines, each ending in "\r\n"
        Flow flow = Flow::whole;
        /// With Flow::whole, the Content-Length announced and sent, the body repeated up to it; the body's
        /// own size when 0.
        std::uint64_t length = 0;
    };

    static constexpr std::chrono::milliseconds dripInterval = std::chrono::seconds(1);

    FeedServer();

    void route(const std::string& path, Response response) { m_routes[path] = std::move(response); }
    /// The absolute URL of a path on this server.
    std::string url(std::string_view path) const;
    /// How many requests for the path arrived so far.
    int requests(const std::string& path) const;

    /// A URL on the loopback interface where nothing listens: connections are refused.
    static std::string unreachableURL();

private:
    void serve(QTcpSocket* socket);
    static void stream(QTcpSocket* socket, const Response& response);

    QTcpServer m_server;
    std::map<std::string, Response> m_routes;
    std::map<std::string, int> m_requests;
};

} // namespace updates::testing
