#include "platform/fskit/InProcessHost.h"

#include "tests/platform/fskit/FakeVolume.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fskit {
namespace {

using fake::FakeFileSystem;
using fake::FakeVolume;

// The fake answers from its own worker threads, as a volume's tasks do, while many platform threads call.
class InProcessHostConcurrencyTests : public ::testing::Test {
protected:
    std::shared_ptr<FakeFileSystem> fileSystem =
        std::make_shared<FakeFileSystem>(FakeVolume::ReplyThread::worker);
    InProcessHost host{fileSystem, std::make_shared<FSGenericURLResource>("fake://phone")};
};

TEST_F(InProcessHostConcurrencyTests, ManyThreadsDriveOneVolumeAndEveryCallIsAnsweredOnce) {
    constexpr int threadCount = 16;
    constexpr int filesPerThread = 25;
    const auto root = host.start();
    const auto repliesBefore = host.replies().size();

    std::atomic<std::size_t> calls{0};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < threadCount; ++thread) {
        threads.emplace_back([&, thread] {
            for (int index = 0; index < filesPerThread; ++index) {
                const std::string name = testsupport::concat("t", thread, "-", index);
                const auto file = host.createItem(root, name, FSItemType::file).wait().item;
                std::vector<std::byte> contents(64 + static_cast<std::size_t>(index),
                                                static_cast<std::byte>(thread));
                const bool wrote = host.writeContents(file, 0, contents).wait().count == contents.size();
                const bool readBack = host.readFromFile(file, 0, 4096).wait().bytes == contents;
                const auto attributes = host.getAttributes(file).wait().attributes;
                const bool sized = attributes && attributes->size() == contents.size();
                calls += 4;
                if (index % 5 == 0) {
                    const auto page = host.enumerateDirectory(root, 0, 0, std::nullopt, 8).wait();
                    calls += 1;
                    if (page.error || page.entries.empty()) {
                        ++mismatches;
                    }
                }
                if (!file || !wrote || !readBack || !sized) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(host.replies().size() - repliesBefore, calls.load());
    EXPECT_TRUE(host.faults().empty());
    EXPECT_EQ(host.outstandingReplies(), 0u);
    EXPECT_EQ(host.enumerateAll(root, std::nullopt, 64).entries.size(), 2u + threadCount * filesPerThread);
}

TEST_F(InProcessHostConcurrencyTests, CallsMadeOnManyThreadsCanBeWaitedForOnAnother) {
    const auto root = host.start();
    std::mutex pendingLock; // guards pending
    std::vector<Pending<ItemOutcome>> pending;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&] {
            for (int index = 0; index < 50; ++index) {
                auto call = host.lookupItem(root, ".");
                std::lock_guard guard(pendingLock);
                pending.push_back(std::move(call));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& call : pending) {
        EXPECT_EQ(call.wait().item, root);
    }
    EXPECT_EQ(host.outstandingReplies(), 0u);
    EXPECT_TRUE(host.faults().empty());
}

} // namespace
} // namespace fskit
