#include "platform/foundation/Task.h"

#include "platform/foundation/FoundationError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

using namespace std::chrono_literals;
using oslog::Logger;
using oslog::LogStore;
using platform::Task;
using platform::VirtualClock;

namespace {

// A counter that a test can wait on, in real time but only as a fail-safe: the wait ends as soon as the
// count is reached.
class Counter {
public:
    void increment() {
        std::lock_guard guard(m_mutex);
        ++m_count;
        m_changed.notify_all();
    }
    bool waitFor(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 20s, [&] { return m_count >= count; });
    }
    int count() {
        std::lock_guard guard(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex; // guards m_count
    std::condition_variable m_changed;
    int m_count = 0;
};

} // namespace

TEST(TaskTests, CancellationWakesAPollThatSleepsOnTheVirtualClock) {
    VirtualClock clock;
    Counter polls;
    auto task = Task::start("battery", [&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            polls.increment();
            clock.sleepFor(60s, stop);
        }
    });
    ASSERT_TRUE(polls.waitFor(1));
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(60s);
    ASSERT_TRUE(polls.waitFor(2));
    ASSERT_TRUE(clock.waitForWaiters(1));
    EXPECT_FALSE(task.isFinished());

    task.cancel();
    EXPECT_TRUE(task.isCancelled());
    task.wait();
    EXPECT_TRUE(task.isFinished());
    EXPECT_EQ(polls.count(), 2);
    EXPECT_EQ(clock.waiterCount(), 0u);
}

TEST(TaskTests, DestroyingTheTaskCancelsAndJoinsIt) {
    VirtualClock clock;
    std::atomic<bool> ended = false;
    {
        auto task = Task::start("sleeper", [&](std::stop_token stop) {
            while (clock.sleepFor(1h, stop)) {
            }
            ended = true;
        });
        ASSERT_TRUE(clock.waitForWaiters(1));
    }
    EXPECT_TRUE(ended);
}

TEST(TaskTests, MoveAssignmentCancelsAndJoinsTheTaskItReplaces) {
    VirtualClock clock;
    std::atomic<bool> firstEnded = false;
    auto task = Task::start("first", [&](std::stop_token stop) {
        while (clock.sleepFor(1h, stop)) {
        }
        firstEnded = true;
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    std::atomic<bool> secondRan = false;
    task = Task::start("second", [&](std::stop_token) { secondRan = true; });
    EXPECT_TRUE(firstEnded);
    task.wait();
    EXPECT_TRUE(secondRan);

    Task empty;
    EXPECT_FALSE(empty.valid());
    EXPECT_FALSE(empty.isFinished());
    EXPECT_NO_THROW(empty.wait());
    empty.cancel();
}

TEST(TaskTests, AnErrorEscapingTheBodyIsLoggedAndEndsOnlyThatTask) {
    VirtualClock clock;
    LogStore store(clock);
    const Logger log("com.brenwick.Tandalo.fsext", "fs", store);
    auto failing = Task::start(
        "battery", [](std::stop_token) { throw platform::FoundationError("no device"); }, log);
    auto strange = Task::start(
        "strange", [](std::stop_token) { throw 42; }, log);
    failing.wait();
    strange.wait();
    EXPECT_TRUE(failing.isFinished());
    EXPECT_TRUE(strange.isFinished());

    std::vector<std::string> messages;
    for (const auto& entry : store.recentEntries("com.brenwick.Tandalo.fsext", 1h)) {
        EXPECT_EQ(entry.level, oslog::LogLevel::error);
        messages.push_back(entry.message);
    }
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{"task battery ended with an error: no device",
                                                  "task strange ended with an unknown error"}));
}

// A poller that holds its owner only weakly may end up dropping the owner's last reference itself; the
// owner's destructor then runs on the task's own thread and must not try to join it.
TEST(TaskTests, ReleasingTheLastOwnerFromInsideTheBodyDoesNotDeadlock) {
    struct Owner {
        Task poller;
    };
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<Owner> weak = owner;
    std::promise<void> locked;
    std::promise<void> released;
    std::promise<void> destroyed;
    auto releasedFuture = released.get_future().share();
    owner->poller = Task::start("poller", [weak, releasedFuture, &locked, &destroyed](std::stop_token) {
        auto strong = weak.lock();
        locked.set_value();
        releasedFuture.wait();
        strong.reset();
        destroyed.set_value();
    });
    ASSERT_EQ(locked.get_future().wait_for(20s), std::future_status::ready);
    owner.reset();
    released.set_value();
    EXPECT_EQ(destroyed.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(weak.expired());
}

TEST(TaskTests, WaitingForItselfThrowsInsteadOfDeadlocking) {
    std::promise<Task*> handle;
    auto handleFuture = handle.get_future();
    std::promise<bool> threw;
    auto task = Task::start("self", [&](std::stop_token) {
        Task* self = handleFuture.get();
        try {
            self->wait();
            threw.set_value(false);
        } catch (const platform::FoundationError&) {
            threw.set_value(true);
        }
    });
    handle.set_value(&task);
    auto result = threw.get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    task.wait();
}
