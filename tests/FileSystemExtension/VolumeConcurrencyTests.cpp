#include "ExtensionScenario.h"
#include "FileSystemExtension/VolumeOperationSupport.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

constexpr std::size_t MiB = 1 << 20;
/// The most bytes that sequential writes collect before they go to the device as one partial write.
constexpr std::size_t runSize = writeBehindLimit;

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

// The writer goes on while the first 16 MiB are on their way: what it writes meanwhile is answered at
// once, read back and counted in the size until it is sent, and lands after them by a synchronize that comes
// meanwhile.
TEST(VolumeConcurrencyTests, AWriteThatArrivesDuringTheSendLandsAfterIt) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "copy.bin").item;
    const auto contents = testing::patternBytes(18 * MiB, 5);
    volume.writeAll(item, std::span(contents).first(15 * MiB));
    const auto gate = volume.phone().addGate(PTPOperation::sendObject);
    EXPECT_TRUE(volume.write(item, 15 * MiB, std::span(contents).subspan(15 * MiB, MiB)).succeeded());
    ASSERT_TRUE(gate->waitUntilReached());
    EXPECT_TRUE(volume.write(item, 16 * MiB, std::span(contents).subspan(16 * MiB, MiB)).succeeded());
    EXPECT_TRUE(volume.write(item, 17 * MiB, std::span(contents).subspan(17 * MiB, MiB)).succeeded());
    EXPECT_EQ(volume.size(item), 18 * MiB);
    const auto across = volume.read(item, 16 * MiB - 10, 20);
    EXPECT_TRUE(std::equal(across.bytes.begin(), across.bytes.end(), contents.begin() + 16 * MiB - 10,
                           contents.begin() + 16 * MiB + 10));
    EXPECT_EQ(across.bytes.size(), 20u);
    auto synchronized = volume.host().synchronize();
    const auto editGate = volume.phone().addGate(PTPOperation::androidBeginEditObject);
    gate->release();
    // From the start's landing to the edit session that takes them over, the later writes still count.
    ASSERT_TRUE(editGate->waitUntilReached());
    EXPECT_EQ(volume.size(item), 18 * MiB);
    editGate->release();
    ASSERT_TRUE(synchronized.wait().succeeded());
    const auto sent = volume.phone().children(volume.scenario().storage(), simulation::SimulatedPhone::root);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(volume.phone().contents(sent[0].handle) == contents);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 1u);
    EXPECT_EQ(volume.phoneBytes("copy.bin"), contents);
    expectCleanReplies(volume);
}

// A write that comes while the unmount ends the file's edit session is sent, in the session or in one of
// its own, or fails visibly: never acknowledged and then dropped.
TEST(VolumeConcurrencyTests, AWriteDuringTheEndOfItsSessionAtUnmountIsNotLost) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
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

/// An open file whose first writes wait as one full run, handed by the next MiB to a send of its own that
/// the gate holds on the phone: the write is answered while the run is on the wire.
struct RunOnItsWay {
    RunOnItsWay(VolumeHost& volume, std::size_t size) : contents(testing::patternBytes(size, 9)) {
        volume.scenario().addFile("a.bin", "");
        item = volume.item("a.bin");
        EXPECT_TRUE(volume.open(item).succeeded());
        volume.writeAll(item, std::span(contents).first(runSize));
        gate = volume.phone().addGate(PTPOperation::androidSendPartialObject);
        auto handing = volume.host().writeContents(item, runSize, std::span(contents).subspan(runSize, MiB));
        EXPECT_TRUE(gate->waitUntilReached());
        const bool answered = testing::eventually([&] { return handing.isReady(); });
        if (!answered) {
            gate->release(); // fails here rather than hangs
        }
        EXPECT_TRUE(answered) << "the write waited for the run it handed over";
        EXPECT_TRUE(handing.wait().succeeded());
    }
    std::vector<std::byte> contents;
    std::shared_ptr<fskit::FSItem> item;
    std::shared_ptr<simulation::PhoneGate> gate;
};

TEST(VolumeConcurrencyTests, WritesGoOnWhileAFullRunIsSentAndWaitForItOnceTheNextIsFull) {
    VolumeHost volume;
    RunOnItsWay run(volume, 2 * runSize + MiB);
    volume.writeAll(run.item, std::span(run.contents).subspan(runSize + MiB, runSize - MiB), MiB,
                    runSize + MiB);
    // A file holds two runs: the write that starts a third waits for the first to land.
    auto third =
        volume.host().writeContents(run.item, 2 * runSize, std::span(run.contents).subspan(2 * runSize));
    EXPECT_FALSE(third.isReady());
    run.gate->release();
    EXPECT_TRUE(third.wait().succeeded());
    ASSERT_TRUE(volume.close(run.item).succeeded());
    const auto handle = volume.scenario().handle("a.bin");
    EXPECT_EQ(testing::paramsOf(volume.phone(), PTPOperation::androidSendPartialObject),
              (std::vector<std::vector<std::uint32_t>>{
                  {handle, 0, 0, runSize}, {handle, runSize, 0, runSize}, {handle, 2 * runSize, 0, MiB}}));
    EXPECT_EQ(volume.phoneBytes("a.bin"), run.contents);
    expectCleanReplies(volume);
}

// A send behind the writes that the device refuses twice reaches the writer at a write that needs it on
// the device, a synchronize or the close; one refusal loses nothing, since the run is sent again first.
TEST(VolumeConcurrencyTests, ASendBehindTheWritesThatFailsReachesTheWriter) {
    enum class Step { rewrite, synchronize, close };
    for (const auto& [step, refusals, expected] :
         {std::tuple{Step::rewrite, 2u, ENOSPC}, std::tuple{Step::synchronize, 2u, ENOSPC},
          std::tuple{Step::close, 2u, ENOSPC}, std::tuple{Step::close, 1u, 0}}) {
        SCOPED_TRACE(testsupport::concat("step ", static_cast<int>(step), ", refusals ", refusals));
        VolumeHost volume;
        volume.phone().injectFault(PTPOperation::androidSendPartialObject,
                                   simulation::PhoneFault::respond(0x200C), 1, refusals);
        RunOnItsWay run(volume, runSize + MiB);
        run.gate->release();
        const auto outcome = step == Step::rewrite       ? volume.write(run.item, 0, "x").errorCode()
                             : step == Step::synchronize ? volume.host().synchronize().wait().errorCode()
                                                         : volume.close(run.item).errorCode();
        EXPECT_EQ(outcome, expected);
        if (step != Step::close) {
            EXPECT_TRUE(volume.close(run.item).succeeded()) << "the refusals are used up";
        }
        if (expected == 0 || step != Step::close) {
            EXPECT_EQ(volume.phoneBytes("a.bin"), run.contents);
        }
        EXPECT_TRUE(volume.phone().objectsInEdit().empty());
        expectCleanReplies(volume);
    }
}

// An unmount while a run is on its way sends it and the rest before the session ends; a phone unplugged
// meanwhile fails the close, and nothing waits for it.
TEST(VolumeConcurrencyTests, AnUnmountWhileARunIsOnItsWaySendsItAndTheRestOrFailsTheClose) {
    for (const bool unplugged : {false, true}) {
        SCOPED_TRACE(unplugged ? "unplugged" : "plugged in");
        VolumeHost volume;
        RunOnItsWay run(volume, runSize + MiB + 4096);
        ASSERT_TRUE(volume.write(run.item, runSize + MiB, std::span(run.contents).subspan(runSize + MiB))
                        .succeeded());
        if (unplugged) {
            volume.scenario().unplug();
            EXPECT_EQ(volume.close(run.item).errorCode(), EIO);
        }
        std::thread unmounting([&] { EXPECT_TRUE(volume.host().unmount().succeeded()); });
        run.gate->release();
        unmounting.join();
        EXPECT_TRUE(unplugged || volume.phone().objectsInEdit().empty());
        EXPECT_TRUE(unplugged || volume.phoneBytes("a.bin") == run.contents);
    }
}

// A write into the bytes on their way lands after them, and a read sees it.
TEST(VolumeConcurrencyTests, AWriteIntoTheRunOnItsWayLandsAfterIt) {
    VolumeHost volume;
    RunOnItsWay run(volume, runSize + MiB);
    auto racing = volume.host().writeContents(run.item, 100, testing::bytesOfText("racer"));
    EXPECT_FALSE(racing.isReady());
    run.gate->release();
    EXPECT_TRUE(racing.wait().succeeded());
    auto expected = run.contents;
    std::memcpy(expected.data() + 100, "racer", 5);
    EXPECT_EQ(volume.read(run.item, 0, 200).bytes, std::vector(expected.begin(), expected.begin() + 200));
    ASSERT_TRUE(volume.close(run.item).succeeded());
    EXPECT_EQ(volume.phoneBytes("a.bin"), expected);
    expectCleanReplies(volume);
}

TEST(VolumeConcurrencyTests, TwoWritesToAnExistingFileOpenOneSession) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "........");
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
    const auto item = volume.addFile("a.txt", "old old old");
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
