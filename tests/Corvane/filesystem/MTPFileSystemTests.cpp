#include "FileSystemScenario.h"

#include <ostream>

#include "Corvane/device/MTPDevice.h"

#include <chrono>
#include <stdexcept>

namespace corvane::testing {
namespace {

using simulation::PhoneStorage;
using simulation::SimulatedPhone;
using testsupport::PhoneScenario;

class MTPFileSystemTests : public FileSystemScenario {};

struct StorageWait {
    const char* name;
    friend void PrintTo(const StorageWait& value, std::ostream* out) { *out << value.name; }
    std::uint32_t hiddenForListings;
    bool accessGranted;
    std::size_t expectedReads;
    std::chrono::milliseconds expectedWait;
    bool succeeds;
};

class MTPFileSystemStorageWaitTests : public ::testing::TestWithParam<StorageWait> {};

TEST_P(MTPFileSystemStorageWaitTests, OpenReadsStoragesUntilTheyAppearOrTwelveSecondsPass) {
    const StorageWait& wait = GetParam();
    PhoneScenario::Options options;
    options.autoAdvance = platform::VirtualClock::AutoAdvance::sleeps;
    options.prepare = [&](SimulatedPhone& phone) {
        phone.updateStorage(
            0x00010001, [&](PhoneStorage& storage) { storage.hiddenForListings = wait.hiddenForListings; });
        phone.setAccessGranted(wait.accessGranted);
    };
    PhoneScenario scenario(options);
    MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());

    const auto start = scenario.clock().now();
    if (wait.succeeds) {
        fs.open();
        EXPECT_EQ(fs.storages().size(), 1u);
    } else {
        EXPECT_EQ(catchPTPError([&] { fs.open(); }).kind(), PTPError::Kind::accessNotGranted);
        EXPECT_TRUE(fs.storages().empty());
    }
    EXPECT_EQ(scenario.clock().now() - start, wait.expectedWait);
    EXPECT_EQ(scenario.count(PTPOperation::getStorageIDs), wait.expectedReads);
    // The device information is kept even when the wait fails.
    ASSERT_TRUE(fs.deviceInfo().has_value());
    EXPECT_EQ(fs.deviceInfo()->model, "Simulated Phone");
}

INSTANTIATE_TEST_SUITE_P(
    Waits, MTPFileSystemStorageWaitTests,
    ::testing::Values(StorageWait{"AtOnce", 0, true, 1, std::chrono::milliseconds(0), true},
                      StorageWait{"FourthReading", 3, true, 4, std::chrono::milliseconds(4500), true},
                      StorageWait{"LastReading", 8, true, 9, std::chrono::milliseconds(12000), true},
                      StorageWait{"Never", 0, false, 9, std::chrono::milliseconds(12000), false}),
    [](const auto& info) { return std::string(info.param.name); });

struct StorageNaming {
    const char* name;
    friend void PrintTo(const StorageNaming& value, std::ostream* out) { *out << value.name; }
    std::vector<std::pair<std::string, std::string>> descriptionsAndLabels;
    std::vector<std::string> expected;
};

class MTPFileSystemStorageNameTests : public ::testing::TestWithParam<StorageNaming> {};

TEST_P(MTPFileSystemStorageNameTests, NamesStoragesByDescriptionLabelOrIDAndNumbersRepeats) {
    const StorageNaming& naming = GetParam();
    PhoneScenario::Options options;
    options.withStorage = false;
    options.prepare = [&](SimulatedPhone& phone) {
        std::uint32_t id = 0x00010001;
        for (const auto& [description, label] : naming.descriptionsAndLabels) {
            PhoneStorage storage;
            storage.id = id;
            storage.description = description;
            storage.volumeLabel = label;
            phone.addStorage(storage);
            id += 0x00010000;
        }
    };
    PhoneScenario scenario(options);
    MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());
    fs.open();
    scenario.clearLog();

    std::vector<std::string> names;
    for (const StorageInfo& storage : fs.storages()) {
        names.push_back(fs.storageName(storage));
        // Every name finds its own storage again.
        const auto found = fs.storage(names.back());
        ASSERT_TRUE(found.has_value()) << names.back();
        EXPECT_EQ(found->id, storage.id);
    }
    EXPECT_EQ(names, naming.expected);
    EXPECT_EQ(namesOf(fs.list("/")), naming.expected);
    EXPECT_FALSE(fs.storage("No such storage").has_value());
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

INSTANTIATE_TEST_SUITE_P(
    Storages, MTPFileSystemStorageNameTests,
    ::testing::Values(
        StorageNaming{"Distinct", {{"Internal", ""}, {"SD card", ""}}, {"Internal", "SD card"}},
        StorageNaming{"NoDescriptionNoLabel", {{"", ""}}, {"Storage 00010001"}},
        StorageNaming{"LabelWithoutDescription", {{"", "Phone"}}, {"Phone"}},
        StorageNaming{"SameDescription", {{"SD card", ""}, {"SD card", ""}}, {"SD card", "SD card 2"}},
        StorageNaming{"ThreeOfOneDescription", {{"X", ""}, {"X", "b"}, {"X", "c"}}, {"X", "X 2", "X 3"}},
        // Empty descriptions form a group too, whatever the labels say.
        StorageNaming{"EmptyDescriptionsDifferentLabels", {{"", "Alpha"}, {"", "Beta"}}, {"Alpha", "Beta 2"}},
        StorageNaming{"NothingTwice", {{"", ""}, {"", ""}}, {"Storage 00010001", "Storage 00020001 2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemTests, StorageNamesCompareByCanonicalEquivalence) {
    scenario.phone().updateStorage(scenario.storage(), [](PhoneStorage& storage) {
        storage.description = "Carte m\xC3\xA9moire"; // precomposed é
    });
    open();
    const auto found = fs->storage("Carte me\xCC\x81moire"); // e and a combining acute accent
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->id, scenario.storage());
}

TEST_F(MTPFileSystemTests, RefreshKeepsCachesWhileTheSetOfStoragesStaysTheSame) {
    scenario.addFile("DCIM/a.jpg", "jpeg");
    open();
    fs->list(path("DCIM"));
    const std::int64_t generation = fs->cacheGeneration();

    scenario.phone().updateStorage(scenario.storage(), [](PhoneStorage& storage) {
        storage.freeSpace = 12345;
        storage.description = "Renamed";
    });
    fs->refreshStorages();
    ASSERT_EQ(fs->storages().size(), 1u);
    EXPECT_EQ(fs->storages()[0].freeSpaceBytes, 12345u);
    EXPECT_EQ(fs->cacheGeneration(), generation);
    scenario.clearLog();
    fs->list(scenario.storage(), scenario.handle("DCIM"));
    EXPECT_EQ(listings(), 0u);

    PhoneStorage card;
    card.id = 0x00020001;
    card.description = "SD card";
    scenario.phone().addStorage(card);
    fs->refreshStorages();
    EXPECT_EQ(fs->storages().size(), 2u);
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    scenario.clearLog();
    fs->list(scenario.storage(), scenario.handle("DCIM"));
    EXPECT_EQ(listings(), 1u);
}

TEST_F(MTPFileSystemTests, FailedRefreshChangesNothing) {
    open();
    scenario.phone().injectFault(PTPOperation::getStorageIDs, simulation::PhoneFault::respond(0x2002));
    EXPECT_EQ(catchPTPError([&] { fs->refreshStorages(); }).kind(), PTPError::Kind::responseError);
    EXPECT_EQ(fs->storages().size(), 1u);
}

struct Invalidation {
    const char* name;
    friend void PrintTo(const Invalidation& value, std::ostream* out) { *out << value.name; }
    const char* target;
    std::int64_t generationRise;
    std::vector<const char*> droppedFolders; // "" is the top of the storage
    std::vector<const char*> keptFolders;
};

class MTPFileSystemInvalidationTests : public FileSystemScenario,
                                       public ::testing::WithParamInterface<Invalidation> {};

TEST_P(MTPFileSystemInvalidationTests, DropsTheObjectItsFolderAndForAFolderWhatLiesBelow) {
    const Invalidation& invalidation = GetParam();
    scenario.addFile("top.txt", "top");
    scenario.addFile("A/B/c.txt", "c");
    scenario.addFile("Other/d.txt", "d");
    open();
    // Caches every folder and every record on the way.
    fs->lookup(path("A/B/c.txt"));
    fs->lookup(path("Other/d.txt"));
    const MTPObject target = objectAt(invalidation.target);
    const std::int64_t generation = fs->cacheGeneration();

    fs->invalidate(target);
    EXPECT_EQ(fs->cacheGeneration(), generation + invalidation.generationRise);
    const auto folderKey = [&](std::string_view folder) {
        return folder.empty() ? SimulatedPhone::root : scenario.handle(folder);
    };
    for (const char* folder : invalidation.keptFolders) {
        scenario.clearLog();
        fs->list(scenario.storage(), folderKey(folder));
        EXPECT_EQ(listings(), 0u) << "listing of '" << folder << "' should have stayed";
    }
    for (const char* folder : invalidation.droppedFolders) {
        scenario.clearLog();
        fs->list(scenario.storage(), folderKey(folder));
        EXPECT_EQ(listings(), 1u) << "listing of '" << folder << "' should have gone";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Objects, MTPFileSystemInvalidationTests,
    ::testing::Values(Invalidation{"FileAtTheTop", "top.txt", 1, {""}, {"A", "A/B", "Other"}},
                      Invalidation{"FileInAFolder", "A/B/c.txt", 1, {"A/B"}, {"", "A", "Other"}},
                      Invalidation{"Folder", "A/B", 2, {"A", "A/B"}, {"", "Other"}},
                      Invalidation{"FolderWithFoldersBelow", "A", 2, {"", "A", "A/B"}, {"Other"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemTests, InvalidatingAFolderForgetsTheRecordsBelowIt) {
    scenario.addFile("A/B/c.txt", "c");
    open();
    const MTPObject c = objectAt("A/B/c.txt");
    fs->invalidate(objectAt("A"));
    scenario.clearLog();
    fs->object(c.handle());
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 1u);
}

TEST_F(MTPFileSystemTests, InvalidateAllEmptiesEveryCache) {
    scenario.addFile("A/c.txt", "c");
    open();
    const MTPObject c = objectAt("A/c.txt");
    const std::int64_t generation = fs->cacheGeneration();
    fs->invalidateAll();
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    scenario.clearLog();
    fs->lookup(path("A/c.txt"));
    EXPECT_EQ(listings(), 2u);
    scenario.clearLog();
    fs->invalidateAll();
    fs->object(c.handle());
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 1u);
}

TEST_F(MTPFileSystemTests, BatteryLevelComesFromTheDevice) {
    scenario.phone().setBatteryLevel(42);
    open();
    EXPECT_EQ(fs->batteryLevel(), 42);
    scenario.phone().setBatteryLevel(43);
    EXPECT_EQ(fs->batteryLevel(), 43);
}

TEST_F(MTPFileSystemTests, CloseEndsTheSessionAndKeepsTheCaches) {
    scenario.addFile("A/c.txt", "c");
    open();
    const DirectoryListing before = fs->list(path("A"));
    fs->close();
    EXPECT_FALSE(scenario.phone().isSessionOpen());
    EXPECT_EQ(fs->storages().size(), 1u);
    EXPECT_EQ(namesOf(fs->list(path("A"))), namesOf(before));
    fs->close(); // a second close does no harm
}

TEST_F(MTPFileSystemTests, NodeKindsAndDirectories) {
    scenario.addFile("A/c.txt", "c");
    open();
    EXPECT_EQ(fs->lookup("/").kind(), MTPFileSystem::Node::Kind::root);
    EXPECT_TRUE(fs->lookup("/").isDirectory());
    EXPECT_EQ(fs->lookup(mainStorage).kind(), MTPFileSystem::Node::Kind::storage);
    EXPECT_TRUE(fs->lookup(mainStorage).isDirectory());
    EXPECT_TRUE(fs->lookup(path("A")).isDirectory());
    EXPECT_FALSE(fs->lookup(path("A/c.txt")).isDirectory());
}

TEST(MTPFileSystemDeviceTests, OpensADeviceThatItsCallerConnected) {
    PhoneScenario::Options options;
    options.connectDevice = false;
    PhoneScenario scenario(options);
    scenario.addFile("a.txt", "a");
    const auto device = MTPDevice::connect(scenario.descriptor(), std::nullopt, TakeOver::never, {},
                                           scenario.deviceContext());
    MTPFileSystem fs(device, scenario.clock());
    fs.open();
    EXPECT_EQ(fs.lookup(mainStorage + "/a.txt").object().size(), 1u);
    EXPECT_THROW(scenario.device(), std::logic_error);
}

TEST_F(MTPFileSystemTests, AnUnpluggedPhoneFailsWhatIsNotCached) {
    scenario.addFile("A/a.txt", "a");
    scenario.addFile("B/b.txt", "b");
    open();
    const DirectoryListing a = fs->list(path("A"));
    scenario.unplug();
    EXPECT_EQ(catchPTPError([&] { fs->list(path("B")); }).kind(), PTPError::Kind::usb);
    EXPECT_EQ(catchPTPError([&] { fs->read(a[0], 0, 1); }).kind(), PTPError::Kind::usb);
    EXPECT_EQ(namesOf(fs->list(path("A"))), namesOf(a)) << "what was cached stays readable";
    EXPECT_EQ(catchPTPError([&] { fs->list(path("B")); }).kind(), PTPError::Kind::usb)
        << "a failed listing is not remembered as empty";
}

} // namespace
} // namespace corvane::testing
