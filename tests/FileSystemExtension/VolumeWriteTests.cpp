#include "ExtensionScenario.h"

#include "FileSystemExtension/DeviceStatus.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

constexpr std::size_t MiB = 1 << 20;

TEST(VolumeWriteTests, ANewFileCollectsInMemoryUntilItIsClosed) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "copy.bin").item;
    const auto contents = testing::patternBytes(MiB);
    volume.writeAll(item, contents, 4096);
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_EQ(volume.size(item), MiB);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phoneBytes("copy.bin"), contents);
    EXPECT_EQ(volume.phone().count(PTPOperation::androidSendPartialObject), 0u);
}

TEST(VolumeWriteTests, ANewFileGoesToTheDeviceAt16MiBAndIsEditedInPlaceAfterwards) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "video.mp4").item;
    const auto contents = testing::patternBytes(20 * MiB, 7);
    for (std::size_t piece = 0; piece < 20; ++piece) {
        const auto written = volume.write(item, static_cast<off_t>(piece * MiB),
                                          std::span(contents).subspan(piece * MiB, MiB));
        ASSERT_TRUE(written.succeeded());
        if (piece < 15) {
            EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 0u) << piece;
        }
    }
    // The four writes after the first 16 MiB wait in memory as one run of 4 MiB, in the edit session that
    // opens once those are on the device.
    ASSERT_TRUE(
        testing::eventually([&] { return volume.phone().count(PTPOperation::androidBeginEditObject) == 1; }));
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 1u);
    EXPECT_EQ(volume.phone().count(PTPOperation::androidSendPartialObject), 0u);
    EXPECT_EQ(volume.size(item), 20 * MiB);
    EXPECT_EQ(volume.readAll(item), contents);
    // Until it is whole, the file lies on the device under a name that says so, and the folder shows it
    // under its own.
    const auto onDevice =
        volume.phone().children(volume.scenario().storage(), simulation::SimulatedPhone::root);
    ASSERT_EQ(onDevice.size(), 1u);
    EXPECT_TRUE(onDevice[0].name.starts_with("video.mp4.tandalo-incomplete-")) << onDevice[0].name;
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"video.mp4"});
    EXPECT_EQ(testing::paramsOf(volume.phone(), PTPOperation::androidSendPartialObject),
              (std::vector<std::vector<std::uint32_t>>{{onDevice[0].handle, 16 * MiB, 0, 4 * MiB}}));
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    EXPECT_EQ(volume.scenario().handle("video.mp4"), onDevice[0].handle);
    EXPECT_EQ(volume.phoneBytes("video.mp4"), contents);
}

TEST(VolumeWriteTests, ANewFileThatGrowsPastItsStartIsSentInRunsAsLargeAsTheStart) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "video.mp4").item;
    const auto contents = testing::patternBytes(40 * MiB, 5);
    volume.writeAll(item, contents, MiB);
    ASSERT_TRUE(volume.close(item).succeeded());
    const auto handle = volume.scenario().handle("video.mp4");
    // Each partial write costs the phone's turnaround; the runs behind a copy in may grow as large as its
    // start, where runs of 4 MiB took six of them.
    EXPECT_EQ(testing::paramsOf(volume.phone(), PTPOperation::androidSendPartialObject),
              (std::vector<std::vector<std::uint32_t>>{{handle, 16 * MiB, 0, 16 * MiB},
                                                       {handle, 32 * MiB, 0, 8 * MiB}}));
    EXPECT_EQ(volume.phoneBytes("video.mp4"), contents);
}

TEST(VolumeWriteTests, AGapInABufferedFileReadsAsZeros) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "gap.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "ab").succeeded());
    ASSERT_TRUE(volume.write(item, 5, "cd").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("gap.txt"), std::string("ab\0\0\0cd", 7));
}

TEST(VolumeWriteTests, ANegativeOffsetIsRefusedAndWritesNothing) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "keep");
    const auto memory = volume.create(volume.storage(), "new.txt").item;
    ASSERT_TRUE(volume.write(memory, 0, "keep").succeeded());
    for (const auto& item : {volume.item("a.txt"), memory}) {
        EXPECT_EQ(volume.write(item, -1, "XX").errorCode(), EINVAL);
        EXPECT_EQ(volume.readText(item), "keep");
    }
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
}

TEST(VolumeWriteTests, AnExistingFileIsWrittenInOneEditSession) {
    VolumeHost volume;
    const auto item = volume.addFile("notes.txt", "hello world");
    ASSERT_TRUE(volume.open(item).succeeded());
    EXPECT_EQ(volume.readText(item), "hello world");
    volume.phone().clearLog();
    ASSERT_TRUE(volume.write(item, 6, "there").succeeded());
    ASSERT_TRUE(volume.write(item, 11, "!").succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::androidBeginEditObject), 1u);
    // The second write continues the first: both wait and go as one partial write, before the next read.
    EXPECT_EQ(volume.phone().count(PTPOperation::androidSendPartialObject), 0u);
    EXPECT_EQ(volume.size(item), 12u);
    // The write emptied the read-ahead window: the read sees the new bytes and the new length.
    EXPECT_EQ(volume.readText(item), "hello there!");
    EXPECT_EQ(volume.phone().count(PTPOperation::androidSendPartialObject), 1u);
    // Past the end the gap reads as zeros, as a phone will not write with a gap before the bytes.
    ASSERT_TRUE(volume.write(item, 14, "?").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("notes.txt"), std::string("hello there!\0\0?", 15));
}

TEST(VolumeWriteTests, RefusesWhatCannotBeWrittenBeforeAnyTransaction) {
    VolumeHost volume(VolumeHost::Options{
        .prepare = [](simulation::SimulatedPhone& phone) { phone.setPropListDepthSupported(false); }});
    volume.scenario().addFolder("DCIM");
    const auto locked = volume.scenario().addFile("locked.txt", "l");
    volume.phone().setProtectionStatus(locked, 1);
    struct Case {
        std::shared_ptr<fskit::FSItem> item;
        int error;
    };
    const std::vector<Case> cases{
        {volume.root(), EINVAL},
        {volume.storage(), EINVAL},
        {volume.item("DCIM"), EISDIR},
        {volume.item("locked.txt"), EROFS},
    };
    volume.phone().clearLog();
    for (const auto& each : cases) {
        EXPECT_EQ(volume.write(each.item, 0, "x").errorCode(), each.error);
    }
    EXPECT_TRUE(volume.phone().operations().empty());

    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    readOnly.scenario().addFile("a.txt", "a");
    const auto item = readOnly.item("a.txt");
    readOnly.phone().clearLog();
    EXPECT_EQ(readOnly.write(item, 0, "x").errorCode(), EROFS);
    EXPECT_TRUE(readOnly.phone().operations().empty());
}

TEST(VolumeWriteTests, WaitingBytesThatCannotBeSentAreReportedAtTheClose) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
    ASSERT_TRUE(volume.write(item, 0, "bb").succeeded());
    volume.phone().injectFault(PTPOperation::androidSendPartialObject,
                               simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.close(item).errorCode(), ENOSPC);
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    EXPECT_EQ(volume.scenario().contents("a.txt"), "aaaa");
}

TEST(VolumeWriteTests, UnmountSendsWaitingBytesBeforeEndingTheSession) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 4, "bbbb").succeeded());
    ASSERT_TRUE(volume.host().unmount().succeeded());
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    EXPECT_EQ(volume.scenario().contents("a.txt"), "aaaabbbb");
}

TEST(VolumeWriteTests, AFailedBeginEditIsRetriedByTheNextWrite) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
    volume.phone().injectFault(PTPOperation::androidBeginEditObject, simulation::PhoneFault::busy());
    EXPECT_EQ(volume.write(item, 0, "b").errorCode(), EBUSY);
    ASSERT_TRUE(volume.write(item, 0, "b").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("a.txt"), "baaa");
}

TEST(VolumeWriteTests, MetadataFilesNeverReachTheDeviceNorRecordAWriteTime) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "._photo.jpg").item;
    volume.writeAll(item, testing::patternBytes(16 * MiB), MiB);
    // Memory holds no more of a file that stays there than the write buffer's size.
    EXPECT_EQ(volume.write(item, 16 * MiB, "x").errorCode(), EFBIG);
    EXPECT_EQ(volume.size(item), 16 * MiB);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_FALSE(DeviceStatus::lastWrite(volume.extension().deviceKey(),
                                         volume.extension().preferences().environment()));
    // A new file bound for the device records one, and is answered without waiting for the record: the
    // application may hold the suite's lock for seconds.
    const auto suiteLock = volume.extension().preferences().suite().filePath().string() + ".lock";
    const int holder = ::open(suiteLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    auto written = volume.host().writeContents(volume.create(volume.storage(), "a.txt").item, 0,
                                               testing::bytesOfText("a"));
    const bool answered =
        testing::eventually([&] { return written.isReady(); }, platform::Preferences::lockLimit / 2);
    ::close(holder);
    EXPECT_TRUE(answered) << "the write waited for the suite's lock";
    EXPECT_TRUE(written.wait().succeeded());
    EXPECT_TRUE(testing::eventually([&] {
        return DeviceStatus::lastWrite(volume.extension().deviceKey(),
                                       volume.extension().preferences().environment())
            .has_value();
    }));
}

TEST(VolumeWriteTests, AWriteFarPastTheEndIsNeverAllocatedInMemory) {
    VolumeHost volume;
    constexpr off_t far = off_t{1} << 40;
    const auto metadata = volume.create(volume.storage(), ".DS_Store").item;
    EXPECT_EQ(volume.write(metadata, far, "x").errorCode(), EFBIG);
    EXPECT_EQ(volume.size(metadata), 0u);

    // A new file goes to the device with what it holds, and the write lands there, sparse.
    const auto file = volume.create(volume.storage(), "sparse.bin").item;
    ASSERT_TRUE(volume.write(file, 0, "head").succeeded());
    const auto tail = volume.write(file, far, "tail");
    ASSERT_TRUE(tail.succeeded()) << tail.errorCode() << " " << volume.scenario().operationNames();
    EXPECT_EQ(volume.size(file), static_cast<std::uint64_t>(far) + 4);
    ASSERT_TRUE(volume.close(file).succeeded());
    const auto handle = volume.scenario().handle("sparse.bin");
    EXPECT_EQ(volume.phone().object(handle)->size, static_cast<std::uint64_t>(far) + 4);
    EXPECT_EQ(volume.phone().contents(handle, static_cast<std::uint64_t>(far), 4),
              testsupport::bytesOf("tail"));
    EXPECT_EQ(volume.phone().contents(handle, 0, 4), testsupport::bytesOf("head"));
}

// fsync is a barrier: what writes were told went well is on the device when it answers, or its answer
// says that it is not.
TEST(VolumeWriteTests, SynchronizeSendsWhatWritesLeftInMemoryAndReportsAFailure) {
    VolumeHost volume;
    const auto existing = volume.addFile("a.txt", "aaaa");
    ASSERT_TRUE(volume.open(existing).succeeded());
    ASSERT_TRUE(volume.write(existing, 0, "bb").succeeded());
    const auto fresh = volume.create(volume.storage(), "new.txt").item;
    ASSERT_TRUE(volume.open(fresh).succeeded());
    ASSERT_TRUE(volume.write(fresh, 0, "new").succeeded());
    EXPECT_TRUE(volume.phone().operations().empty() || volume.scenario().contents("a.txt") == "aaaa");

    ASSERT_TRUE(volume.host().synchronize().wait().succeeded());
    EXPECT_EQ(volume.scenario().contents("a.txt"), "bbaa");
    // The open new file is on the device too, and takes its name once its writer has closed it.
    EXPECT_EQ(volume.phoneNames().size(), 2u);
    ASSERT_TRUE(volume.write(fresh, 3, "er").succeeded());
    ASSERT_TRUE(volume.close(fresh).succeeded());
    EXPECT_EQ(volume.scenario().contents("new.txt"), "newer");

    ASSERT_TRUE(volume.write(existing, 2, "cc").succeeded());
    volume.phone().injectFault(PTPOperation::androidSendPartialObject,
                               simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.host().synchronize().wait().errorCode(), ENOSPC);
    ASSERT_TRUE(volume.close(existing).succeeded()) << "the bytes still wait, and go at the close";
    EXPECT_EQ(volume.scenario().contents("a.txt"), "bbcc");
}

TEST(VolumeWriteTests, AnEmptyWriteNeverExtendsAFile) {
    VolumeHost volume;
    const auto existing = volume.addFile("a.txt", "aaaa");
    const auto fresh = volume.create(volume.storage(), "new.txt").item;
    ASSERT_TRUE(volume.write(fresh, 0, "ab").succeeded());
    volume.phone().clearLog();
    for (const auto& item : {existing, fresh}) {
        const auto written = volume.write(item, 100, std::span<const std::byte>{});
        ASSERT_TRUE(written.succeeded());
        EXPECT_EQ(written.count, 0u);
    }
    EXPECT_EQ(volume.size(existing), 4u);
    EXPECT_EQ(volume.size(fresh), 2u);
    EXPECT_TRUE(volume.phone().operations().empty()) << volume.scenario().operationNames();
}

// A write that the file needed failed: what is on the device is not the file, and goes at the close, which
// reports the failure.
TEST(VolumeWriteTests, ANewFileWhoseWriteFailedIsRemovedAtItsClose) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "movie.mp4").item;
    ASSERT_TRUE(volume.open(item).succeeded());
    volume.writeAll(item, testing::patternBytes(17 * MiB), MiB);
    volume.phone().injectFault(PTPOperation::androidSendPartialObject,
                               simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.close(item).errorCode(), ENOSPC);
    EXPECT_TRUE(volume.phoneNames().empty()) << volume.scenario().tree();
    EXPECT_TRUE(volume.names(volume.storage()).empty());

    // The same when the send at the buffer's size fails: the writer went on meanwhile, and hears of it at
    // its next write and at the close.
    const auto other = volume.create(volume.storage(), "other.mp4").item;
    ASSERT_TRUE(volume.open(other).succeeded());
    volume.writeAll(other, testing::patternBytes(15 * MiB), MiB);
    volume.phone().injectFault(PTPOperation::sendObjectInfo, simulation::PhoneFault::respond(0x200C));
    EXPECT_TRUE(volume.write(other, 15 * MiB, testing::patternBytes(MiB)).succeeded());
    std::size_t size = 16 * MiB;
    EXPECT_TRUE(testing::eventually([&] {
        const auto written = volume.write(other, static_cast<off_t>(size), testing::bytesOfText("x"));
        size += written.succeeded() ? 1 : 0;
        return written.errorCode() == ENOSPC;
    }));
    EXPECT_EQ(volume.close(other).errorCode(), ENOSPC);
    EXPECT_TRUE(volume.phoneNames().empty()) << volume.scenario().tree();
    EXPECT_TRUE(volume.names(volume.storage()).empty());
}

} // namespace
} // namespace tandalo
