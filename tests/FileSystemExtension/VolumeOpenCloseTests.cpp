#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ostream>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using fskit::FSVolumeOpenMode;
using testing::VolumeHost;

bool logged(VolumeHost& volume, std::string_view prefix) {
    const auto log = volume.extension().extensionLog();
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.starts_with(prefix); });
}

TEST(VolumeOpenCloseTests, OpeningForWritingIsRefusedWhereNothingMayBeWritten) {
    VolumeHost volume(VolumeHost::Options{.prepare = [](simulation::SimulatedPhone& phone) {
        simulation::PhoneStorage card;
        card.id = 0x00020001;
        card.description = "Card";
        card.accessCapability = 1;
        phone.addStorage(card);
        phone.setPropListDepthSupported(false);
    }});
    volume.scenario().addFile("a.txt", "a");
    const auto locked = volume.scenario().addFile("locked.txt", "l");
    volume.phone().setProtectionStatus(locked, 1);
    const auto card = volume.lookupIn(volume.root(), "Card").item;
    for (const auto& item : {volume.root(), card, volume.item("locked.txt")}) {
        EXPECT_EQ(volume.open(item, FSVolumeOpenMode::write).errorCode(), EROFS);
        EXPECT_TRUE(volume.open(item, FSVolumeOpenMode::read).succeeded());
    }
    EXPECT_TRUE(volume.open(volume.item("a.txt"), FSVolumeOpenMode::write).succeeded());
    EXPECT_TRUE(
        volume.open(volume.create(volume.storage(), "._a.txt").item, FSVolumeOpenMode::write).succeeded());

    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    readOnly.scenario().addFile("a.txt", "a");
    EXPECT_EQ(readOnly.open(readOnly.item("a.txt"), FSVolumeOpenMode::write).errorCode(), EROFS);
    EXPECT_TRUE(readOnly.open(readOnly.item("a.txt"), FSVolumeOpenMode::read).succeeded());
}

TEST(VolumeOpenCloseTests, OnlyTheLastCloseEndsTheEditSession) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 4, "bbbb").succeeded());
    const auto generation = volume.generation();
    volume.phone().clearLog();
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_EQ(volume.phone().objectsInEdit().size(), 1u);

    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::androidEndEditObject), 1u);
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    EXPECT_EQ(volume.generation(), generation + 1);
    EXPECT_EQ(volume.size(item), 8u);
    EXPECT_EQ(volume.scenario().contents("a.txt"), "aaaabbbb");
    // A close without an open is a last close; with no session there is nothing to send.
    volume.phone().clearLog();
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeOpenCloseTests, AFailedEndOfTheEditSessionIsReportedToTheClosingApplication) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "aaaa");
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 0, "bb").succeeded());
    volume.phone().injectFault(PTPOperation::androidEndEditObject, simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.close(item).errorCode(), ENOSPC);
    EXPECT_TRUE(logged(volume, "endEdit failed for a.txt: "));
    // A phone answers an end of edit only for a session it still has: the volume's session is over.
    volume.phone().clearLog();
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::androidEndEditObject), 0u);
}

TEST(VolumeOpenCloseTests, ClosingANewFileSendsItBeforeAnswering) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "new.bin").item;
    const auto contents = testing::patternBytes(1 << 20);
    volume.writeAll(item, contents, 4096);
    EXPECT_FALSE(volume.scenario().exists("new.bin"));
    EXPECT_TRUE(volume.phone().operations().empty());
    const auto generation = volume.generation();
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.phoneBytes("new.bin"), contents);
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObject), 1u);
    EXPECT_EQ(volume.generation(), generation + 1);
}

TEST(VolumeOpenCloseTests, AFailedSendAtCloseIsReportedAndTheNextCloseTriesAgain) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "new.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "keep me").succeeded());
    volume.phone().injectFault(PTPOperation::sendObjectInfo, simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.close(item).errorCode(), ENOSPC);
    EXPECT_TRUE(logged(volume, "flush of new.txt failed: "));
    EXPECT_FALSE(volume.scenario().exists("new.txt"));
    EXPECT_EQ(volume.readText(item), "keep me");
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("new.txt"), "keep me");
}

TEST(VolumeOpenCloseTests, MetadataFilesOpenAndCloseWithoutTheDevice) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), ".DS_Store").item;
    ASSERT_TRUE(volume.open(item, FSVolumeOpenMode::write).succeeded());
    ASSERT_TRUE(volume.write(item, 0, "x").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_FALSE(volume.scenario().exists(".DS_Store"));
}

// Each file of a copy out is opened, read and closed: the close has nothing for the device and answers
// before it returns, yet the next open reads from the device again, not from what the last one fetched.
TEST(VolumeOpenCloseTests, AFileThatWasOnlyReadClosesAtOnceAndIsReadAfreshWhenOpenedAgain) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "first");
    ASSERT_TRUE(volume.open(item, FSVolumeOpenMode::read).succeeded());
    EXPECT_EQ(volume.readText(item), "first");
    const auto closing = volume.host().closeItem(item, FSVolumeOpenMode::read);
    EXPECT_TRUE(closing.isReady());
    EXPECT_TRUE(closing.wait().succeeded());

    volume.phone().clearLog();
    ASSERT_TRUE(volume.open(item, FSVolumeOpenMode::read).succeeded());
    EXPECT_EQ(volume.readText(item), "first");
    EXPECT_FALSE(volume.phone().operations().empty());
    EXPECT_TRUE(volume.close(item).succeeded());
}

// A reader's close must not send a file that its writer is still writing: on a device without the edit
// operations the writer could write no more.
TEST(VolumeOpenCloseTests, OnlyTheLastCloseOfANewFileSendsIt) {
    VolumeHost volume(VolumeHost::Options{.prepare = [](simulation::SimulatedPhone& phone) {
        for (const auto operation :
             {PTPOperation::androidSendPartialObject, PTPOperation::androidTruncateObject,
              PTPOperation::androidBeginEditObject, PTPOperation::androidEndEditObject}) {
            phone.setOperationSupported(operation, false);
        }
    }});
    const auto item = volume.create(volume.storage(), "copy.txt").item;
    ASSERT_TRUE(volume.open(item, FSVolumeOpenMode::write).succeeded());
    ASSERT_TRUE(volume.write(item, 0, "first ").succeeded());
    ASSERT_TRUE(volume.open(item, FSVolumeOpenMode::read).succeeded());
    EXPECT_EQ(volume.readText(item), "first ");
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty()) << volume.scenario().operationNames();
    ASSERT_TRUE(volume.write(item, 6, "second").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("copy.txt"), "first second");
}

// Once a new file is on the device it is the device's object: changes made on the phone show.
TEST(VolumeOpenCloseTests, ACopiedFileFollowsItsObjectOnceItIsOnTheDevice) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "photo.jpg").item;
    ASSERT_TRUE(volume.write(item, 0, "jpeg").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    volume.phone().renameObject(volume.scenario().handle("photo.jpg"), "renamed.jpg");
    // What a refresh from the phone would do: nothing the volume knows of the folder is kept.
    volume.volume()->fs().invalidateAll();
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"renamed.jpg"});
    EXPECT_EQ(volume.lookupIn(volume.storage(), "photo.jpg").errorCode(), ENOENT);
    EXPECT_EQ(volume.readText(volume.item("renamed.jpg")), "jpeg");
    EXPECT_EQ(volume.readText(item), "jpeg") << "the item the copy made is the same object";
    volume.phone().removeObject(volume.scenario().handle("renamed.jpg"));
    volume.volume()->fs().invalidateAll();
    EXPECT_TRUE(volume.names(volume.storage()).empty());
}

struct Interruption {
    const char* name;
    friend void PrintTo(const Interruption& value, std::ostream* out) { *out << value.name; }
    bool unplugged;
};

class VolumeInterruptedCopyTests : public ::testing::TestWithParam<Interruption> {};

// Copies cut short (the mount helper stopped, the mount forced away while they were still open) leave
// nothing that passes for the file: what reached a device that is still there is deleted, and on one that
// is gone it lies under a name that says it is incomplete. A file closed but not yet sent still goes.
TEST_P(VolumeInterruptedCopyTests, ACopyCutShortLeavesNothingThatPassesForTheFile) {
    constexpr std::size_t MiB = 1 << 20;
    VolumeHost volume;
    const auto movie = volume.create(volume.storage(), "movie.mp4").item;
    ASSERT_TRUE(volume.open(movie).succeeded());
    volume.writeAll(movie, testing::patternBytes(17 * MiB), MiB);
    const auto note = volume.create(volume.storage(), "note.txt").item;
    ASSERT_TRUE(volume.open(note).succeeded());
    ASSERT_TRUE(volume.write(note, 0, "half").succeeded());
    const auto done = volume.create(volume.storage(), "done.txt").item;
    ASSERT_TRUE(volume.write(done, 0, "done").succeeded());
    if (GetParam().unplugged) {
        // The start of the movie is on its way while its writer goes on; it is cut off once it arrived.
        ASSERT_TRUE(testing::eventually(
            [&] { return volume.phone().count(PTPOperation::androidBeginEditObject) == 1; }));
        volume.scenario().unplug();
    }
    // On a phone still there, the unmount comes while the movie's start may still be on its way.
    ASSERT_TRUE(volume.host().unmount().succeeded());
    const auto names = volume.phoneNames();
    if (GetParam().unplugged) {
        ASSERT_EQ(names.size(), 1u) << volume.scenario().tree();
        EXPECT_TRUE(names[0].starts_with("movie.mp4.tandalo-incomplete-")) << names[0];
    } else {
        EXPECT_EQ(names, std::vector<std::string>{"done.txt"});
    }
}

INSTANTIATE_TEST_SUITE_P(Copies, VolumeInterruptedCopyTests,
                         ::testing::Values(Interruption{"DeviceStillThere", false},
                                           Interruption{"DeviceGone", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tandalo
