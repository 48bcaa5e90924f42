#include "Tandalo/core/Task.h"

#include "Tandalo/core/ManualExecutor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;

class TaskTests : public ::testing::Test {
protected:
    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    Log m_log;
};

Task<int> twice(int value, Log& log) {
    log.push_back("twice " + std::to_string(value));
    co_return value * 2;
}

Task<int> failing() {
    throw std::runtime_error("no luck");
    co_return 0;
}

Task<void> sequence(Log& log) {
    log.push_back("start");
    const int doubled = co_await twice(21, log);
    log.push_back("got " + std::to_string(doubled));
    try {
        co_await failing();
    } catch (const std::runtime_error& error) {
        log.push_back(error.what());
    }
    const bool slept = co_await sleep(1s);
    log.push_back(slept ? "slept" : "woken");
}

TEST_F(TaskTests, RunsStepsInOrderOnTheExecutorAndSleepsOnItsClock) {
    const auto handle = spawn(m_executor, sequence(m_log));
    EXPECT_TRUE(m_log.empty()) << "a spawned task starts on the executor's next turn";
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log, (Log{"start", "twice 21", "got 42", "no luck"}));
    m_executor.advanceBy(999ms);
    EXPECT_EQ(m_log.size(), 4U);
    EXPECT_FALSE(handle.isFinished());
    m_executor.advanceBy(1ms);
    EXPECT_EQ(m_log.back(), "slept");
    EXPECT_TRUE(handle.isFinished());
}

Task<void> sleepThenCheck(Log& log) {
    const bool slept = co_await sleep(1h);
    log.push_back(slept ? "slept" : "woken");
    log.push_back(co_await isCancelled() ? "cancelled" : "running");
    const bool again = co_await sleep(1s); // a cancelled task's sleep ends at once
    log.push_back(again ? "slept again" : "not again");
}

TEST_F(TaskTests, CancellingEndsTheSleepEarlyAndIsSeenAfterwards) {
    const auto handle = spawn(m_executor, sleepThenCheck(m_log));
    m_executor.runUntilIdle();
    handle.cancel();
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log, (Log{"woken", "cancelled", "not again"}));
    EXPECT_EQ(m_clock.now(), platform::Clock::TimePoint{});
    EXPECT_FALSE(m_executor.advanceToNextTimer()) << "the cancelled sleep's timer is gone";
}

Task<void> sleepUntilDate(platform::Clock::WallTime date, Log& log) {
    co_await sleepUntil(date);
    log.push_back("reached");
}

TEST_F(TaskTests, AWallClockSleepLastsLongerWhenTheClockIsSetBack) {
    const auto start = m_clock.wallNow();
    spawn(m_executor, sleepUntilDate(start + 10s, m_log));
    m_executor.advanceBy(5s);
    m_clock.setWallTime(start); // set back by 5 s: 10 s left again
    m_executor.advanceBy(6s);
    EXPECT_TRUE(m_log.empty());
    m_executor.advanceBy(4s);
    EXPECT_EQ(m_log, Log{"reached"});
}

/// Answers through whatever the test put in place.
struct Answerer {
    std::optional<Resumer<std::string>> pending;
};

Task<void> awaitAnswer(Answerer& answerer, bool throwInStart, Log& log) {
    auto start = [&answerer, throwInStart](Resumer<std::string> resumer) {
        if (throwInStart) {
            throw std::runtime_error("could not start");
        }
        answerer.pending = std::move(resumer);
    };
    try {
        log.push_back(co_await callback<std::string>(std::move(start), "answer"));
    } catch (const std::exception& error) {
        log.push_back(error.what());
    }
}

TEST_F(TaskTests, ACallbackResumesTheTaskOnceOnItsExecutor) {
    Answerer answerer;
    spawn(m_executor, awaitAnswer(answerer, false, m_log));
    m_executor.runUntilIdle();
    ASSERT_TRUE(answerer.pending);
    EXPECT_TRUE(answerer.pending->resume("first"));
    EXPECT_FALSE(answerer.pending->resume("second"));
    EXPECT_TRUE(m_log.empty()) << "the answer waits for the executor";
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log, Log{"first"});
}

TEST_F(TaskTests, ACallbackThatCannotStartOrIsDroppedResumesWithAnError) {
    Answerer answerer;
    spawn(m_executor, awaitAnswer(answerer, true, m_log));
    spawn(m_executor, awaitAnswer(answerer, false, m_log));
    m_executor.runUntilIdle();
    answerer.pending.reset();
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log, (Log{"could not start", "answer was dropped without an answer"}));
}

TEST(TaskLifetimeTests, ATaskThatCanNoLongerBeResumedIsDestroyedWithItsFrames) {
    platform::VirtualClock clock;
    auto executor = std::make_unique<ManualExecutor>(clock);
    Answerer answerer;
    Log log;
    const auto sleeping = spawn(*executor, sleepThenCheck(log));
    spawn(*executor, awaitAnswer(answerer, false, log));
    executor->runUntilIdle();
    answerer.pending.reset(); // its answer is queued, never run
    executor.reset();         // the queue and the timer go; the leak checker finds any frame left behind
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(sleeping.isFinished());
}

} // namespace
} // namespace tandalo::app
