#include "ExtensionScenario.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

constexpr std::size_t MiB = 1 << 20;

void expectCleanReplies(VolumeHost& volume) {
    EXPECT_TRUE(volume.faults().empty()) << volume.faults().front().operation;
    EXPECT_EQ(volume.host().outstandingReplies(), 0u);
}

TEST(VolumeConcurrencyTests, WritesToANewFileFromManyThreadsSendItOnceAndLoseNothing) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "parallel.bin").item;
    const auto contents = testing::patternBytes(20 * MiB, 3);
    std::vector<std::jthread> writers;
    std::atomic<int> failures{0};
    for (std::size_t thread = 0; thread < 4; ++thread) {
        writers.emplace_back([&, thread] {
            // Each thread takes every fourth slice, so slices arrive out of order around the 16 MiB mark.
            for (std::size_t slice = thread; slice < 20; slice += 4) {
                const auto bytes = std::span(contents).subspan(slice * MiB, MiB);
                const auto written = volume.write(item, static_cast<off_t>(slice * MiB), bytes);
                if (!written.succeeded() || written.count != MiB) {
                    ++failures;
                }
            }
        });
    }
    writers.clear();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 1u);
    EXPECT_EQ(volume.phone().sha256(volume.scenario().handle("parallel.bin")), testing::sha256Hex(contents));
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, AWriteThatArrivesDuringTheSendLandsAfterIt) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "copy.bin").item;
    const auto contents = testing::patternBytes(18 * MiB, 5);
    volume.writeAll(item, std::span(contents).first(15 * MiB));
    const auto gate = volume.phone().addGate(PTPOperation::sendObject);
    auto sixteenth = volume.host().writeContents(item, 15 * MiB, std::span(contents).subspan(15 * MiB, MiB));
    ASSERT_TRUE(gate->waitUntilReached());
    auto during = volume.host().writeContents(item, 16 * MiB, std::span(contents).subspan(16 * MiB, 2 * MiB));
    EXPECT_FALSE(sixteenth.isReady());
    gate->release();
    EXPECT_TRUE(sixteenth.wait().succeeded());
    EXPECT_TRUE(during.wait().succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 1u);
    EXPECT_EQ(volume.phoneBytes("copy.bin"), contents);
    expectCleanReplies(volume);
}

// A write that comes while the unmount ends the file's edit session is sent, in the session or in one of
// its own, or fails visibly: never acknowledged and then dropped.
TEST(VolumeConcurrencyTests, AWriteDuringTheEndOfItsSessionAtUnmountIsNotLost) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "aaaa");
    const auto item = volume.item("a.txt");
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 0, "b").succeeded());
    const auto gate = volume.phone().addGate(PTPOperation::androidEndEditObject);
    std::thread unmounting([&] { EXPECT_TRUE(volume.host().unmount().succeeded()); });
    ASSERT_TRUE(gate->waitUntilReached());
    auto late = volume.host().writeContents(item, 1, testing::bytesOfText("c"));
    gate->release();
    unmounting.join();
    const auto written = late.wait();
    const auto closed = volume.close(item);
    if (written.succeeded() && closed.succeeded()) {
        EXPECT_EQ(volume.scenario().contents("a.txt"), "bcaa");
    }
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, TwoWritesToAnExistingFileOpenOneSession) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "........");
    const auto item = volume.item("a.txt");
    const auto gate = volume.phone().addGate(PTPOperation::androidBeginEditObject);
    auto first = volume.host().writeContents(item, 0, testing::bytesOfText("ab"));
    ASSERT_TRUE(gate->waitUntilReached());
    auto second = volume.host().writeContents(item, 4, testing::bytesOfText("cd"));
    gate->release();
    EXPECT_TRUE(first.wait().succeeded());
    EXPECT_TRUE(second.wait().succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::androidBeginEditObject), 1u);
    EXPECT_EQ(volume.scenario().contents("a.txt"), "ab..cd..");
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, AReadInFlightDuringAWriteLeavesNoStaleWindow) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "old old old");
    const auto item = volume.item("a.txt");
    const auto gate = volume.phone().addGate(PTPOperation::androidGetPartialObject64);
    auto reading = volume.host().readFromFile(item, 0, 3);
    ASSERT_TRUE(gate->waitUntilReached());
    auto writing = volume.host().writeContents(item, 0, testing::bytesOfText("new"));
    gate->release();
    EXPECT_EQ(reading.wait().count, 3u);
    EXPECT_TRUE(writing.wait().succeeded());
    EXPECT_EQ(volume.readText(item), "new old old");
    ASSERT_TRUE(volume.close(item).succeeded());
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, SequentialReadersOfOneFileSeeItsBytesWhileWindowsAreFetchedAhead) {
    VolumeHost volume;
    constexpr std::size_t size = 8 * MiB;
    constexpr std::size_t piece = 512 * 1024;
    const auto handle = volume.scenario().addGeneratedFile("big.bin", size);
    const auto item = volume.item("big.bin");
    std::atomic<int> failures{0};
    std::vector<std::jthread> readers;
    for (std::size_t thread = 0; thread < 2; ++thread) {
        readers.emplace_back([&, thread] {
            // Each starts elsewhere, so that the windows that the other fetches ahead are often thrown away.
            for (std::size_t offset = thread * 3 * MiB; offset < size; offset += piece) {
                const auto read = volume.read(item, static_cast<off_t>(offset), piece);
                if (read.bytes != simulation::SimulatedPhone::generatedBytes(handle, offset, piece)) {
                    ++failures;
                }
            }
        });
    }
    readers.clear();
    EXPECT_EQ(failures.load(), 0);
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, ManyThreadsBrowseReadAndWriteWithOneReplyEach) {
    VolumeHost volume;
    for (int index = 0; index < 6; ++index) {
        volume.scenario().addFile("Shared/file" + std::to_string(index) + ".bin",
                                  std::span<const std::byte>(testing::patternBytes(300'000, index)));
    }
    const auto shared = volume.item("Shared");
    std::atomic<int> failures{0};
    std::vector<std::jthread> threads;
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&, thread] {
            const auto check = [&](bool ok) {
                if (!ok) {
                    ++failures;
                }
            };
            for (int round = 0; round < 3; ++round) {
                check(volume.host().enumerateAll(shared, fskit::FSItemGetAttributesRequest(), 4).succeeded());
                const auto index = (thread + round) % 6;
                const auto found = volume.lookupIn(shared, "file" + std::to_string(index) + ".bin");
                check(found.succeeded());
                if (found.succeeded()) {
                    check(volume.readAll(found.item, 64 * 1024) == testing::patternBytes(300'000, index));
                }
                const auto name = testsupport::concat("t", thread, "-", round, ".txt");
                const auto created = volume.create(shared, name);
                check(created.succeeded());
                if (created.succeeded()) {
                    check(volume.write(created.item, 0, name).succeeded());
                    check(volume.close(created.item).succeeded());
                }
                const auto metadata = volume.create(shared, "._" + name);
                check(metadata.succeeded() && volume.write(metadata.item, 0, "x").succeeded());
            }
        });
    }
    threads.clear();
    EXPECT_EQ(failures.load(), 0);
    for (int thread = 0; thread < 8; ++thread) {
        for (int round = 0; round < 3; ++round) {
            const auto name = testsupport::concat("t", thread, "-", round, ".txt");
            EXPECT_EQ(volume.scenario().contents("Shared/" + name), name);
            EXPECT_FALSE(volume.scenario().exists("Shared/._" + name));
        }
    }
    expectCleanReplies(volume);
}

} // namespace
} // namespace tandalo
