#include "FileSystemExtension/AndroidVolume.h"
#include "FileSystemExtension/TandaloFileSystem.h"

#include "ExtensionScenario.h"
#include "ReplyCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::ExtensionScenario;
using testing::ReplyCapture;
using StatusCapture = ReplyCapture<std::optional<fskit::Error>>;

/// Runs f on another thread and says whether it finished within the limit: a call that needs the
/// volume's lock finishes only when nobody holds it across a device call.
template <typename F> bool finishesPromptly(F f) {
    auto done = std::async(std::launch::async, std::move(f));
    return done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

TEST(AndroidVolumeConcurrencyTests, KeepsTheLockFreeWhileTheDeviceWorks) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto gate = scenario.phone().addGate(PTPOperation::getStorageIDs);
    StatusCapture synchronized;
    volume->synchronize(fskit::FSSyncFlags::wait, synchronized.reply());
    ASSERT_TRUE(gate->waitUntilReached());

    EXPECT_TRUE(finishesPromptly([&] { (void)volume->volumeStatistics(); }));
    EXPECT_TRUE(finishesPromptly([&] { volume->recordWrite(); }));
    EXPECT_TRUE(finishesPromptly([&] {
        const corvane::MTPObject object(9, 0x10001, 0xFFFFFFFF, "x", 1, 0x3000, std::nullopt, false);
        (void)volume->item(AndroidItem::Kind::object(object), "x", *volume->root());
    }));
    EXPECT_TRUE(finishesPromptly([&] { (void)volume->ephemeralChildren(2); }));
    EXPECT_FALSE(synchronized.isReady());

    gate->release();
    ASSERT_TRUE(synchronized.wait());
}

TEST(AndroidVolumeConcurrencyTests, KeepsTheLockFreeWhileANewFileIsSent) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    auto item = std::make_shared<EphemeralItem>(
        "big.bin", 2, EphemeralItem::Destination::device(scenario.scenario().storage(), 0xFFFFFFFF),
        scenario.clock().wallNow());
    {
        std::lock_guard content(item->contentLock());
        volume->withLock([&](AndroidVolume::Tables& tables) {
            item->state(tables.lock).data.assign(300'000, std::byte{7});
            tables.addEphemeral(item);
        });
    }
    const auto gate = scenario.phone().addGate(PTPOperation::sendObject);
    auto flushed = std::async(std::launch::async, [&] { volume->flush(item); });
    ASSERT_TRUE(gate->waitUntilReached());
    // Readers of the tables go on; the item's contents are still there for them.
    EXPECT_TRUE(finishesPromptly([&] {
        volume->withLock([&](AndroidVolume::Tables& tables) {
            EXPECT_EQ(item->state(tables.lock).data.size(), 300'000u);
        });
    }));
    // A second flush of the same file (a close racing the unmount) waits for the first and sends nothing.
    auto again = std::async(std::launch::async, [&] { volume->flush(item); });
    gate->release();
    flushed.get();
    again.get();
    EXPECT_EQ(scenario.phone().count(PTPOperation::sendObjectInfo), 1u);
    EXPECT_EQ(scenario.scenario().contents("big.bin").size(), 300'000u);
}

TEST(AndroidVolumeConcurrencyTests, EveryCallFromManyThreadsGetsExactlyOneReply) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const int faultsBefore = testing::replyFaults().load();
    constexpr int threads = 8;
    constexpr int rounds = 20;
    std::atomic<int> replies{0};
    std::vector<std::thread> callers;
    for (int thread = 0; thread < threads; ++thread) {
        callers.emplace_back([&, thread] {
            for (int round = 0; round < rounds; ++round) {
                StatusCapture synchronized;
                volume->synchronize(fskit::FSSyncFlags::wait, synchronized.reply());
                StatusCapture mounted;
                volume->mount({}, mounted.reply());
                StatusCapture deactivated;
                volume->deactivate({}, deactivated.reply());
                const corvane::MTPObject object(static_cast<std::uint32_t>(thread * rounds + round), 0x10001,
                                                0xFFFFFFFF, "f", 1, 0x3000, std::nullopt, false);
                const auto item = volume->item(AndroidItem::Kind::object(object), "f", *volume->root());
                volume->withLock(
                    [&](AndroidVolume::Tables& tables) { item->state(tables.lock).isEditing = false; });
                volume->recordWrite();
                (void)volume->volumeStatistics();
                for (auto* capture : {&synchronized, &mounted, &deactivated}) {
                    if (capture->wait()) {
                        ++replies;
                    }
                }
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(replies.load(), threads * rounds * 3);
    EXPECT_EQ(testing::replyFaults().load(), faultsBefore);
    volume->withLock(
        [](AndroidVolume::Tables& tables) { EXPECT_EQ(tables.items.size(), 1u + threads * rounds); });
}

TEST(AndroidVolumeConcurrencyTests, ActivationsFromManyThreadsLeaveOnePoller) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    std::vector<std::thread> callers;
    for (int thread = 0; thread < 4; ++thread) {
        callers.emplace_back([&] {
            ReplyCapture<std::shared_ptr<fskit::FSItem>, std::optional<fskit::Error>> activated;
            volume->activate({}, activated.reply());
            EXPECT_TRUE(activated.wait());
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    // Each activation's task ends after it has replaced the poller; then exactly one sleeps on.
    EXPECT_TRUE(testing::eventually([&] { return scenario.clock().waiterCount() == 1; }));
    volume->shutdown();
    EXPECT_EQ(scenario.clock().waiterCount(), 0u);
}

TEST(TandaloFileSystemConcurrencyTests, ProbesFromManyThreadsAllRecogniseTheDevice) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    const auto fileSystem = std::make_shared<TandaloFileSystem>(scenario.fileSystemContext());
    const auto resource = std::make_shared<fskit::FSGenericURLResource>("mtp://any");
    std::vector<std::thread> callers;
    std::atomic<int> usable{0};
    for (int thread = 0; thread < 8; ++thread) {
        callers.emplace_back([&] {
            ReplyCapture<std::optional<fskit::FSProbeResult>, std::optional<fskit::Error>> probed;
            fileSystem->probeResource(resource, probed.reply());
            const auto answer = probed.wait();
            if (answer && std::get<0>(*answer) &&
                std::get<0>(*answer)->result() == fskit::FSProbeResult::Result::usable) {
                ++usable;
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(usable.load(), 8);
}

TEST(TandaloFileSystemConcurrencyTests, AFileSystemThatGoesAwayMidLoadStopsWaitingAndShutsItsVolumesDown) {
    // The clock never moves: only the stop request ends the waits.
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    scenario.failConnects(3, corvane::PTPError::usb("stall"));
    auto fileSystem = std::make_shared<TandaloFileSystem>(scenario.fileSystemContext());
    ReplyCapture<std::shared_ptr<fskit::FSVolume>, std::optional<fskit::Error>> loaded;
    fileSystem->loadResource(std::make_shared<fskit::FSGenericURLResource>("mtp://any"), {}, loaded.reply());
    ASSERT_TRUE(scenario.clock().waitForWaiters(1));
    fileSystem.reset();
    const auto answer = loaded.wait();
    ASSERT_TRUE(answer);
    ASSERT_TRUE(std::get<1>(*answer));
    EXPECT_EQ(std::get<1>(*answer)->code(), EIO);
}

} // namespace
} // namespace tandalo
