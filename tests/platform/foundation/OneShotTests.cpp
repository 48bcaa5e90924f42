#include "platform/foundation/OneShot.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::Clock;
using platform::OneShot;
using platform::VirtualClock;

TEST(OneShotTests, RacingSourcesResumeItExactlyOnce) {
    for (int round = 0; round < 50; ++round) {
        OneShot<int> continuation("unmount");
        std::atomic<int> winners = 0;
        std::atomic<int> winner = -1;
        std::atomic<bool> go = false;
        {
            std::vector<std::jthread> sources;
            for (int source = 0; source < 6; ++source) {
                sources.emplace_back([&, source, copy = continuation]() mutable {
                    while (!go) {
                        std::this_thread::yield();
                    }
                    if (copy.resume(source)) {
                        ++winners;
                        winner = source;
                    }
                });
            }
            go = true;
        }
        EXPECT_EQ(winners, 1);
        EXPECT_EQ(continuation.wait(Clock::system()), winner);
    }
}

TEST(OneShotTests, LaterResumesAreIgnoredAndReportedInDebugBuilds) {
    OneShot<std::string> continuation("diskutil unmount");
    EXPECT_FALSE(continuation.isResumed());
    EXPECT_TRUE(continuation.resume("first"));
    EXPECT_TRUE(continuation.isResumed());
    EXPECT_FALSE(continuation.resume("second"));
    EXPECT_FALSE(continuation.fail(std::make_exception_ptr(platform::FoundationError("late"))));
    VirtualClock clock;
    EXPECT_EQ(continuation.waitFor(clock, 1s), "first");
#ifndef NDEBUG
    const auto entries = oslog::LogStore::shared().recentEntries("platform", 1h);
    const auto reports = std::count_if(entries.begin(), entries.end(), [](const oslog::LogEntry& entry) {
        return entry.message == "diskutil unmount resumed more than once; the later result was ignored";
    });
    EXPECT_EQ(reports, 2);
#endif
}

TEST(OneShotTests, WaitRethrowsADeliveredError) {
    OneShot<int> continuation;
    std::jthread source([copy = continuation]() mutable {
        copy.fail(std::make_exception_ptr(platform::FoundationError("exit 1")));
    });
    EXPECT_THROW(continuation.wait(Clock::system()), platform::FoundationError);
}

TEST(OneShotTests, TimedWaitEndsThroughTheInjectedClockOrItsStopToken) {
    VirtualClock clock;
    OneShot<int> continuation;
    std::optional<int> result = 0;
    std::jthread waiter([&] { result = continuation.waitFor(clock, 5s); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(5s);
    waiter.join();
    EXPECT_FALSE(result);

    std::stop_source stop;
    std::jthread stopped([&] { result = continuation.waitFor(clock, 1h, stop.get_token()); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    stop.request_stop();
    stopped.join();
    EXPECT_FALSE(result);

    // A resume after the waiter gave up is still the first one, and is kept for a later wait.
    EXPECT_TRUE(continuation.resume(7));
    EXPECT_EQ(continuation.waitFor(clock, 0s), 7);
}

TEST(OneShotTests, VoidContinuationWakesAWaiterOnAnotherThread) {
    VirtualClock clock;
    OneShot<void> terminated("process termination");
    std::atomic<bool> woke = false;
    std::jthread waiter([&] {
        terminated.wait(clock);
        woke = true;
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    EXPECT_FALSE(woke);
    EXPECT_TRUE(terminated.resume());
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(terminated.resume());
}
