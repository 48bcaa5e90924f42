#include "platform/iokit/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

namespace iokit {
namespace {

TEST(RunLoopTests, RunsQueuedWorkOnItsThreadUntilStoppedFromAnother) {
    auto loop = RunLoop::create();
    std::promise<std::thread::id> ranOn;
    std::thread runner([&] { loop->run(); });
    loop->perform([&] { ranOn.set_value(std::this_thread::get_id()); });
    EXPECT_EQ(ranOn.get_future().get(), runner.get_id());
    loop->stop();
    runner.join();
    EXPECT_FALSE(loop->isRunning());
}

TEST(RunLoopTests, StopBeforeRunEndsTheNextRunAtOnce) {
    // A watcher that is stopped just as it starts must not be left running.
    auto loop = RunLoop::create();
    loop->stop();
    loop->run();
    // The stop was used up: the loop can run again.
    std::thread runner([&] { loop->run(); });
    std::promise<void> ran;
    loop->perform([&] { ran.set_value(); });
    ran.get_future().wait();
    loop->stop();
    runner.join();
}

TEST(RunLoopTests, FailingWorkDoesNotEndTheLoop) {
    auto loop = RunLoop::create();
    int ran = 0;
    loop->perform([] { throw std::runtime_error("callback failed"); });
    loop->perform([&] { ++ran; });
    EXPECT_EQ(loop->runPending(), 2u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop->runPending(), 0u);
}

TEST(RunLoopTests, CurrentIsOneLoopPerThread) {
    const auto mine = RunLoop::current();
    EXPECT_EQ(RunLoop::current(), mine);
    std::shared_ptr<RunLoop> theirs;
    std::thread([&] { theirs = RunLoop::current(); }).join();
    EXPECT_NE(theirs, mine);
}

TEST(RunLoopSourceTests, WorkWaitsUntilTheSourceIsScheduled) {
    auto loop = RunLoop::create();
    auto source = std::make_shared<RunLoopSource>();
    std::vector<int> order;
    source->signal([&] { order.push_back(1); });
    source->signal([&] { order.push_back(2); });
    EXPECT_EQ(loop->runPending(), 0u);
    loop->addSource(source);
    source->signal([&] { order.push_back(3); });
    EXPECT_EQ(loop->runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    loop->removeSource(source);
    source->signal([&] { order.push_back(4); });
    EXPECT_EQ(loop->runPending(), 0u);
    source->invalidate();
    loop->addSource(source);
    source->signal([&] { order.push_back(5); });
    EXPECT_EQ(loop->runPending(), 0u);
    EXPECT_EQ(order.size(), 3u);
}

} // namespace
} // namespace iokit
