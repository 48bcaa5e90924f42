#include "platform/foundation/Logger.h"

#include "platform/foundation/FoundationError.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using oslog::formatLogMessage;
using oslog::LogArgument;
using oslog::Logger;
using oslog::LogLevel;
using oslog::LogStore;
using platform::VirtualClock;

namespace {

std::vector<std::string> messages(const std::vector<oslog::LogEntry>& entries) {
    std::vector<std::string> result;
    for (const auto& entry : entries) {
        result.push_back(entry.message);
    }
    return result;
}

} // namespace

TEST(LoggerTests, FormatsConversionsTheWayTheUnifiedLogDoes) {
    struct Case {
        const char* format;
        std::vector<LogArgument> arguments;
        std::string expected;
    };
    const char* nullText = nullptr;
    char* nullMutableText = nullptr;
    const std::vector<Case> cases{
        {"mount %{public}s at %{public}s: exit %d %{public}s",
         {"Pixel 8", "/Users/me/Tandalo/Pixel 8", 1, "resource busy"},
         "mount Pixel 8 at /Users/me/Tandalo/Pixel 8: exit 1 resource busy"},
        {"load attempt %ld failed: %{public}s", {2L, "time-out"}, "load attempt 2 failed: time-out"},
        {"%{public}s", {"getObjectInfo 4.2ms ok 184B"}, "getObjectInfo 4.2ms ok 184B"},
        {"%.1fms", {12.345}, "12.3ms"},
        {"%d%%", {50}, "50%"},
        {"%{private}s and %{public}s", {"secret", "open"}, "<private> and open"},
        {"%s then %s", {"one"}, "one then <missing>"},
        {"no conversions", {"ignored"}, "no conversions"},
        {"%d", {"text for a number"}, "text for a number"},
        {"%s", {42}, "42"},
        {"%s", {std::uint64_t{18446744073709551615ULL}}, "18446744073709551615"},
        {"%x %X %u", {255, 255u, -1}, "ff FF 18446744073709551615"},
        {"%5s|%-5s|%05d", {"ab", "cd", 42}, "   ab|cd   |00042"},
        {"%.2s", {"abcdef"}, "ab"},
        {"%c%c", {'O', 'K'}, "OK"},
        {"%@", {"object"}, "object"},
        {"%lld %llu %zu %hhd",
         {std::numeric_limits<std::int64_t>::min(), std::uint64_t{7}, std::size_t{9}, 5},
         "-9223372036854775808 7 9 5"},
        {"%d", {true}, "1"},
        {"%s", {nullText}, "(null)"},
        {"%s", {nullMutableText}, "(null)"},
        {"%f", {3}, "3.000000"},
        {"%d", {2.5}, "2.5"},
        {"trailing %", {}, "trailing %"},
        {"unknown %k conversion", {"x"}, "unknown %k conversion"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.format);
        EXPECT_EQ(formatLogMessage(test.format, test.arguments), test.expected);
    }
    // A width in the format cannot ask for unbounded padding.
    EXPECT_EQ(formatLogMessage("%99999999999999999999s", std::vector<LogArgument>{"x"}).size(), 1024u);
}

TEST(LoggerTests, WritesEntriesWithTheirSubsystemCategoryLevelAndDate) {
    VirtualClock clock;
    LogStore store(clock);
    const Logger log("com.brenwick.Tandalo.fsext", "fs", store);
    clock.advance(90s);
    log.info("probe: recognized %{public}s", std::string("Pixel 8"));
    log.error("probe failed: %{public}s", std::string_view("no such device"));

    const auto entries = store.recentEntries("", 1h);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].subsystem, "com.brenwick.Tandalo.fsext");
    EXPECT_EQ(entries[0].category, "fs");
    EXPECT_EQ(entries[0].level, LogLevel::info);
    EXPECT_EQ(entries[0].message, "probe: recognized Pixel 8");
    EXPECT_EQ(entries[0].date, clock.wallNow());
    EXPECT_EQ(entries[1].level, LogLevel::error);
    EXPECT_EQ(entries[1].message, "probe failed: no such device");
}

TEST(LogStoreTests, ReadsBackTheLastWindowOfEntriesWhoseSubsystemBeginsWithThePrefix) {
    VirtualClock clock;
    LogStore store(clock);
    const Logger app("com.brenwick.Tandalo", "mount", store);
    const Logger extension("com.brenwick.Tandalo.fsext", "fs", store);
    const Logger library("Corvane", "trace", store);

    app.info("too old");
    clock.advance(1min);
    extension.info("exactly fifteen minutes old");
    library.info("getDeviceInfo 1.0ms ok 12B");
    clock.advance(10min);
    app.error("recent");
    clock.advance(5min);
    extension.info("now");

    EXPECT_EQ(messages(store.recentEntries("com.brenwick.Tandalo", 15min)),
              (std::vector<std::string>{"exactly fifteen minutes old", "recent", "now"}));
    EXPECT_EQ(messages(store.recentEntries("Corvane", 15min)),
              std::vector<std::string>{"getDeviceInfo 1.0ms ok 12B"});
    EXPECT_EQ(messages(store.recentEntries("com.brenwick.Tandalo.fsext", 1h)),
              (std::vector<std::string>{"exactly fifteen minutes old", "now"}));
    EXPECT_TRUE(store.recentEntries("org.other", 1h).empty());

    const auto start = clock.wallNow() - 16min;
    EXPECT_EQ(messages(store.entries("com.brenwick.Tandalo", start, start + 1min)),
              (std::vector<std::string>{"too old", "exactly fifteen minutes old"}));
    // A window longer than the epoch is clamped rather than overflowing.
    EXPECT_EQ(store.recentEntries("", platform::Clock::Duration::max()).size(), 5u);
}

TEST(LogStoreTests, KeepsOnlyTheNewestEntriesWithinItsCapacity) {
    VirtualClock clock;
    LogStore store(clock, 3);
    const Logger log("com.brenwick.Tandalo", "mount", store);
    for (int index = 1; index <= 5; ++index) {
        log.info("entry %d", index);
    }
    EXPECT_EQ(messages(store.recentEntries("", 1h)),
              (std::vector<std::string>{"entry 3", "entry 4", "entry 5"}));
    EXPECT_EQ(store.droppedCount(), 2u);
}

TEST(LogStoreTests, CutsRunawayMessagesAtACharacterBoundary) {
    VirtualClock clock;
    LogStore store(clock);
    std::string text;
    for (int index = 0; index < 10000; ++index) {
        text += "\xC3\xA9"; // "é", two bytes
    }
    text = "x" + text; // puts the limit inside a character
    Logger("com.brenwick.Tandalo", "mount", store).info("%{public}s", text);
    const auto message = store.recentEntries("", 1h).at(0).message;
    EXPECT_LE(message.size(), LogStore::maximumMessageLength);
    EXPECT_TRUE(message.ends_with("\xE2\x80\xA6"));
    const auto body = std::string_view(message).substr(1, message.size() - 4);
    ASSERT_EQ(body.size() % 2, 0u);
    for (std::size_t index = 0; index < body.size(); index += 2) {
        ASSERT_EQ(body.substr(index, 2), "\xC3\xA9") << index;
    }
}

TEST(LogStoreTests, MirrorsEntriesToAFileOneLineEach) {
    platform::testing::TemporaryFolder folder;
    const auto path = folder.path() / "tandalo.log";
    VirtualClock clock;
    LogStore store(clock);
    const Logger log("com.brenwick.Tandalo.fsext", "fs", store);
    log.info("before mirroring");
    store.mirrorToFile(path);
    clock.advance(1500ms);
    log.info("probe: recognized %{public}s", "Pixel 8");
    log.error("two\nlines");
    store.stopMirroring();
    log.info("after mirroring");

    std::ifstream file(path);
    std::stringstream contents;
    contents << file.rdbuf();
    EXPECT_EQ(contents.str(),
              "2026-01-01 00:00:01.500Z info com.brenwick.Tandalo.fsext[fs] probe: recognized Pixel 8\n"
              "2026-01-01 00:00:01.500Z error com.brenwick.Tandalo.fsext[fs] two\\nlines\n");
    EXPECT_EQ(store.recentEntries("", 1h).size(), 4u);

    EXPECT_THROW(store.mirrorToFile(folder.path() / "missing" / "tandalo.log"), platform::FoundationError);
}

TEST(LogStoreTests, MirrorsEntriesToStandardError) {
    VirtualClock clock;
    LogStore store(clock);
    store.mirrorToStandardError();
    ::testing::internal::CaptureStderr();
    Logger("Corvane", "trace", store).info("%{public}s", "getObjectInfo 4.2ms ok 184B");
    oslog::writeToStandardError("[mtp] getObjectInfo 4.2ms ok 184B\n");
    const auto captured = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(captured, "2026-01-01 00:00:00.000Z info Corvane[trace] getObjectInfo 4.2ms ok 184B\n"
                        "[mtp] getObjectInfo 4.2ms ok 184B\n");
}

TEST(LogStoreTests, ConcurrentWritersLoseNoEntriesAndKeepTheirOwnOrder) {
    VirtualClock clock;
    LogStore store(clock, 100000);
    constexpr int threads = 8;
    constexpr int perThread = 500;
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < threads; ++thread) {
            writers.emplace_back([&, thread] {
                const Logger log("com.brenwick.Tandalo", "thread" + std::to_string(thread), store);
                for (int index = 0; index < perThread; ++index) {
                    log.info("%d", index);
                    clock.advance(1ms);
                }
            });
        }
        // Readers run alongside the writers.
        for (int read = 0; read < 50; ++read) {
            EXPECT_LE(store.recentEntries("com.brenwick.Tandalo", 1h).size(),
                      static_cast<std::size_t>(threads * perThread));
        }
    }
    const auto entries = store.recentEntries("com.brenwick.Tandalo", 24h);
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const auto& entry : entries) {
        const int thread = std::stoi(entry.category.substr(6));
        EXPECT_EQ(entry.message, std::to_string(next[thread]));
        ++next[thread];
    }
}

TEST(LogStoreTests, LoggersUseTheSharedStoreByDefault) {
    const Logger log("com.brenwick.Tandalo.test", "shared");
    log.notice("shared store entry %d", 7);
    const auto entries = LogStore::shared().recentEntries("com.brenwick.Tandalo.test", 1min);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().message, "shared store entry 7");
    EXPECT_EQ(entries.back().level, LogLevel::notice);
}
