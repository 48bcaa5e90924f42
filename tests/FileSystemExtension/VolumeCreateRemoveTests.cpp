#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using fskit::FSItemType;
using testing::VolumeHost;

/// A name of that many emoji, each four bytes of UTF-8 and two UTF-16 units.
std::string emoji(std::size_t count) {
    std::string name;
    for (std::size_t i = 0; i < count; ++i) {
        name += "\xF0\x9F\x93\xB7";
    }
    return name;
}

TEST(VolumeCreateTests, MetadataAndNewFilesAreAnsweredAtOnceWithoutTheDevice) {
    VolumeHost volume;
    for (const auto* name : {".DS_Store", "._photo.jpg", "draft.txt"}) {
        const auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
        const auto created =
            volume.host().createItem(volume.storage(), name, FSItemType::file, request).wait();
        ASSERT_TRUE(created.succeeded()) << name;
        EXPECT_TRUE(std::dynamic_pointer_cast<EphemeralItem>(created.item)) << name;
        EXPECT_EQ(created.name->data(), std::string_view(name));
        const bool metadata = std::string_view(name).starts_with(".");
        EXPECT_EQ(request->consumedAttributes().rawValue(), metadata ? 0x2C7Au : 0x2C3Au) << name;
    }
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_FALSE(volume.scenario().exists("draft.txt"));
}

TEST(VolumeCreateTests, AFolderIsCreatedOnTheDeviceAtOnce) {
    VolumeHost volume;
    const auto generation = volume.generation();
    const auto created = volume.create(volume.storage(), "Holiday", FSItemType::directory);
    ASSERT_TRUE(created.succeeded());
    EXPECT_EQ(created.name->data(), "Holiday");
    const auto params = testing::paramsOf(volume.phone(), PTPOperation::sendObjectInfo);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0][1], 0xFFFFFFFFu);
    EXPECT_TRUE(volume.phone().object(volume.scenario().handle("Holiday"))->isFolder);
    EXPECT_EQ(volume.generation(), generation + 1);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "Holiday").item, created.item);
    const auto inside = volume.create(created.item, "Day 1", FSItemType::directory);
    ASSERT_TRUE(inside.succeeded());
    EXPECT_TRUE(volume.scenario().exists("Holiday/Day 1"));
    EXPECT_EQ(volume.create(volume.storage(), "Holiday", FSItemType::directory).errorCode(), EEXIST);
}

TEST(VolumeCreateTests, RefusesWhereNothingMayBeCreated) {
    VolumeHost volume;
    const auto file = volume.addFile("a.txt", "a");
    struct Case {
        std::shared_ptr<fskit::FSItem> directory;
        std::string name;
        FSItemType type;
        int error;
    };
    const std::vector<Case> cases{
        {volume.root(), "x", FSItemType::file, EROFS},
        {volume.root(), ".DS_Store", FSItemType::file, EROFS},
        {file, "x", FSItemType::file, EPERM},
        {file, "x", FSItemType::directory, EPERM},
        {volume.storage(), "fifo", FSItemType::fifo, ENOTSUP},
        {volume.storage(), std::string("\xc3\x28", 2), FSItemType::file, EINVAL},
        // A folder under a metadata name would be hidden on the device for good.
        {volume.storage(), ".Trashes", FSItemType::directory, EPERM},
        {volume.storage(), "._folder", FSItemType::directory, EPERM},
        // The device holds 254 UTF-16 units of a name; a longer one would be cut, and the item would show
        // under a name nobody gave it.
        {volume.storage(), std::string(255, 'n'), FSItemType::file, ENAMETOOLONG},
        {volume.storage(), std::string(255, 'n'), FSItemType::directory, ENAMETOOLONG},
        {volume.storage(), emoji(128), FSItemType::file, ENAMETOOLONG},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(volume.create(each.directory, each.name, each.type).errorCode(), each.error) << each.name;
    }
    EXPECT_TRUE(volume.create(file, ".DS_Store").succeeded());
    EXPECT_EQ(volume.phone().count(PTPOperation::sendObjectInfo), 0u);
    // The limit counts UTF-16 units, not bytes.
    EXPECT_TRUE(volume.create(volume.storage(), emoji(127), FSItemType::directory).succeeded());
    EXPECT_TRUE(volume.scenario().exists(emoji(127)));
    EXPECT_EQ(volume.host().createSymbolicLink(volume.storage(), "link", "a.txt").wait().errorCode(),
              ENOTSUP);
    EXPECT_EQ(volume.host().createLink(file, volume.storage(), "hard").wait().errorCode(), ENOTSUP);

    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    EXPECT_EQ(readOnly.create(readOnly.storage(), ".DS_Store").errorCode(), EROFS);
}

TEST(VolumeRemoveTests, InMemoryItemsGoWithoutTheDeviceEvenOnReadOnlyVolumes) {
    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    const auto kept = std::make_shared<EphemeralItem>(
        ".DS_Store", 2, EphemeralItem::Destination::memoryOnly(), readOnly.extension().clock().wallNow());
    readOnly.volume()->withLock([&](AndroidVolume::Tables& tables) { tables.addEphemeral(kept); });
    ASSERT_TRUE(readOnly.remove(kept, readOnly.root(), ".DS_Store").succeeded());
    EXPECT_EQ(readOnly.lookupIn(readOnly.root(), ".DS_Store").errorCode(), ENOENT);
    EXPECT_TRUE(readOnly.phone().operations().empty());

    VolumeHost volume;
    const auto item = volume.create(volume.storage(), ".DS_Store").item;
    const auto draft = volume.create(volume.storage(), "draft.txt").item;
    ASSERT_TRUE(volume.write(draft, 0, "never sent").succeeded());
    const auto generation = volume.generation();
    ASSERT_TRUE(volume.remove(item, volume.storage(), ".DS_Store").succeeded());
    ASSERT_TRUE(volume.remove(draft, volume.storage(), "draft.txt").succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
    EXPECT_EQ(volume.generation(), generation);
    EXPECT_EQ(volume.lookupIn(volume.storage(), ".DS_Store").errorCode(), ENOENT);
    EXPECT_EQ(volume.lookupIn(volume.storage(), "draft.txt").errorCode(), ENOENT);
    // A close after the removal sends nothing: the file is gone.
    ASSERT_TRUE(volume.close(draft).succeeded());
    EXPECT_FALSE(volume.scenario().exists("draft.txt"));
}

TEST(VolumeRemoveTests, ASentNewFileIsDeletedOnTheDevice) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "sent.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "sent").succeeded());
    ASSERT_TRUE(volume.close(item).succeeded());
    ASSERT_TRUE(volume.scenario().exists("sent.txt"));
    const auto generation = volume.generation();
    ASSERT_TRUE(volume.remove(item, volume.storage(), "sent.txt").succeeded());
    EXPECT_FALSE(volume.scenario().exists("sent.txt"));
    EXPECT_EQ(volume.generation(), generation + 1);
}

TEST(VolumeRemoveTests, FoldersGoOnlyWhenTheyShowNoChildren) {
    VolumeHost volume;
    volume.scenario().addFile("Full/a.txt", "a");
    volume.scenario().addFile("Finder/._a.txt", "appledouble");
    volume.scenario().addFile("Finder/.DS_Store", "metadata");
    volume.scenario().addFolder("Empty");
    const auto full = volume.item("Full");
    EXPECT_EQ(volume.remove(full, volume.storage(), "Full").errorCode(), ENOTEMPTY);
    EXPECT_TRUE(volume.scenario().exists("Full/a.txt"));
    for (const auto* name : {"Finder", "Empty"}) {
        const auto generation = volume.generation();
        ASSERT_TRUE(volume.remove(volume.item(name), volume.storage(), name).succeeded()) << name;
        EXPECT_FALSE(volume.scenario().exists(name));
        EXPECT_EQ(volume.generation(), generation + 1);
    }
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"Full"});
}

TEST(VolumeRemoveTests, RefusesStoragesTheRootAndReadOnlyVolumes) {
    VolumeHost volume;
    EXPECT_EQ(volume.remove(volume.storage(), volume.root(), std::string(testing::storageName)).errorCode(),
              EPERM);
    EXPECT_EQ(volume.remove(volume.root(), volume.root(), "/").errorCode(), EPERM);

    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    readOnly.scenario().addFile("a.txt", "a");
    EXPECT_EQ(readOnly.remove(readOnly.item("a.txt"), readOnly.storage(), "a.txt").errorCode(), EROFS);
    EXPECT_TRUE(readOnly.scenario().exists("a.txt"));
}

TEST(VolumeRemoveTests, ADeletionTheDeviceRefusesIsMapped) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "a");
    volume.phone().injectFault(PTPOperation::deleteObject, simulation::PhoneFault::respond(0x200F));
    EXPECT_EQ(volume.remove(item, volume.storage(), "a.txt").errorCode(), EACCES);
    EXPECT_TRUE(volume.scenario().exists("a.txt"));
}

// A new file removed while open can never reach the device: it stays its opener's, in memory, and memory
// holds no more of it than the write buffer's size.
TEST(VolumeRemoveTests, ANewFileRemovedWhileOpenStaysInMemoryWithinItsBound) {
    constexpr std::size_t MiB = 1 << 20;
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "scratch.tmp").item;
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 0, "abc").succeeded());
    ASSERT_TRUE(volume.remove(item, volume.storage(), "scratch.tmp").succeeded());
    EXPECT_EQ(volume.readText(item), "abc");
    volume.writeAll(item, testing::patternBytes(16 * MiB), MiB);
    EXPECT_EQ(volume.write(item, 16 * MiB, "x").errorCode(), EFBIG);
    EXPECT_EQ(volume.resize(item, 17 * MiB).errorCode(), EFBIG);
    EXPECT_EQ(volume.resize(item, 3).attributes->size(), 3u);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty()) << volume.scenario().operationNames();
    EXPECT_TRUE(volume.names(volume.storage()).empty());
}

} // namespace
} // namespace tandalo
