#pragma once

#include <QTcpServer>

#include <map>
#include <string>
#include <string_view>
#include <utility>

class QTcpSocket;

namespace updates::testing {

/// A small HTTP/1.1 server on the loopback interface for the tests' feeds: each path answers with a
/// status, a body and an optional Location, or never answers at all. Runs on the test's Qt event loop.
class FeedServer {
public:
    struct Response {
        Response(int status = 200, std::string body = {}, std::string location = {}, bool answers = true)
            : status(status), body(std::move(body)), location(std::move(location)), answers(answers) {}

        int status;
        std::string body;
        std::string location; // sent as Location when not empty
        bool answers;         // false: read the request and keep the connection open without a word
    };

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

    QTcpServer m_server;
    std::map<std::string, Response> m_routes;
    std::map<std::string, int> m_requests;
};

} // namespace updates::testing
