#include "platform/desktop/ClockTimers.h"

#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(ClockTimersTests, ActionsRunOnTheMainThreadWhenTheClockReachesThemAndNotWhenCancelled) {
    platform::VirtualClock clock;
    std::vector<int> fired;
    desktop::ClockTimers timers(clock);
    const auto record = [&](int label) {
        return [&fired, label] {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            fired.push_back(label);
        };
    };
    timers.start(2s, record(2));
    timers.start(1s, record(1));
    const auto cancelled = timers.start(1500ms, record(15));
    timers.start(
        0s, [] { throw std::runtime_error("an action that throws stops neither the loop nor the timers"); });
    timers.start(0s, record(0));
    EXPECT_TRUE(fired.empty()) << "ran from inside start()";
    ASSERT_TRUE(desktop::testing::waitUntil([&] { return fired.size() == 1; }));
    timers.cancel(cancelled);

    // A timer due now is a barrier: whatever was due with it has been posted before it.
    clock.advance(1999ms);
    timers.start(0s, record(99));
    ASSERT_TRUE(desktop::testing::waitUntil([&] { return fired.size() == 3; }));
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 99}));
    clock.advance(1ms);
    ASSERT_TRUE(desktop::testing::waitUntil([&] { return fired.size() == 4; }));
    EXPECT_EQ(fired.back(), 2);
}

// A handle that goes cancels its timer; an action may replace the handle that started it.
TEST(ClockTimersTests, AHandleCancelsItsTimerWhenItGoesEvenFromInsideItsOwnAction) {
    platform::VirtualClock clock;
    desktop::ClockTimers timers(clock);
    std::vector<int> fired;
    desktop::ClockTimers::Timer own = timers.startTimer(0s, [&] {
        fired.push_back(1);
        own = timers.startTimer(1s, [&] { fired.push_back(2); });
    });
    timers.startTimer(0s, [&] { fired.push_back(100); }).reset();
    ASSERT_TRUE(desktop::testing::waitUntil([&] { return fired.size() == 1; }));
    clock.advance(1s);
    ASSERT_TRUE(desktop::testing::waitUntil([&] { return fired.size() == 2; }));
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

} // namespace
