#include "FileSystemExtension/AsyncTasks.h"

#include "FileSystemExtension/ExtensionLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tandalo {
namespace {

oslog::Logger testLog() {
    static oslog::LogStore store;
    return extensionLog(store);
}

TEST(AsyncTasksTests, RunsEachTaskOnItsOwnThreadAndWaitsForThemAll) {
    AsyncTasks tasks("test", testLog());
    std::atomic<int> ran{0};
    std::promise<void> release;
    const auto released = release.get_future().share();
    std::vector<std::thread::id> threads(8);
    for (std::size_t index = 0; index < threads.size(); ++index) {
        tasks.start([&, index, released](std::stop_token) {
            threads[index] = std::this_thread::get_id();
            released.wait();
            ++ran;
        });
    }
    // All eight run at once: none of them can end before the release, so none waits for another.
    release.set_value();
    tasks.waitAll();
    EXPECT_EQ(ran.load(), 8);
    EXPECT_EQ(tasks.activeCount(), 0u);
    for (const auto& id : threads) {
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(AsyncTasksTests, StopsAndWaitsForItsTasksWhenItGoes) {
    std::atomic<bool> sawStop{false};
    std::promise<void> started;
    {
        AsyncTasks tasks("test", testLog());
        tasks.start([&](std::stop_token stop) {
            started.set_value();
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            wake.wait(lock, stop, [] { return false; });
            sawStop = stop.stop_requested();
        });
        started.get_future().wait();
    }
    EXPECT_TRUE(sawStop.load());
}

TEST(AsyncTasksTests, LogsAnExceptionThatEscapesATaskAndGoesOn) {
    oslog::LogStore store;
    AsyncTasks tasks("thrower", extensionLog(store));
    tasks.start([](std::stop_token) { throw std::runtime_error("boom"); });
    tasks.waitAll();
    std::atomic<bool> ran{false};
    tasks.start([&](std::stop_token) { ran = true; });
    tasks.waitAll();
    EXPECT_TRUE(ran.load());
    const auto entries = store.recentEntries("com.brenwick.Tandalo.fsext", std::chrono::hours(1));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "task of thrower ended with an error: boom");
}

/// An owner that its own tasks keep alive, as a volume is kept alive by its operations.
struct Owner : std::enable_shared_from_this<Owner> {
    explicit Owner(std::promise<std::thread::id>& destroyed)
        : destroyed(destroyed), tasks("owner", testLog()) {}
    ~Owner() { destroyed.set_value(std::this_thread::get_id()); }
    void startHolding(std::shared_future<void> released, std::promise<std::thread::id>& taskThread) {
        tasks.start([self = shared_from_this(), released, &taskThread](std::stop_token) {
            taskThread.set_value(std::this_thread::get_id());
            released.wait();
        });
    }
    std::promise<std::thread::id>& destroyed;
    AsyncTasks tasks;
};

TEST(AsyncTasksTests, LetsTheLastTaskEndItsOwnOwner) {
    std::promise<void> release;
    std::promise<std::thread::id> taskThread;
    std::promise<std::thread::id> destroyed;
    auto owner = std::make_shared<Owner>(destroyed);
    std::weak_ptr<Owner> watch = owner;
    owner->startHolding(release.get_future().share(), taskThread);
    owner.reset();
    const auto thread = taskThread.get_future().get();
    EXPECT_FALSE(watch.expired());
    release.set_value();
    // The owner ends on the task's thread, which cannot join itself: it finishes on its own instead.
    EXPECT_EQ(destroyed.get_future().get(), thread);
}

} // namespace
} // namespace tandalo
