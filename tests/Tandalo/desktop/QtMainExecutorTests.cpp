// The main executor on the Qt event loop: work from any thread runs on the loop's thread, timers follow the
// injected clock, and tasks sleep on it.
#include "Tandalo/desktop/QtMainExecutor.h"

#include "Tandalo/core/Task.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using desktop::testing::waitUntil;

Task<void> sleepThenRecord(std::vector<std::string>& ran, platform::Clock::Duration duration,
                           std::string name) {
    co_await sleep(duration);
    ran.push_back(std::move(name));
}

TEST(QtMainExecutorTests, RunsPostsFromAnyThreadOnTheLoopInOrderAndTimersOnTheClock) {
    platform::VirtualClock clock;
    QtMainExecutor executor(clock);
    std::vector<std::string> ran;
    executor.post([&] { ran.push_back("first"); });
    executor.post([&] { ran.push_back("second"); });
    EXPECT_TRUE(ran.empty()) << "never inline";
    std::thread([&] { executor.post([&] { ran.push_back("from a thread"); }); }).join();
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "from a thread"}));

    // A burst longer than one turn runs whole, across turns.
    int burst = 0;
    std::thread([&] {
        for (int each = 0; each < 3 * QtMainExecutor::itemsPerTurn + 1; ++each) {
            executor.post([&] { ++burst; });
        }
    }).join();
    ASSERT_TRUE(waitUntil([&] { return burst == 3 * QtMainExecutor::itemsPerTurn + 1; }));

    ran.clear();
    executor.postAt(clock.deadlineAfter(5s), [&] { ran.push_back("at 5 s"); });
    const auto cancelled = executor.postAt(clock.deadlineAfter(1s), [&] { ran.push_back("cancelled"); });
    executor.cancelTimer(cancelled);
    spawn(executor, sleepThenRecord(ran, 2s, "task after 2 s"));
    std::thread([&] { executor.postAt(clock.deadlineAfter(3s), [&] { ran.push_back("at 3 s"); }); }).join();
    ASSERT_TRUE(waitUntil([&] { return clock.waiterCount() > 0; }));
    clock.advance(2s);
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 1; }));
    clock.advance(3s);
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"task after 2 s", "at 3 s", "at 5 s"}));
}

TEST(QtMainExecutorTests, WorkQueuedWhenItGoesIsDroppedAndEndsItsTasks) {
    platform::VirtualClock clock;
    std::vector<std::string> ran;
    {
        QtMainExecutor executor(clock);
        spawn(executor, sleepThenRecord(ran, 1s, "never"));
        executor.post([&] { ran.push_back("never either"); });
    }
    clock.advance(1s);
    EXPECT_FALSE(waitUntil([&] { return !ran.empty(); }, 50ms));
}

} // namespace
} // namespace tandalo::app
