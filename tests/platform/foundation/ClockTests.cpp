#include "platform/foundation/Clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <thread>

using namespace std::chrono_literals;
using platform::Clock;
using platform::Seconds;
using platform::VirtualClock;

TEST(ClockTests, ConvertsOutOfRangeSecondsWithoutUndefinedBehaviour) {
    EXPECT_EQ(Clock::toDuration(Seconds(-1)), Clock::Duration::zero());
    EXPECT_EQ(Clock::toDuration(Seconds(std::nan(""))), Clock::Duration::zero());
    EXPECT_EQ(Clock::toDuration(Seconds(std::numeric_limits<double>::infinity())),
              Clock::toDuration(Seconds(1e300)));
    EXPECT_GT(Clock::toDuration(Seconds(1e300)), std::chrono::hours(24 * 365 * 99));
    EXPECT_EQ(Clock::toDuration(Seconds(1.5)), 1500ms);
}

TEST(ClockTests, DeadlineAfterSaturatesInsteadOfOverflowing) {
    VirtualClock clock;
    clock.advance(5s);
    EXPECT_EQ(clock.deadlineAfter(Clock::Duration::max()), Clock::TimePoint::max());
    EXPECT_EQ(clock.deadlineAfter(-3s), clock.now());
}

// The continuous clock counts time asleep: it reads CLOCK_BOOTTIME, where the steady clock falls behind
// by every suspend since boot.
TEST(ClockTests, TheRealContinuousClockRunsWhileTheComputerSleeps) {
    timespec boot{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const auto read = Clock::system().now() - Clock::TimePoint(std::chrono::seconds(boot.tv_sec) +
                                                               std::chrono::nanoseconds(boot.tv_nsec));
    EXPECT_GE(read, 0ns);
    EXPECT_LT(read, 1s);
}

TEST(VirtualClockTests, TimedWaitEndsOnlyWhenTimeIsAdvanced) {
    VirtualClock clock;
    std::mutex mutex;
    std::condition_variable_any cv;
    bool timedOut = false;
    std::thread waiter([&] {
        std::unique_lock lock(mutex);
        timedOut = !clock.waitFor(lock, cv, 30s, {}, [] { return false; });
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(29s);
    EXPECT_EQ(clock.waiterCount(), 1u);
    clock.advance(1s);
    waiter.join();
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(clock.waiterCount(), 0u);
}

TEST(VirtualClockTests, WaitEndsWhenConditionIsMetOrStopIsRequested) {
    VirtualClock clock;
    std::mutex mutex;
    std::condition_variable_any cv;
    bool ready = false;
    bool result = false;
    std::thread waiter([&] {
        std::unique_lock lock(mutex);
        result = clock.waitFor(lock, cv, 1h, {}, [&] { return ready; });
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    {
        std::lock_guard guard(mutex);
        ready = true;
    }
    cv.notify_all();
    waiter.join();
    EXPECT_TRUE(result);

    std::stop_source stop;
    bool slept = true;
    std::thread sleeper([&] { slept = clock.sleepFor(1h, stop.get_token()); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    stop.request_stop();
    sleeper.join();
    EXPECT_FALSE(slept);
}

TEST(VirtualClockTests, AutoAdvanceMovesTimeForPlainSleeps) {
    VirtualClock clock(VirtualClock::AutoAdvance::sleeps);
    const auto start = clock.now();
    const auto wallStart = clock.wallNow();
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(clock.sleepFor(60s));
    }
    EXPECT_EQ(clock.now() - start, 3600s);
    EXPECT_EQ(clock.wallNow() - wallStart, 3600s);
}

TEST(VirtualClockTests, AdvanceToNextDeadlineWakesTheEarliestWaiter) {
    VirtualClock clock;
    std::thread first([&] { clock.sleepFor(5s); });
    std::thread second([&] { clock.sleepFor(12s); });
    ASSERT_TRUE(clock.waitForWaiters(2));
    const auto start = clock.now();
    ASSERT_TRUE(clock.advanceToNextDeadline());
    first.join();
    EXPECT_EQ(clock.now() - start, 5s);
    ASSERT_TRUE(clock.advanceToNextDeadline());
    second.join();
    EXPECT_EQ(clock.now() - start, 12s);
    EXPECT_FALSE(clock.advanceToNextDeadline());
}
