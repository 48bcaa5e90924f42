#include "Tandalo/core/ThreadExecutor.h"

#include "Tandalo/core/Task.h"
#include "platform/foundation/OneShot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;

Task<void> countDown(platform::OneShot<void> done, std::atomic<int>& count) {
    for (int round = 0; round < 3; ++round) {
        co_await sleep(4s);
        ++count;
    }
    done.resume();
}

TEST(ThreadExecutorTests, RunsTasksAndTheirTimersOnItsOwnThreadDrivenByTheClock) {
    platform::VirtualClock clock;
    ThreadExecutor executor(clock);
    platform::OneShot<void> done;
    std::atomic<int> count = 0;
    spawn(executor, countDown(done, count));
    platform::SystemClock real;
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(clock.waitForWaiters(1));
        clock.advance(4s);
        // Each round's sleep begins only after the last one ended: wait for it before moving time again.
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (count.load() != round && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(count.load(), round);
    }
    EXPECT_TRUE(done.waitFor(real, 20s).has_value());
}

Task<void> awaitAnswerFromAnotherThread(std::thread& answering, platform::OneShot<std::string> got) {
    auto start = [&answering](Resumer<std::string> resumer) {
        answering = std::thread([resumer] {
            EXPECT_TRUE(resumer.resume("first"));
            EXPECT_FALSE(resumer.resume("second"));
        });
    };
    got.resume(co_await callback<std::string>(std::move(start)));
}

TEST(ThreadExecutorTests, AnAnswerFromAnotherThreadResumesTheTaskOnItsExecutor) {
    platform::VirtualClock clock;
    ThreadExecutor executor(clock);
    std::thread answering;
    platform::OneShot<std::string> got;
    spawn(executor, awaitAnswerFromAnotherThread(answering, got));
    platform::SystemClock real;
    EXPECT_EQ(got.waitFor(real, 20s), "first");
    answering.join();
}

} // namespace
} // namespace tandalo::app
