#include "platform/updates/UpdateFeed.h"

#include "platform/updates/UpdateError.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace updates {

void PrintTo(const UpdateItem& item, std::ostream* out) {
    *out << '{' << item.version << ", " << item.displayVersion << ", " << item.releaseNotesURL << ", "
         << item.downloadURL << '}';
}

namespace {

constexpr const char* feedURL = "https://updates.example.org/tandalo/feed.xml";

std::string feed(const std::string& items) {
    return testsupport::concat(R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:u="urn:tandalo:updates:1"><channel><title>Tandalo</title>)",
                               items, "</channel></rss>");
}

std::string item(const std::string& version, const std::string& download = "tandalo.tar.gz",
                 const std::string& extra = {}) {
    return testsupport::concat("<item><title>Tandalo</title><u:version>", version, "</u:version><u:download>",
                               download, "</u:download>", extra, "</item>");
}

TEST(UpdateFeedTests, ReadsItemsResolvingLinksAndDroppingUnusableOnes) {
    const auto items = parseUpdateFeed(
        feed(
            item(
                "15", "/files/tandalo-1.5.tar.gz",
                "<u:displayVersion> 1.5 </u:displayVersion><u:releaseNotes>notes/1.5.html</u:releaseNotes>") +
            item("16", "https://mirror.example.net/t.tar.gz",
                 "<u:releaseNotes>javascript:alert(1)</u:releaseNotes>") +
            item("17", "file:///etc/passwd") + item("beta") +
            "<item><u:version>18</u:version></item><item><version>19</version><download>x</download></item>"),
        feedURL);
    const std::vector<UpdateItem> expected{
        {"15", "1.5", "https://updates.example.org/tandalo/notes/1.5.html",
         "https://updates.example.org/files/tandalo-1.5.tar.gz"},
        {"16", "16", "", "https://mirror.example.net/t.tar.gz"},
    };
    EXPECT_EQ(items, expected);
}

struct FeedCase {
    const char* name;
    std::string document;
    const char* running;
    const char* expected; // the version chosen, "none", or "error"
};

TEST(UpdateFeedTests, ChoosesTheNewestItemAboveTheRunningVersionOrRejectsTheDocument) {
    const FeedCase cases[] = {
        {"newer", feed(item("1.3") + item("1.5") + item("1.4.1")), "1.4", "1.5"},
        {"first of equals", feed(item("1.5", "a") + item("1.5.0", "b")), "1.4", "1.5"},
        {"same", feed(item("1.4")), "1.4", "none"},
        {"older", feed(item("1.3") + item("1.4b9")), "1.4", "none"},
        {"release after its beta", feed(item("1.5")), "1.5b3", "1.5"},
        {"empty channel", feed(""), "1.4", "none"},
        {"cut off", feed(item("1.5")).substr(0, 200), "1.4", "error"},
        {"not xml", "Service Unavailable", "1.4", "error"},
        {"empty", "", "1.4", "error"},
        {"not rss", "<feed><entry/></feed>", "1.4", "error"},
        {"no channel", "<rss version=\"2.0\"></rss>", "1.4", "error"},
        {"garbage after the feed", feed(item("1.5")) + "<rss>", "1.4", "error"},
    };
    for (const auto& c : cases) {
        std::string actual;
        try {
            const auto newest = newestUpdate(parseUpdateFeed(c.document, feedURL), c.running);
            actual = newest ? newest->version : "none";
        } catch (const UpdateError& error) {
            EXPECT_EQ(error.kind(), UpdateError::Kind::malformedFeed) << c.name;
            actual = "error";
        }
        EXPECT_EQ(actual, c.expected) << c.name;
    }
}

} // namespace
} // namespace updates
