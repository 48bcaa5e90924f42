#include "platform/fskit/FSReply.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace fskit {
namespace {

/// Collects the faults of the replies a test makes.
struct FaultLog {
    std::mutex mutex;
    std::vector<ReplyFault> faults;

    ReplyFaultHandler handler() {
        return [this](const ReplyFault& fault) {
            std::lock_guard guard(mutex);
            faults.push_back(fault);
        };
    }
};

TEST(FSReplyTests, DeliversTheFirstReplyOnlyAndReportsTheRest) {
    FaultLog log;
    std::vector<int> delivered;
    Reply<int, std::optional<int>> reply(
        "lookupItem", [&](int value, std::optional<int>) { delivered.push_back(value); }, log.handler());
    reply(1, std::nullopt);
    reply(2, std::nullopt);
    Reply<int, std::optional<int>> copy = reply;
    copy(3, 7);

    EXPECT_EQ(delivered, std::vector<int>{1});
    ASSERT_EQ(log.faults.size(), 2u);
    for (const auto& fault : log.faults) {
        EXPECT_EQ(fault.operation, "lookupItem");
        EXPECT_EQ(fault.kind, ReplyFaultKind::repliedTwice);
    }
}

TEST(FSReplyTests, ReportsAMissingReplyOnlyWhenTheLastCopyGoes) {
    FaultLog log;
    std::optional<Reply<>> first(
        std::in_place, "unmount", [] {}, log.handler());
    std::optional<Reply<>> second = first;
    std::optional<Reply<>> moved(std::move(*first));
    first.reset();
    second.reset();
    EXPECT_TRUE(log.faults.empty());
    moved.reset();
    ASSERT_EQ(log.faults.size(), 1u);
    EXPECT_EQ(log.faults[0].operation, "unmount");
    EXPECT_EQ(log.faults[0].kind, ReplyFaultKind::neverReplied);
}

TEST(FSReplyTests, ReleasesWhatTheHandlerHeldOnceDelivered) {
    auto token = std::make_shared<int>(0);
    Reply<> reply(
        "mount", [token] {}, [](const ReplyFault&) {});
    Reply<> kept = reply;
    EXPECT_EQ(token.use_count(), 2);
    reply();
    // The reply may live on in a finished task; what its handler captured (buffers, packers) must not.
    EXPECT_EQ(token.use_count(), 1);
}

TEST(FSReplyTests, FaultsWithoutAHandlerOrFromAThrowingHandlerReachTheProcessCount) {
    const auto before = unhandledReplyFaultCount();
    {
        Reply<> unhandled("synchronize", [] {});
        unhandled();
        unhandled();                          // counted: replied twice
        Reply<> dropped("deactivate", [] {}); // counted: never replied
        Reply<> throwing(
            "mount", [] {}, [](const ReplyFault&) { throw std::runtime_error("fault handler broke"); });
        throwing();
        throwing(); // counted: the handler threw, so the fault falls back to the process count
    }
    EXPECT_EQ(unhandledReplyFaultCount() - before, 3u);
}

TEST(FSReplyTests, RacingRepliesFromManyThreadsDeliverExactlyOnce) {
    for (int round = 0; round < 20; ++round) {
        FaultLog log;
        std::atomic<int> delivered{0};
        Reply<int> reply(
            "readFromFile", [&](int) { ++delivered; }, log.handler());
        std::vector<std::thread> threads;
        for (int index = 0; index < 8; ++index) {
            threads.emplace_back([reply, index] { reply(index); });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(delivered.load(), 1);
        EXPECT_EQ(log.faults.size(), 7u);
    }
}

} // namespace
} // namespace fskit
