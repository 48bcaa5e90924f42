#include "platform/desktop/SleepWatcher.h"

#include "tests/platform/desktop/support/FakeLogind.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <algorithm>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using desktop::SleepWatcher;
using desktop::testing::FakeLogind;
using desktop::testing::PrivateBus;
using desktop::testing::waitUntil;
using Answer = desktop::testing::FakeDBusService::Answer;

namespace {

class SleepWatcherTests : public ::testing::Test {
protected:
    void start(const QDBusConnection& connection) {
        desktop::SleepHandlers handlers;
        handlers.willSleep = [this](std::function<void()> ready) {
            readyCallbacks.push_back(std::move(ready));
        };
        handlers.didWake = [this] { ++wakes; };
        watcher = std::make_unique<SleepWatcher>(connection, clock, handlers, desktop::SleepWatcherOptions{},
                                                 oslog::Logger("test", "sleep", logStore));
    }

    /// How many log entries contain the text.
    std::size_t logged(std::string_view text) const {
        const auto entries = logStore.recentEntries("test", 1h);
        return std::count_if(entries.begin(), entries.end(), [&](const oslog::LogEntry& entry) {
            return entry.message.find(text) != std::string::npos;
        });
    }

    /// Announces a sleep and waits until the will-sleep handler has run.
    void sleep() {
        const auto before = readyCallbacks.size();
        logind->prepareForSleep(true);
        ASSERT_TRUE(waitUntil([&] { return readyCallbacks.size() == before + 1; }));
    }

    PrivateBus bus{PrivateBus::Kind::system};
    platform::VirtualClock clock;
    oslog::LogStore logStore{clock};
    std::unique_ptr<FakeLogind> logind = std::make_unique<FakeLogind>(bus);
    std::unique_ptr<SleepWatcher> watcher;
    std::vector<std::function<void()>> readyCallbacks;
    int wakes = 0;
};

TEST_F(SleepWatcherTests, HoldsADelayLockUntilTheWorkBeforeSleepIsDoneAndTakesANewOneAtWake) {
    start(bus.connect());
    // Logged once the watcher has the lock: a lock on its way to it already counts as held at logind.
    ASSERT_TRUE(waitUntil([&] { return logged("holding a sleep delay lock"); }));
    EXPECT_EQ(logind->calls().front().arguments,
              (QVariantList{QStringLiteral("sleep"), QStringLiteral("Tandalo"),
                            QStringLiteral("Unmounting devices before sleep"), QStringLiteral("delay")}));

    logind->emitSignal(QStringLiteral("PrepareForSleep"), {QStringLiteral("garbage")}); // ignored
    // A child started meanwhile (the mount helper, an opener) must not inherit the lock and keep it held.
    QProcess child;
    child.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(child.waitForStarted());
    sleep();
    EXPECT_EQ(readyCallbacks.size(), 1u);
    EXPECT_EQ(logind->heldLocks(), 1u) << "released before the work was done";
    readyCallbacks.back()();
    EXPECT_EQ(logind->heldLocks(), 0u);
    child.kill();
    child.waitForFinished();

    logind->prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return logged("holding a sleep delay lock") == 2; }));
    EXPECT_EQ(logind->heldLocks(), 1u);
    EXPECT_EQ(wakes, 1);
    readyCallbacks.back()(); // again, late: the new lock stays
    EXPECT_EQ(logind->heldLocks(), 1u);
    watcher.reset();
    EXPECT_EQ(logind->heldLocks(), 0u);
}

TEST_F(SleepWatcherTests, AWakeBeforeReadyReleasesTheOldLockAndALateReadyKeepsTheNewOne) {
    start(bus.connect());
    ASSERT_TRUE(waitUntil([&] { return logind->heldLocks() == 1; }));
    sleep();
    logind->prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return logind->calls().size() == 2 && logind->heldLocks() == 1; }));
    EXPECT_TRUE(logged("woke before the work before sleep was reported done"));
    readyCallbacks.back()();
    EXPECT_EQ(logind->heldLocks(), 1u);

    // Ready from another thread reaches the watcher on the main thread.
    sleep();
    std::thread([ready = readyCallbacks.back()] { ready(); }).join();
    EXPECT_TRUE(waitUntil([&] { return logind->heldLocks() == 0; }));
}

enum class Logind { absent, noBus, refuses, answersGarbage, hangs };

TEST_F(SleepWatcherTests, WithoutALockItRunsWithoutSleepHandlingAndSaysSo) {
    const std::pair<Logind, const char*> cases[] = {
        {Logind::absent, "systemd-logind is not available"},
        {Logind::noBus, "there is no system bus"},
        {Logind::refuses, "gave no sleep delay lock"},
        {Logind::answersGarbage, "gave no sleep delay lock"},
        {Logind::hangs, "gave no sleep delay lock"},
    };
    for (const auto& [behaviour, logText] : cases) {
        SCOPED_TRACE(logText);
        watcher.reset();
        logind.reset();
        wakes = 0;
        if (behaviour != Logind::absent && behaviour != Logind::noBus) {
            logind = std::make_unique<FakeLogind>(bus);
            logind->setAnswer(QStringLiteral("Inhibit"), behaviour == Logind::refuses ? Answer::withError
                                                         : behaviour == Logind::answersGarbage
                                                             ? Answer::withGarbage
                                                             : Answer::never);
        }
        start(behaviour == Logind::noBus ? QDBusConnection(QStringLiteral("none")) : bus.connect());
        if (behaviour == Logind::hangs) {
            ASSERT_TRUE(waitUntil([&] { return logind->calls().size() == 1; }));
            clock.advance(5s);
        }
        ASSERT_TRUE(waitUntil([&] { return logged(logText); }));
        if (logind) {
            // The signals still come: the application unmounts, the system just does not wait for it.
            sleep();
            readyCallbacks.back()();
            logind->prepareForSleep(false);
            ASSERT_TRUE(waitUntil([&] { return wakes == 1; }));
            EXPECT_EQ(logind->heldLocks(), 0u);
        }
    }
}

TEST_F(SleepWatcherTests, TakesTheLockWhenLogindAppearsOrRestarts) {
    logind.reset();
    start(bus.connect());
    ASSERT_TRUE(waitUntil([&] { return logged("systemd-logind is not available"); }));
    for (int round = 0; round < 2; ++round) {
        logind = std::make_unique<FakeLogind>(bus);
        ASSERT_TRUE(waitUntil([&] { return logind->heldLocks() == 1; }));
        // Gone while the system prepared to sleep: that sleep will not come, so it ends as a wake.
        sleep();
        logind.reset();
        ASSERT_TRUE(waitUntil([&] { return wakes == round + 1; }));
    }
}

} // namespace
