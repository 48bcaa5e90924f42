#include "FileSystemScenario.h"

#include <ostream>

#include "platform/foundation/Unicode.h"

#include <tuple>

namespace corvane::testing {
namespace {

using simulation::PhoneStorage;
using simulation::SimulatedPhone;

class MTPFileSystemListingTests : public FileSystemScenario {};

TEST_F(MTPFileSystemListingTests, ComponentsDropEmptyPiecesAndKeepTheRest) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(MTPFileSystem::components(""), Parts{});
    EXPECT_EQ(MTPFileSystem::components("///"), Parts{});
    EXPECT_EQ(MTPFileSystem::components("a//b/"), (Parts{"a", "b"}));
    EXPECT_EQ(MTPFileSystem::components("/a/./../ b "), (Parts{"a", ".", "..", " b "}));
}

TEST_F(MTPFileSystemListingTests, PathsThatDifferOnlyInSeparatorsNameTheSameNode) {
    scenario.addFile("DCIM/Camera/a.jpg", "jpeg");
    open();
    for (const char* rootPath : {"/", "", "////"}) {
        EXPECT_EQ(fs->lookup(rootPath).kind(), MTPFileSystem::Node::Kind::root) << rootPath;
    }
    const std::uint32_t camera = scenario.handle("DCIM/Camera");
    for (const std::string& each :
         {mainStorage + "/DCIM/Camera", std::string(mainStorageName) + "//DCIM///Camera/",
          mainStorage + "/DCIM/Camera/"}) {
        const MTPFileSystem::Node node = fs->lookup(each);
        ASSERT_EQ(node.kind(), MTPFileSystem::Node::Kind::object) << each;
        EXPECT_EQ(node.object().handle(), camera) << each;
    }
}

TEST_F(MTPFileSystemListingTests, AStorageAloneCostsNoTransaction) {
    open();
    const MTPFileSystem::Node node = fs->lookup(mainStorage);
    ASSERT_EQ(node.kind(), MTPFileSystem::Node::Kind::storage);
    EXPECT_EQ(node.storage().id, scenario.storage());
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

struct BadPath {
    const char* name;
    friend void PrintTo(const BadPath& value, std::ostream* out) { *out << value.name; }
    std::string path;
    PTPError::Kind kind;
};

class MTPFileSystemBadPathTests : public FileSystemScenario, public ::testing::WithParamInterface<BadPath> {};

TEST_P(MTPFileSystemBadPathTests, LookupNamesTheWholePathInItsError) {
    scenario.addFile("DCIM/a.jpg", "jpeg");
    open();
    const PTPError error = catchPTPError([&] { fs->lookup(GetParam().path); });
    EXPECT_EQ(error.kind(), GetParam().kind);
    EXPECT_EQ(error.text(), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MTPFileSystemBadPathTests,
    ::testing::Values(BadPath{"UnknownStorage", "/SD card/DCIM", PTPError::Kind::invalidPath},
                      BadPath{"MissingFolder", mainStorage + "/Music/a.mp3", PTPError::Kind::invalidPath},
                      BadPath{"MissingLastName", mainStorage + "/DCIM/b.jpg", PTPError::Kind::invalidPath},
                      BadPath{"FileInTheMiddle", mainStorage + "/DCIM/a.jpg/x",
                              PTPError::Kind::notADirectory}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemListingTests, LookupCostsOneListingPerUncachedFolderOnTheWay) {
    scenario.addFile("A/B/C/d.txt", "d");
    open();
    fs->lookup(path("A/B/C/d.txt"));
    EXPECT_EQ(listings(), 4u) << scenario.operationNames();

    scenario.clearLog();
    fs->lookup(path("A/B/C/d.txt"));
    fs->lookup(path("A/B"));
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();

    // Only the dropped folder is listed again.
    fs->invalidate(objectAt("A/B/C/d.txt"));
    scenario.clearLog();
    fs->lookup(path("A/B/C/d.txt"));
    EXPECT_EQ(listings(), 1u) << scenario.operationNames();
}

struct NameForm {
    const char* name;
    friend void PrintTo(const NameForm& value, std::ostream* out) { *out << value.name; }
    std::string stored;
    std::string asked;
};

class MTPFileSystemNameFormTests : public FileSystemScenario,
                                   public ::testing::WithParamInterface<NameForm> {};

TEST_P(MTPFileSystemNameFormTests, NamesMatchAcrossNormalisationForms) {
    const NameForm& form = GetParam();
    const std::uint32_t stored = scenario.addFile("Music/" + form.stored + "/song.mp3", "mp3");
    const std::uint32_t folder = scenario.handle("Music/" + form.stored);
    open();

    // Through a listing, then through the cached name index.
    for (int pass = 0; pass < 2; ++pass) {
        const MTPFileSystem::Node node = fs->lookup(path("Music/" + form.asked + "/song.mp3"));
        EXPECT_EQ(node.object().handle(), stored);
        const auto child = fs->child(scenario.storage(), scenario.handle("Music"), form.asked);
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(child->handle(), folder);
        EXPECT_EQ(child->name(), form.stored) << "the device's own spelling is kept";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MTPFileSystemNameFormTests,
    ::testing::Values(NameForm{"StoredNFCAskedNFD", "Caf\xC3\xA9", "Cafe\xCC\x81"},
                      NameForm{"StoredNFDAskedNFC", "Cafe\xCC\x81", "Caf\xC3\xA9"},
                      NameForm{"Hangul", platform::unicode::nfc("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"),
                               "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"},
                      NameForm{"SameForm", "plain", "plain"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemListingTests, TheFirstOfTwoEquivalentNamesWins) {
    // The phone compares names byte for byte, so both spellings can live side by side.
    const std::uint32_t first = scenario.addFile("Dup/Caf\xC3\xA9", "nfc");
    scenario.addFile("Dup/Cafe\xCC\x81", "nfd");
    const std::uint32_t dup = scenario.handle("Dup");
    open();
    for (const char* asked : {"Caf\xC3\xA9", "Cafe\xCC\x81"}) {
        EXPECT_EQ(fs->lookup(path(std::string("Dup/") + asked)).object().handle(), first);
        EXPECT_EQ(fs->child(scenario.storage(), dup, asked)->handle(), first);
    }
    EXPECT_EQ(fs->list(scenario.storage(), dup).size(), 2u);
}

TEST_F(MTPFileSystemListingTests, ChildOfACachedFolderNeverTouchesTheDevice) {
    scenario.addFile("A/b.txt", "b");
    const std::uint32_t a = scenario.addFolder("A");
    open();
    fs->list(scenario.storage(), a);
    scenario.clearLog();
    EXPECT_FALSE(fs->child(scenario.storage(), a, "missing").has_value());
    EXPECT_TRUE(fs->child(scenario.storage(), a, "b.txt").has_value());
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

TEST_F(MTPFileSystemListingTests, ListingsKeepTheDeviceOrderAndAreSnapshots) {
    for (const char* name : {"zeta", "alpha", "mid"}) {
        scenario.addFile(std::string("A/") + name, name);
    }
    open();
    const DirectoryListing before = fs->list(path("A"));
    EXPECT_EQ(namesOf(before), (std::vector<std::string>{"zeta", "alpha", "mid"}));
    fs->createFile(scenario.storage(), scenario.handle("A"), "new", bytesOf("n"));
    EXPECT_EQ(before.size(), 3u) << "a caller's listing never changes under it";
    EXPECT_EQ(fs->list(path("A")).size(), 4u);
}

TEST_F(MTPFileSystemListingTests, ListOfTheRootGivesOneFolderPerStorageWithoutTraffic) {
    PhoneStorage card;
    card.id = 0x00020001;
    card.description = "SD card";
    card.accessCapability = 1;
    scenario.phone().addStorage(card);
    open();
    const DirectoryListing root = fs->list("/");
    ASSERT_EQ(root.size(), 2u);
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
    const std::vector<std::pair<std::uint32_t, bool>> expected{{scenario.storage(), false},
                                                               {0x00020001, true}};
    for (std::size_t index = 0; index < root.size(); ++index) {
        const MTPObject& folder = root[index];
        EXPECT_EQ(folder.handle(), expected[index].first);
        EXPECT_EQ(folder.storageID(), expected[index].first);
        EXPECT_EQ(folder.parent(), 0u);
        EXPECT_EQ(folder.size(), 0u);
        EXPECT_EQ(folder.format(), PTPObjectFormat::association);
        EXPECT_TRUE(folder.isDirectory());
        EXPECT_FALSE(folder.modified().has_value());
        EXPECT_EQ(folder.isReadOnly(), expected[index].second);
    }
    EXPECT_EQ(root[1].name(), "SD card");
}

TEST_F(MTPFileSystemListingTests, ListOfAFilePathIsNotADirectory) {
    scenario.addFile("a.txt", "a");
    open();
    const PTPError error = catchPTPError([&] { fs->list(path("a.txt")); });
    EXPECT_EQ(error.kind(), PTPError::Kind::notADirectory);
    EXPECT_EQ(error.text(), path("a.txt"));
}

TEST_F(MTPFileSystemListingTests, ObjectIsFetchedOnceThenServedFromTheCache) {
    const std::uint32_t handle = scenario.addFile("A/b.txt", "bytes");
    open();
    const MTPObject first = fs->object(handle);
    EXPECT_EQ(first.name(), "b.txt");
    EXPECT_EQ(first.size(), 5u);
    const MTPObject second = fs->object(handle);
    EXPECT_EQ(second.name(), "b.txt");
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 1u);
    EXPECT_EQ(listings(), 0u) << "a record alone lists nothing";
}

TEST_F(MTPFileSystemListingTests, ObjectOfAMissingHandleFailsAndCachesNothing) {
    open();
    const PTPError error = catchPTPError([&] { fs->object(0x7777); });
    EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
    EXPECT_EQ(catchPTPError([&] { fs->object(0x7777); }).kind(), PTPError::Kind::responseError);
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 2u);
}

TEST(MTPFileSystemListingWayTests, BothListingWaysGiveTheSameChildren) {
    const auto listed = [](bool propertyLists) {
        testsupport::PhoneScenario::Options options;
        options.prepare = [&](SimulatedPhone& phone) {
            phone.setOperationSupported(PTPOperation::getObjectPropList, propertyLists);
        };
        testsupport::PhoneScenario scenario(options);
        scenario.addFile("A/one.txt", "1");
        scenario.addFolder("A/sub");
        scenario.addGeneratedFile("A/big.bin", 5ull << 30);
        MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());
        fs.open();
        scenario.clearLog();
        std::vector<std::tuple<std::string, std::uint64_t, bool>> children;
        for (const MTPObject& child : fs.list(mainStorage + "/A")) {
            children.emplace_back(child.name(), child.size(), child.isDirectory());
        }
        EXPECT_EQ(scenario.count(PTPOperation::getObjectPropList) > 0, propertyLists);
        EXPECT_EQ(scenario.count(PTPOperation::getObjectHandles) > 0, !propertyLists);
        return children;
    };
    const auto byPropertyLists = listed(true);
    EXPECT_EQ(byPropertyLists.size(), 3u);
    EXPECT_EQ(listed(false), byPropertyLists);
}

TEST_F(MTPFileSystemListingTests, ListingsOfTheTopAreKeyedByTheRootAndRecordsCarryParentZero) {
    scenario.addFile("top.txt", "t");
    open();
    const DirectoryListing top = fs->list(scenario.storage(), MTPFileSystem::rootParent);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].parent(), 0u);
    // Invalidating a record with parent 0 drops the listing under the root.
    fs->invalidate(top[0]);
    scenario.clearLog();
    fs->list(scenario.storage(), MTPFileSystem::rootParent);
    EXPECT_EQ(listings(), 1u);
}

} // namespace
} // namespace corvane::testing
