#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

TEST(VolumeLookupTests, MetadataNamesAreAnsweredFromMemoryWithoutTheDevice) {
    VolumeHost volume;
    volume.scenario().addFile("._photo.jpg", "appledouble left by another Mac");
    volume.phone().clearLog();
    for (const auto* name : {".DS_Store", "._photo.jpg", "._", ".Trashes"}) {
        EXPECT_EQ(volume.lookupIn(volume.storage(), name).errorCode(), ENOENT) << name;
    }
    EXPECT_TRUE(volume.phone().operations().empty());

    const auto created = volume.create(volume.storage(), ".DS_Store");
    ASSERT_TRUE(created.succeeded());
    const auto found = volume.lookupIn(volume.storage(), ".DS_Store");
    ASSERT_TRUE(found.succeeded());
    EXPECT_EQ(found.item, created.item);
    EXPECT_EQ(found.name->data(), ".DS_Store");
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeLookupTests, FindsStoragesByDisplayNameInTheRoot) {
    VolumeHost volume;
    const auto storageID = volume.scenario().storage();
    const auto attributes = volume.attributes(volume.storage());
    ASSERT_TRUE(attributes.attributes);
    EXPECT_EQ(attributes.attributes->fileID(), std::uint64_t{storageID} | 0x100'0000'0000);
    EXPECT_EQ(attributes.attributes->parentID(), 2u);
    EXPECT_EQ(volume.lookupIn(volume.root(), "No such storage").errorCode(), ENOENT);
}

TEST(VolumeLookupTests, LooksUpTheSameItemTwiceWithItsRecordRefreshed) {
    VolumeHost volume;
    const auto handle = volume.scenario().addFile("DCIM/a.jpg", "12345");
    const auto first = volume.item("DCIM/a.jpg");
    ASSERT_TRUE(first);
    EXPECT_EQ(volume.size(first), 5u);

    // Another program changes the file; the cached listing is dropped by a change made through the volume.
    volume.phone().renameObject(handle, "b.jpg");
    const auto folder = volume.item("DCIM");
    ASSERT_TRUE(volume.create(folder, "sub", fskit::FSItemType::directory).succeeded());
    const auto again = volume.lookupIn(folder, "b.jpg");
    ASSERT_TRUE(again.succeeded());
    EXPECT_EQ(again.item, first);
    EXPECT_EQ(again.name->data(), "b.jpg");
}

TEST(VolumeLookupTests, InMemoryItemsHideDeviceObjectsOfTheSameName) {
    VolumeHost volume;
    volume.scenario().addFile("report.txt", "on the device");
    const auto created = volume.create(volume.storage(), "report.txt");
    ASSERT_TRUE(created.succeeded());
    const auto found = volume.lookupIn(volume.storage(), "report.txt");
    EXPECT_EQ(found.item, created.item);
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"report.txt"});
}

TEST(VolumeLookupTests, DotIsTheFolderAndDotDotItsParent) {
    VolumeHost volume;
    volume.scenario().addFolder("DCIM");
    const auto folder = volume.item("DCIM");
    EXPECT_EQ(volume.lookupIn(folder, ".").item, folder);
    EXPECT_EQ(volume.lookupIn(folder, "..").item, volume.storage());
    EXPECT_EQ(volume.lookupIn(volume.storage(), "..").item, volume.root());
    EXPECT_EQ(volume.lookupIn(volume.root(), "..").errorCode(), ENOENT);
}

TEST(VolumeLookupTests, RefusesWhatIsNoFolderOrNoName) {
    VolumeHost volume;
    const auto file = volume.addFile("a.txt", "a");
    const auto memory = volume.create(volume.storage(), "._a.txt").item;
    struct Case {
        std::shared_ptr<fskit::FSItem> directory;
        std::string name;
        int error;
    };
    const std::vector<Case> cases{
        {file, "child", ENOTDIR},
        {memory, "child", EINVAL},
        {volume.storage(), std::string("bad\xff", 4), EINVAL},
        {volume.storage(), "missing.txt", ENOENT},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(volume.lookupIn(each.directory, each.name).errorCode(), each.error) << each.name;
    }
}

TEST(VolumeLookupTests, MapsAListingFailure) {
    VolumeHost volume;
    volume.scenario().addFolder("DCIM");
    volume.phone().injectFault(PTPOperation::getObjectPropList, simulation::PhoneFault::busy(), 1,
                               simulation::SimulatedPhone::always);
    volume.phone().injectFault(PTPOperation::getObjectHandles, simulation::PhoneFault::busy(), 1,
                               simulation::SimulatedPhone::always);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "DCIM").errorCode(), EBUSY);
}

TEST(VolumeLookupTests, ReclaimKeepsTheRootAndItemsThatAreOpenOrEditing) {
    VolumeHost volume;
    volume.scenario().addFile("open.txt", "o");
    volume.scenario().addFile("edited.txt", "e");
    volume.scenario().addFile("idle.txt", "i");
    const auto open = volume.item("open.txt");
    const auto edited = volume.item("edited.txt");
    const auto idle = volume.item("idle.txt");
    ASSERT_TRUE(volume.open(open).succeeded());
    ASSERT_TRUE(volume.write(edited, 0, "E").succeeded());
    for (const auto& item : {volume.root(), open, edited, idle}) {
        EXPECT_TRUE(volume.host().reclaimItem(item).wait().succeeded());
    }
    const auto id = [](const std::shared_ptr<fskit::FSItem>& item) {
        return std::dynamic_pointer_cast<AndroidItem>(item)->id();
    };
    volume.volume()->withLock([&](AndroidVolume::Tables& tables) {
        EXPECT_TRUE(tables.items.contains(2));
        EXPECT_TRUE(tables.items.contains(id(open)));
        EXPECT_TRUE(tables.items.contains(id(edited)));
        EXPECT_FALSE(tables.items.contains(id(idle)));
    });
    // A reclaimed item comes back as a new item with the same identifier.
    const auto again = volume.item("idle.txt");
    EXPECT_EQ(id(again), id(idle));
    EXPECT_EQ(volume.host().readSymbolicLink(idle).wait().errorCode(), EINVAL);
}

} // namespace
} // namespace tandalo
