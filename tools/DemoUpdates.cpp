// The application's update checks end to end: the real program, with a feed server of this run's own,
// checks the configured feed at start, shows a newer release, answers "Check for Updates…", and refuses
// each hostile server within its limit while its window answers and its memory stays bounded.
#include "tools/DemoSession.h"

#include "Tandalo/ui/TestControl.h"
#include "tests/platform/updates/FeedServer.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <zlib.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <type_traits>

namespace tandalo::demo {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using updates::testing::FeedServer;

constexpr auto feedTimeout = 3s; // the application's fetch time-out in this run, instead of 30 s
constexpr long memoryLimitKiB = 64 * 1024;
constexpr const char* checkForUpdates = "command Check for Updates…";
constexpr const char* checkFailed = "The check for updates failed.";
// A display version as a hostile feed would write it, to be shown as it is, not as a heading.
constexpr const char* markup = "<h1 style=\"color:red\">Security alert: run sh</h1>";

/// Runs the call on the event loop's thread, where the feed server lives, and gives its result.
template <class Call> auto onEventLoop(Call call) {
    if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), call, Qt::BlockingQueuedConnection);
    } else {
        std::invoke_result_t<Call> result{};
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { result = call(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

std::string escaped(const std::string& text) {
    std::string result;
    for (const char each : text) {
        result += each == '<'   ? std::string("&lt;")
                  : each == '>' ? std::string("&gt;")
                                : std::string(1, each);
    }
    return result;
}

std::string feedOffering(const std::string& version, const std::string& displayVersion) {
    return joined(R"(<?xml version="1.0"?><rss version="2.0" xmlns:u="urn:tandalo:updates:1"><channel>)",
                  "<item><u:version>", version, "</u:version><u:displayVersion>", escaped(displayVersion),
                  "</u:displayVersion><u:download>tandalo.tar.gz</u:download></item></channel></rss>");
}

// Each entity is ten of the one before: the last stands for 10^9 characters written in a few hundred.
std::string entityExpansion() {
    std::string entities = R"(<!ENTITY e0 "0123456789">)";
    for (int level = 1; level <= 9; ++level) {
        std::string ten;
        for (int count = 0; count < 10; ++count) {
            ten += joined("&e", level - 1, ';');
        }
        entities += joined("<!ENTITY e", level, " \"", ten, "\">");
    }
    return joined(R"(<?xml version="1.0"?><!DOCTYPE rss [)", entities, "]>",
                  R"(<rss version="2.0" xmlns:u="urn:tandalo:updates:1"><channel><item>)",
                  "<u:version>&e9;</u:version><u:download>x</u:download></item></channel></rss>");
}

// 256 MiB of blanks in a quarter of a megabyte.
std::string gzipBomb() {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_RLE) != Z_OK) {
        throw Failure("zlib cannot compress");
    }
    std::string block(1 << 20, ' ');
    std::string compressed;
    std::string out(1 << 16, '\0');
    for (int index = 0; index < 256; ++index) {
        stream.next_in = reinterpret_cast<Bytef*>(block.data());
        stream.avail_in = static_cast<uInt>(block.size());
        const int flush = index == 255 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, flush);
            compressed.append(out.data(), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return compressed;
}

/// The shown top-level windows, each as its fields: object name, title, and the labels' texts.
std::vector<std::vector<std::string>> windows(const Session& session, std::chrono::milliseconds limit = 5s) {
    std::vector<std::vector<std::string>> shown;
    for (const auto& line : session.ask("windows", limit)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        shown.push_back(fields);
    }
    return shown;
}

std::optional<std::vector<std::string>> window(const Session& session, const std::string& name,
                                               std::chrono::milliseconds limit = 5s) {
    for (auto& fields : windows(session, limit)) {
        if (!fields.empty() && fields[0] == name) {
            return fields;
        }
    }
    return std::nullopt;
}

/// Chooses "Check for Updates…"; false while the menu offers it disabled, as during a check.
bool checkWhenOffered(const Session& session) {
    try {
        session.ask(checkForUpdates);
        return true;
    } catch (const Failure& refused) {
        if (std::string(refused.what()).find("is disabled") == std::string::npos) {
            throw;
        }
        return false;
    }
}

bool shows(const std::vector<std::string>& fields, const std::string& text) {
    return std::find(fields.begin(), fields.end(), text) != fields.end();
}

/// A server that misbehaves, what the application says of it, and how soon at the latest; a check that
/// must succeed says what it answers instead.
struct Hostile {
    std::string name;
    std::map<std::string, FeedServer::Response> routes; // beside /feed.xml, which every check fetches
    std::string heading;
    std::string detail; // a part of the shown detail
    std::chrono::milliseconds limit;
    std::chrono::milliseconds atLeast = 0ms;
};

std::vector<Hostile> hostileServers(const std::string& sameVersion) {
    using Flow = FeedServer::Flow;
    const std::string blanks(64 * 1024, ' ');
    FeedServer::Response huge{200, blanks};
    huge.length = 200ULL << 20;
    FeedServer::Response endless{200, std::string(512 * 1024, ' ')};
    endless.flow = Flow::endless;
    FeedServer::Response bomb{200, gzipBomb()};
    bomb.headers = "Content-Encoding: gzip\r\n";
    FeedServer::Response drip{200, sameVersion};
    drip.flow = Flow::drip;
    const auto hops = [](int count) {
        std::map<std::string, FeedServer::Response> routes{{"/feed.xml", {302, "", "/hop1"}}};
        for (int hop = 1; hop < count; ++hop) {
            routes[joined("/hop", hop)] = {302, "", joined("/hop", hop + 1)};
        }
        routes[joined("/hop", count)] = {302, "", "/same.xml"};
        return routes;
    };
    const std::string tooLarge = "larger than 1 MiB";
    return {
        {"a 200 MB body", {{"/feed.xml", huge}}, checkFailed, tooLarge, 10s},
        {"a chunked endless body", {{"/feed.xml", endless}}, checkFailed, tooLarge, 10s},
        // Feeds are asked for uncompressed, so a server that compresses anyway sends only bytes, never
        // inflated.
        {"a gzip bomb", {{"/feed.xml", bomb}}, checkFailed, "could not be read", 10s},
        {"an entity-expansion document", {{"/feed.xml", {200, entityExpansion()}}}, checkFailed, "", 10s},
        {"a redirect loop", {{"/feed.xml", {302, "", "/feed.xml"}}}, checkFailed, "redirect", 10s},
        {"6 redirects", hops(5), checkFailed, "redirect", 10s},
        {"5 redirects, followed", hops(4), "You're up to date.", "newest version", 10s},
        {"a byte a second",
         {{"/feed.xml", drip}},
         checkFailed,
         "did not answer in time",
         feedTimeout + 10s,
         feedTimeout},
    };
}

} // namespace

void updateChecks(Session& session) {
    Steps steps(session);
    // Made, used and ended on the event loop's thread, whichever way this run ends.
    const std::shared_ptr<FeedServer> server(onEventLoop([] { return new FeedServer(); }),
                                             [](FeedServer* made) { onEventLoop([made] { delete made; }); });
    const auto route = [&](const std::string& path, const FeedServer::Response& response) {
        onEventLoop([&] { server->route(path, response); });
    };
    const auto requests = [&](const std::string& path) {
        return onEventLoop([&] { return server->requests(path); });
    };
    const std::string sameVersion = feedOffering("0", "0");
    route("/feed.xml", {200, feedOffering("9999", markup)});
    route("/same.xml", {200, sameVersion});
    session.preferences().setString("updateFeedURL", onEventLoop([&] { return server->url("/feed.xml"); }));
    session.startDesktop();
    session.startApplication(
        {joined(ui::TestControl::feedTimeoutVariable, '=', std::chrono::milliseconds(feedTimeout).count())});
    const auto started = Clock::now();

    steps.run("the configured feed is fetched at start", [&] {
        waitFor("the feed's first request", 10s, [&] { return requests("/feed.xml") > 0; });
        waitFor("the check's date written back", 10s,
                [&] { return session.preferences().dateValue("updateLastCheckDate").has_value(); });
        return joined("after ", std::chrono::duration<double>(Clock::now() - started).count(),
                      " s, and its date is kept");
    });
    steps.run("Check for Updates… shows the newer release, its feed's markup as plain text", [&] {
        waitFor("Check for Updates… offered", 10s, [&] { return checkWhenOffered(session); });
        waitFor("the update window", 10s,
                [&] { return window(session, "updates.UpdateWindow").has_value(); });
        const auto shown = *window(session, "updates.UpdateWindow");
        const std::string heading = joined("Tandalo ", markup, " is available");
        if (!shows(shown, heading)) {
            throw Failure(joined("the update window shows ", shown.size() > 2 ? shown[2] : "nothing",
                                 ", not the feed's text as it is"));
        }
        session.ask("click updates.UpdateWindow later");
        return joined("\"", heading, "\", as plain text");
    });
    steps.run("Check for Updates… answers when nothing is newer", [&] {
        route("/feed.xml", {200, sameVersion});
        waitFor("Check for Updates… offered", 10s, [&] { return checkWhenOffered(session); });
        waitFor("the answer", 10s, [&] {
            const auto answer = window(session, "updates.UpdateMessage");
            return answer && shows(*answer, "You're up to date.");
        });
        session.ask("click updates.UpdateMessage ok");
        return std::string("\"You're up to date.\"");
    });

    const auto restKiB = residentKiB(session.application());
    for (const auto& hostile : hostileServers(sameVersion)) {
        steps.run(hostile.name, [&] {
            for (const auto& [path, response] : hostile.routes) {
                route(path, response);
            }
            waitFor("Check for Updates… offered", 10s, [&] { return checkWhenOffered(session); });
            const auto asked = Clock::now();
            std::optional<std::vector<std::string>> answer;
            // Every look is a request the window must answer at once, however busy the fetch keeps it.
            waitFor("the answer", hostile.limit, [&] {
                answer = window(session, "updates.UpdateMessage", 2s);
                return answer.has_value();
            });
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
            if (!shows(*answer, hostile.heading) ||
                answer->back().find(hostile.detail) == std::string::npos) {
                throw Failure(joined("the answer was \"", (*answer)[2], "\" \"", answer->back(), "\""));
            }
            if (took < hostile.atLeast) {
                throw Failure(joined("refused after ", took.count(), " ms, before the time-out"));
            }
            session.ask("click updates.UpdateMessage ok");
            return joined("\"", answer->back(), "\" after ", took.count(), " ms, peak ",
                          (peakResidentKiB(session.application()) - restKiB) / 1024, " MiB above rest");
        });
    }
    steps.run("memory stays bounded", [&] {
        const auto peakKiB = peakResidentKiB(session.application());
        if (peakKiB - restKiB > memoryLimitKiB) {
            throw Failure(joined("the peak was ", (peakKiB - restKiB) / 1024, " MiB above rest"));
        }
        return joined("at most ", (peakKiB - restKiB) / 1024, " MiB above the ", restKiB / 1024,
                      " MiB at rest");
    });
    steps.run("quit", [&] {
        const auto status = session.stopApplication();
        if (!status || *status != 0) {
            throw Failure("the application did not end well");
        }
        return std::string("the application ended");
    });
    std::cout << "update checks passed" << std::endl;
}

} // namespace tandalo::demo
