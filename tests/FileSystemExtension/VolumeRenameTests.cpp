#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <ostream>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

constexpr auto moveObject = static_cast<std::uint16_t>(PTPOperation::moveObject);
constexpr auto setObjectPropValue = static_cast<std::uint16_t>(PTPOperation::setObjectPropValue);

/// The changes the phone saw, in order: moves and renames (reloads are left out, they vary with caching).
std::vector<std::uint16_t> changes(VolumeHost& volume) {
    std::vector<std::uint16_t> found;
    for (const auto operation : volume.phone().operations()) {
        if (operation == moveObject || operation == setObjectPropValue) {
            found.push_back(operation);
        }
    }
    return found;
}

std::uint64_t parentOf(VolumeHost& volume, const std::shared_ptr<fskit::FSItem>& item) {
    return volume.attributes(item).attributes->parentID();
}

TEST(VolumeRenameTests, RenamingInPlaceToTheSameNameSendsNothingAndStillMovesTheVerifier) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "a");
    const auto generation = volume.generation();
    volume.phone().clearLog();
    const auto renamed = volume.rename(item, volume.storage(), "a.txt", volume.storage(), "a.txt", item);
    ASSERT_TRUE(renamed.succeeded());
    EXPECT_EQ(renamed.name->data(), "a.txt");
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_EQ(volume.generation(), generation + 1);
    EXPECT_TRUE(volume.scenario().exists("a.txt"));
}

TEST(VolumeRenameTests, RenamesMovesAndDoesBothInTheRightOrder) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "a");
    volume.scenario().addFile("b.txt", "b");
    volume.scenario().addFile("c.txt", "c");
    volume.scenario().addFolder("Archive");
    const auto archive = volume.item("Archive");

    const auto a = volume.item("a.txt");
    volume.phone().clearLog();
    ASSERT_TRUE(volume.rename(a, volume.storage(), "a.txt", volume.storage(), "renamed.txt").succeeded());
    EXPECT_EQ(changes(volume), std::vector<std::uint16_t>{setObjectPropValue});
    EXPECT_TRUE(volume.scenario().exists("renamed.txt"));
    EXPECT_EQ(volume.lookupIn(volume.storage(), "renamed.txt").item, a);

    const auto b = volume.item("b.txt");
    volume.phone().clearLog();
    ASSERT_TRUE(volume.rename(b, volume.storage(), "b.txt", archive, "b.txt").succeeded());
    EXPECT_EQ(changes(volume), std::vector<std::uint16_t>{moveObject});
    EXPECT_TRUE(volume.scenario().exists("Archive/b.txt"));
    // The moved item's parent is its new folder.
    EXPECT_EQ(parentOf(volume, b), std::dynamic_pointer_cast<AndroidItem>(archive)->id());
    EXPECT_EQ(volume.lookupIn(b, "..").item, archive);

    const auto c = volume.item("c.txt");
    volume.phone().clearLog();
    ASSERT_TRUE(volume.rename(c, volume.storage(), "c.txt", archive, "c-old.txt").succeeded());
    EXPECT_EQ(changes(volume), (std::vector<std::uint16_t>{moveObject, setObjectPropValue}));
    EXPECT_TRUE(volume.scenario().exists("Archive/c-old.txt"));
    EXPECT_EQ(volume.names(archive), (std::vector<std::string>{"b.txt", "c-old.txt"}));
    EXPECT_EQ(volume.names(volume.storage()), (std::vector<std::string>{"renamed.txt", "Archive"}));
}

TEST(VolumeRenameTests, ReplacesAFileButNotAFolderThatShowsChildren) {
    VolumeHost volume;
    volume.scenario().addFile("new.txt", "new");
    volume.scenario().addFile("old.txt", "old");
    volume.scenario().addFile("Full/x.txt", "x");
    volume.scenario().addFolder("Source");
    const auto replaced = volume.item("old.txt");
    const auto item = volume.item("new.txt");
    ASSERT_TRUE(
        volume.rename(item, volume.storage(), "new.txt", volume.storage(), "old.txt", replaced).succeeded());
    EXPECT_EQ(volume.scenario().contents("old.txt"), "new");
    EXPECT_FALSE(volume.scenario().exists("new.txt"));

    const auto source = volume.item("Source");
    volume.phone().clearLog();
    EXPECT_EQ(volume.rename(source, volume.storage(), "Source", volume.storage(), "Full", volume.item("Full"))
                  .errorCode(),
              ENOTEMPTY);
    EXPECT_TRUE(changes(volume).empty());
    EXPECT_TRUE(volume.scenario().exists("Full/x.txt"));
    EXPECT_TRUE(volume.scenario().exists("Source"));
}

TEST(VolumeRenameTests, InMemoryItemsMoveInTheTablesAndOnceSentOnTheDeviceToo) {
    VolumeHost volume;
    volume.scenario().addFolder("Archive");
    const auto archive = volume.item("Archive");
    const auto metadata = volume.create(volume.storage(), ".DS_Store").item;
    const auto draft = volume.create(volume.storage(), "draft.txt").item;
    ASSERT_TRUE(volume.write(draft, 0, "draft").succeeded());
    volume.phone().clearLog();
    ASSERT_TRUE(volume.rename(metadata, volume.storage(), ".DS_Store", archive, ".DS_Store").succeeded());
    ASSERT_TRUE(volume.rename(draft, volume.storage(), "draft.txt", archive, "final.txt").succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_EQ(volume.lookupIn(archive, ".DS_Store").item, metadata);
    EXPECT_EQ(volume.lookupIn(volume.storage(), ".DS_Store").errorCode(), ENOENT);
    EXPECT_EQ(volume.lookupIn(archive, "final.txt").item, draft);

    // The close sends the file where it now belongs; a later rename follows it on the device.
    ASSERT_TRUE(volume.close(draft).succeeded());
    EXPECT_EQ(volume.scenario().contents("Archive/final.txt"), "draft");
    volume.phone().clearLog();
    ASSERT_TRUE(volume.rename(draft, archive, "final.txt", volume.storage(), "done.txt").succeeded());
    EXPECT_EQ(changes(volume), (std::vector<std::uint16_t>{moveObject, setObjectPropValue}));
    EXPECT_EQ(volume.scenario().contents("done.txt"), "draft");
    EXPECT_EQ(volume.readText(draft), "draft");
}

// Saving through a hidden "._" name and renaming it into place must not leave the file in memory only,
// where the folder shows it until the unmount drops it.
TEST(VolumeRenameTests, AMetadataFileRenamedToAnOrdinaryNameGoesToTheDevice) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "._notes.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "keep me").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    ASSERT_TRUE(
        volume.rename(item, volume.storage(), "._notes.txt", volume.storage(), ".DS_Store").succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());

    ASSERT_TRUE(
        volume.rename(item, volume.storage(), ".DS_Store", volume.storage(), "notes.txt").succeeded());
    EXPECT_EQ(volume.scenario().contents("notes.txt"), "keep me");
    // From now on it is a device file like any other, and the same one by both items.
    const auto found = volume.lookupIn(volume.storage(), "notes.txt").item;
    EXPECT_EQ(volume.readText(found), "keep me");
    ASSERT_TRUE(volume.write(item, 5, "them").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.scenario().contents("notes.txt"), "keep them");
    EXPECT_EQ(volume.readText(found), "keep them");
}

// The rename reports what happened: when the file cannot reach the device, it has not been renamed.
TEST(VolumeRenameTests, AMetadataFileThatCannotBeSentKeepsItsName) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "._notes.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "keep me").succeeded());
    volume.phone().injectFault(PTPOperation::sendObjectInfo, simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.rename(item, volume.storage(), "._notes.txt", volume.storage(), "notes.txt").errorCode(),
              ENOSPC);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "._notes.txt").item, item);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "notes.txt").errorCode(), ENOENT);
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"._notes.txt"});
    EXPECT_EQ(volume.readText(item), "keep me");
}

TEST(VolumeRenameTests, RefusesWhatCannotBeRenamed) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "a");
    volume.scenario().addFile("b.txt", "b");
    const auto a = volume.item("a.txt");
    const auto b = volume.item("b.txt");
    const auto draft = volume.create(volume.storage(), "draft.txt").item;
    struct Case {
        std::shared_ptr<fskit::FSItem> item;
        std::shared_ptr<fskit::FSItem> to;
        std::string name;
        int error;
    };
    const std::vector<Case> cases{
        {a, volume.root(), "a.txt", EPERM},
        {a, b, "a.txt", EPERM},
        {draft, b, "draft.txt", EPERM},
        {volume.storage(), volume.root(), "Other", EINVAL},
        {a, volume.storage(), std::string("\xff", 1), EINVAL},
        // Under a metadata name a device file would vanish from every listing.
        {a, volume.storage(), "._a.txt", EPERM},
        {draft, volume.storage(), ".DS_Store", EPERM},
        // The device would cut a name longer than 254 UTF-16 units.
        {a, volume.storage(), std::string(255, 'n'), ENAMETOOLONG},
        {draft, volume.storage(), std::string(255, 'n'), ENAMETOOLONG},
    };
    volume.phone().clearLog();
    for (const auto& each : cases) {
        EXPECT_EQ(volume.rename(each.item, volume.storage(), "x", each.to, each.name).errorCode(), each.error)
            << each.name;
    }
    EXPECT_TRUE(changes(volume).empty());

    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    readOnly.scenario().addFile("a.txt", "a");
    EXPECT_EQ(
        readOnly.rename(readOnly.item("a.txt"), readOnly.storage(), "a.txt", readOnly.storage(), "b.txt")
            .errorCode(),
        EROFS);
}

TEST(VolumeRenameTests, AFailedMoveLeavesTheItemAsItWas) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "a");
    volume.scenario().addFolder("Archive");
    const auto archive = volume.item("Archive");
    const auto item = volume.item("a.txt");
    const auto parent = parentOf(volume, item);
    volume.phone().injectFault(PTPOperation::moveObject, simulation::PhoneFault::respond(0x200C));
    EXPECT_EQ(volume.rename(item, volume.storage(), "a.txt", archive, "a.txt").errorCode(), ENOSPC);
    EXPECT_EQ(parentOf(volume, item), parent);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "a.txt").item, item);
}

struct RefusedStep {
    const char* name;
    friend void PrintTo(const RefusedStep& value, std::ostream* out) { *out << value.name; }
    std::optional<PTPOperation> refused;
};

class VolumeReplacingRenameTests : public ::testing::TestWithParam<RefusedStep> {};

// rename(2) over a file: the file replaced goes only once the renamed one lies beside it, and a step that
// the device refuses on the way leaves both files as they were.
TEST_P(VolumeReplacingRenameTests, TheReplacedFileGoesOnlyOnceTheRenamedOneIsInPlace) {
    VolumeHost volume;
    volume.scenario().addFile("old.txt", "old");
    volume.scenario().addFile("Inbox/new.txt", "new");
    const auto target = volume.item("old.txt");
    const auto source = volume.item("Inbox/new.txt");
    const auto inbox = volume.item("Inbox");
    if (GetParam().refused) {
        volume.phone().injectFault(*GetParam().refused, simulation::PhoneFault::respond(0x200F), 1,
                                   simulation::SimulatedPhone::always);
    }
    const auto renamed = volume.rename(source, inbox, "new.txt", volume.storage(), "old.txt", target);
    if (!GetParam().refused) {
        ASSERT_TRUE(renamed.succeeded());
        EXPECT_EQ(volume.phoneNames(), (std::vector<std::string>{"Inbox", "old.txt"}));
        EXPECT_EQ(volume.scenario().contents("old.txt"), "new");
        EXPECT_TRUE(volume.phoneNames("Inbox").empty());
        return;
    }
    EXPECT_FALSE(renamed.succeeded());
    EXPECT_EQ(volume.phoneNames(), (std::vector<std::string>{"Inbox", "old.txt"}))
        << volume.scenario().tree();
    EXPECT_EQ(volume.scenario().contents("old.txt"), "old");
    EXPECT_EQ(volume.scenario().contents("Inbox/new.txt"), "new");
}

INSTANTIATE_TEST_SUITE_P(Steps, VolumeReplacingRenameTests,
                         ::testing::Values(RefusedStep{"NoneRefused", std::nullopt},
                                           RefusedStep{"MoveRefused", PTPOperation::moveObject},
                                           RefusedStep{"RenameRefused", PTPOperation::setObjectPropValue},
                                           RefusedStep{"DeleteRefused", PTPOperation::deleteObject}),
                         [](const auto& info) { return std::string(info.param.name); });

// Saving over a file through a new file and a rename, as editors and rsync do, on a device that lists the
// rename operation but refuses to change names: the saved file is never left only under another name.
TEST(VolumeRenameTests, ANewFileRenamedOverAnotherReplacesItWhereNamesAreRefused) {
    VolumeHost volume;
    const auto target = volume.addFile("notes.txt", "old");
    volume.phone().injectFault(PTPOperation::setObjectPropValue, simulation::PhoneFault::respond(0x200F), 1,
                               simulation::SimulatedPhone::always);
    const auto saved = volume.create(volume.storage(), "notes.txt~").item;
    ASSERT_TRUE(volume.write(saved, 0, "new").succeeded());
    ASSERT_TRUE(volume.rename(saved, volume.storage(), "notes.txt~", volume.storage(), "notes.txt", target)
                    .succeeded());
    ASSERT_TRUE(volume.close(saved).succeeded());
    EXPECT_EQ(volume.phoneNames(), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(volume.scenario().contents("notes.txt"), "new");
    EXPECT_EQ(volume.readText(volume.item("notes.txt")), "new");
}

} // namespace
} // namespace tandalo
