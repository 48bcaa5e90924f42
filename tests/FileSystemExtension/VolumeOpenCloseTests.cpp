#include "VolumeHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

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
    volume.scenario().addFile("a.txt", "aaaa");
    const auto item = volume.item("a.txt");
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
    volume.scenario().addFile("a.txt", "aaaa");
    const auto item = volume.item("a.txt");
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

} // namespace
} // namespace tandalo
