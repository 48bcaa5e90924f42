#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/usb/DeviceName.h"
#include "ExtensionScenario.h"
#include "ReplyCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::ExtensionScenario;
using testing::ReplyCapture;
using StatusCapture = ReplyCapture<std::optional<fskit::Error>>;
using ItemCapture = ReplyCapture<std::shared_ptr<fskit::FSItem>, std::optional<fskit::Error>>;

constexpr std::uint64_t GiB = 1ull << 30;

void activate(AndroidVolume& volume) {
    ItemCapture activated;
    volume.activate({}, activated.reply());
    const auto answer = activated.wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::get<0>(*answer), volume.root());
    EXPECT_FALSE(std::get<1>(*answer));
}

void synchronize(AndroidVolume& volume) {
    StatusCapture synchronized;
    volume.synchronize(fskit::FSSyncFlags::wait, synchronized.reply());
    const auto answer = synchronized.wait();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(std::get<0>(*answer));
}

std::size_t batteryPolls(ExtensionScenario& scenario) {
    return scenario.phone().count(PTPOperation::getDevicePropDesc) +
           scenario.phone().count(PTPOperation::getDevicePropValue);
}

/// Waits until the battery poller has made its polls so far and sleeps on the clock again: nothing else
/// of a volume waits on the clock between operations.
void waitForPolls(ExtensionScenario& scenario, std::size_t polls) {
    ASSERT_TRUE(testing::eventually([&] {
        return batteryPolls(scenario) >= polls && scenario.clock().waiterCount() == 1;
    })) << batteryPolls(scenario)
        << " polls, " << scenario.clock().waiterCount() << " waiting";
}

std::shared_ptr<EphemeralItem> newFile(AndroidVolume& volume, ExtensionScenario& scenario, std::string name,
                                       std::string_view contents) {
    auto item = std::make_shared<EphemeralItem>(
        std::move(name), volume.root()->id(),
        EphemeralItem::Destination::device(scenario.scenario().storage(),
                                           EphemeralItem::Destination::storageRootParent),
        scenario.clock().wallNow());
    std::lock_guard content(item->contentLock());
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& data = item->state(tables.lock).data;
        const auto bytes = std::as_bytes(std::span(contents.data(), contents.size()));
        data.assign(bytes.begin(), bytes.end());
        tables.addEphemeral(item);
    });
    return item;
}

std::uint64_t generation(AndroidVolume& volume) {
    return volume.withLock([](AndroidVolume::Tables& tables) { return tables.generation; });
}

TEST(AndroidVolumeTests, StartsWithTheRootAndTheDevicesName) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    EXPECT_EQ(volume->root()->id(), 2u);
    const auto& descriptor = scenario.descriptor();
    EXPECT_EQ(volume->name().data(), corvane::DeviceName::clean(descriptor.productName, descriptor.vendorName,
                                                                descriptor.serialNumber));
    volume->withLock([&](AndroidVolume::Tables& tables) {
        const auto& root = volume->root()->state(tables.lock);
        EXPECT_EQ(root.parentID, 1u);
        EXPECT_EQ(root.name, "/");
        EXPECT_TRUE(root.kind.isRoot());
        EXPECT_EQ(tables.items.size(), 1u);
        EXPECT_EQ(tables.items.at(2), volume->root());
        EXPECT_EQ(tables.generation, 1u);
    });
    EXPECT_EQ(volume->mountTime(), scenario.clock().wallNow());
    EXPECT_FALSE(volume->readOnly());
    EXPECT_TRUE(scenario.makeVolume(VolumeAccess::readOnly)->readOnly());
}

TEST(AndroidVolumeTests, KeysTheDeviceBySerialOrByRegistryIDInDecimal) {
    EXPECT_EQ(AndroidVolume::deviceKey(testing::descriptor("R58N123ABC", 4242)), "R58N123ABC");
    EXPECT_EQ(AndroidVolume::deviceKey(testing::descriptor("", 4294968000)), "4294968000");
}

TEST(AndroidVolumeTests, ActivateReadsTheSpaceRepliesTheRootAndPollsTheBattery) {
    ExtensionScenario scenario;
    scenario.phone().updateStorage(scenario.scenario().storage(), [](simulation::PhoneStorage& storage) {
        storage.maxCapacity = 64 * GiB;
        storage.freeSpace = 10 * GiB + 100;
    });
    scenario.phone().setBatteryLevel(87);
    const auto volume = scenario.makeVolume();
    scenario.phone().clearLog();
    activate(*volume);
    EXPECT_GE(scenario.phone().count(PTPOperation::getStorageIDs), 1u);
    const auto statistics = volume->volumeStatistics();
    EXPECT_EQ(statistics.totalBytes, 64 * GiB);
    EXPECT_EQ(statistics.freeBytes, 10 * GiB + 100);
    const auto key = "deviceStatus." + scenario.deviceKey() + ".battery";
    EXPECT_TRUE(testing::eventually([&] { return scenario.preferences().suite().integerValue(key) == 87; }));
}

// What a send cut short in an earlier mount left under an incomplete name goes when the phone is mounted
// again, after the activation has replied; nothing else does, however alike its name, nor what this
// process is sending.
TEST(AndroidVolumeTests, RemovesWhatCutShortSendsLeftOnceActivated) {
    const std::vector<std::string> leftovers{"video.mp4.tandalo-incomplete-0a1b2c3d",
                                             "DCIM/IMG_1.jpg.tandalo-incomplete-ffffffff"};
    const std::vector<std::string> kept{"a.tandalo-incomplete-0A1B2C3D",  "b.tandalo-incomplete-0a1b2c3",
                                        "c.tandalo-replacing-0a1b2c3d",   "d.tandalo-incomplete-0a1b2c3d.jpg",
                                        "e.tandalo-incomplete-00a1b2c3d", "e.tandalo-incomplete--a1b2c3d"};
    for (const bool propertyLists : {true, false}) {
        SCOPED_TRACE(propertyLists ? "property lists" : "object by object");
        ExtensionScenario scenario(testsupport::PhoneScenario::Options{.prepare = [&](auto& phone) {
            phone.setOperationSupported(PTPOperation::getObjectPropList, propertyLists);
        }});
        for (const auto& path : leftovers) {
            scenario.scenario().addFile(path, "part of a file");
        }
        for (const auto& path : kept) {
            scenario.scenario().addFile(path, "not ours");
        }
        scenario.scenario().addFolder("f.tandalo-incomplete-0a1b2c3d");
        const auto volume = scenario.makeVolume();
        const auto sending =
            volume->fs().createPartialFile(scenario.scenario().storage(), corvane::MTPFileSystem::rootParent,
                                           "mine.bin", testing::bytesOfText("being sent"), {}, {});
        activate(*volume);
        for (const auto& path : leftovers) {
            const auto line = "removed " + path.substr(path.find('/') + 1) +
                              ", left incomplete by a copy that was cut short";
            EXPECT_TRUE(testing::eventually([&] {
                const auto log = scenario.extensionLog();
                return std::ranges::find(log, line) != log.end();
            })) << line;
            EXPECT_FALSE(scenario.phone().find(scenario.scenario().storage(), path)) << path;
        }
        for (const auto& path : kept) {
            EXPECT_TRUE(scenario.phone().find(scenario.scenario().storage(), path)) << path;
        }
        EXPECT_TRUE(scenario.phone().find(scenario.scenario().storage(), "f.tandalo-incomplete-0a1b2c3d"));
        EXPECT_TRUE(scenario.phone().find(scenario.scenario().storage(), sending.object.name()));
    }
}

TEST(AndroidVolumeTests, PollsTheBatteryEveryMinuteAndKeepsTheLastLevelWhenAPollFails) {
    ExtensionScenario scenario;
    scenario.phone().setBatteryLevel(87);
    const auto volume = scenario.makeVolume();
    scenario.phone().clearLog();
    activate(*volume);
    const auto key = "deviceStatus." + scenario.deviceKey() + ".battery";
    ASSERT_TRUE(testing::eventually([&] { return scenario.preferences().suite().integerValue(key) == 87; }));
    waitForPolls(scenario, 1);
    const auto first = batteryPolls(scenario);

    scenario.phone().setBatteryLevel(55);
    scenario.phone().injectFault(PTPOperation::getDevicePropDesc, simulation::PhoneFault::respond(0x2002));
    scenario.phone().injectFault(PTPOperation::getDevicePropValue, simulation::PhoneFault::respond(0x2002));
    scenario.clock().advance(std::chrono::seconds(59));
    EXPECT_EQ(batteryPolls(scenario), first);
    scenario.clock().advance(std::chrono::seconds(1));
    const auto failure = "battery level of " + scenario.deviceKey() + " not read";
    ASSERT_TRUE(testing::eventually([&] {
        const auto log = scenario.extensionLog();
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& line) { return line.starts_with(failure); });
    }));
    EXPECT_EQ(scenario.preferences().suite().integerValue(key), 87);
    waitForPolls(scenario, first + 1);

    scenario.clock().advance(std::chrono::seconds(60));
    EXPECT_TRUE(testing::eventually([&] { return scenario.preferences().suite().integerValue(key) == 55; }));
}

TEST(AndroidVolumeTests, ActivatingTwiceLeavesOnePoller) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    scenario.phone().clearLog();
    activate(*volume);
    waitForPolls(scenario, 1);
    activate(*volume);
    // The new poller polls at once; the old one ends instead of sleeping on.
    waitForPolls(scenario, 2);
    scenario.clock().advance(std::chrono::seconds(60));
    waitForPolls(scenario, 3);
    EXPECT_EQ(batteryPolls(scenario), 3u);
}

TEST(AndroidVolumeTests, SynchronizeRefreshesTheSpaceAtMostEveryTenSeconds) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    scenario.phone().clearLog();
    activate(*volume);
    waitForPolls(scenario, 1);
    scenario.phone().clearLog();
    synchronize(*volume);
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 0u);
    scenario.clock().advance(std::chrono::seconds(9));
    synchronize(*volume);
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 0u);
    scenario.phone().updateStorage(scenario.scenario().storage(),
                                   [](simulation::PhoneStorage& storage) { storage.freeSpace = 5 * GiB; });
    scenario.clock().advance(std::chrono::seconds(2));
    synchronize(*volume);
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 1u);
    EXPECT_EQ(volume->volumeStatistics().freeBytes, 5 * GiB);
}

// df after a copy shows the space it took without a synchronize; a long copy asks at most once a second.
TEST(AndroidVolumeTests, RefreshesTheSpaceAfterFilesAreSentAtMostOnceASecond) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    activate(*volume);
    waitForPolls(scenario, 1);
    const auto before = volume->volumeStatistics().freeBytes;
    const auto freeBytesBecome = [&](std::uint64_t expected) {
        return testing::eventually([&] { return volume->volumeStatistics().freeBytes == expected; });
    };
    scenario.phone().clearLog();
    volume->flush(newFile(*volume, scenario, "a.bin", std::string(100000, 'a')));
    volume->flush(newFile(*volume, scenario, "b.bin", std::string(50000, 'b')));
    // Both came within the second after the activation's refresh: one refresh waits for its turn.
    ASSERT_TRUE(testing::eventually([&] { return scenario.clock().waiterCount() == 2; }));
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 0u);
    EXPECT_EQ(volume->volumeStatistics().freeBytes, before);
    scenario.clock().advance(AndroidVolume::spaceChangeInterval);
    EXPECT_TRUE(freeBytesBecome(before - 150000));
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 1u);

    scenario.clock().advance(AndroidVolume::spaceChangeInterval);
    volume->flush(newFile(*volume, scenario, "c.bin", std::string(1000, 'c')));
    EXPECT_TRUE(freeBytesBecome(before - 151000)) << "a second later the figures are read at once";
    EXPECT_EQ(scenario.phone().count(PTPOperation::getStorageIDs), 2u);
}

TEST(AndroidVolumeTests, SynchronizeSucceedsWhenTheStoragesCannotBeRead) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    activate(*volume);
    const auto before = volume->volumeStatistics();
    scenario.phone().updateStorage(scenario.scenario().storage(),
                                   [](simulation::PhoneStorage& storage) { storage.freeSpace = 1 * GiB; });
    scenario.phone().injectFault(PTPOperation::getStorageIDs, simulation::PhoneFault::respond(0x2002));
    scenario.clock().advance(std::chrono::seconds(11));
    synchronize(*volume);
    EXPECT_EQ(volume->volumeStatistics().freeBytes, before.freeBytes);
    EXPECT_EQ(volume->volumeStatistics().totalBytes, before.totalBytes);
}

TEST(AndroidVolumeTests, DerivesTheStatisticsFromTheStoragesFigures) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> storages; // capacity, free
        std::uint64_t total, free, used, totalBlocks, freeBlocks, usedBlocks;
    };
    const std::vector<Case> cases{
        {"no capacity", {{0, 0}}, 0, 0, 0, 0, 0, 0},
        {"more free than capacity", {{8192, 20000}}, 8192, 20000, 0, 2, 4, 0},
        {"two storages summed",
         {{64 * GiB, 10 * GiB}, {32 * GiB, 1 * GiB + 5000}},
         96 * GiB,
         11 * GiB + 5000,
         85 * GiB - 5000,
         96 * GiB / 4096,
         (11 * GiB + 5000) / 4096,
         96 * GiB / 4096 - (11 * GiB + 5000) / 4096},
        {"partial blocks round down", {{4096 * 3 + 100, 4095}}, 12388, 4095, 8293, 3, 0, 3},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ExtensionScenario scenario(
            testsupport::PhoneScenario::Options{.withStorage = false, .prepare = [&](auto& phone) {
                                                    std::uint32_t id = 0x00010001;
                                                    for (const auto& [capacity, free] : each.storages) {
                                                        simulation::PhoneStorage storage;
                                                        storage.id = id;
                                                        storage.maxCapacity = capacity;
                                                        storage.freeSpace = free;
                                                        phone.addStorage(storage);
                                                        id += 0x00010000;
                                                    }
                                                }});
        const auto volume = scenario.makeVolume();
        activate(*volume);
        const auto statistics = volume->volumeStatistics();
        EXPECT_EQ(statistics.fileSystemTypeName, "tandalo");
        EXPECT_EQ(statistics.blockSize, 4096u);
        EXPECT_EQ(statistics.ioSize, 0x100000u);
        EXPECT_EQ(statistics.totalBytes, each.total);
        EXPECT_EQ(statistics.freeBytes, each.free);
        EXPECT_EQ(statistics.availableBytes, each.free);
        EXPECT_EQ(statistics.usedBytes, each.used);
        EXPECT_EQ(statistics.totalBlocks, each.totalBlocks);
        EXPECT_EQ(statistics.freeBlocks, each.freeBlocks);
        EXPECT_EQ(statistics.availableBlocks, each.freeBlocks);
        EXPECT_EQ(statistics.usedBlocks, each.usedBlocks);
        EXPECT_EQ(statistics.totalFiles, 0u) << "a device sets no limit on files";
        EXPECT_EQ(statistics.freeFiles, 0u);
    }
}

TEST(AndroidVolumeTests, ReportsItsCapabilitiesAndLimits) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto capabilities = volume->supportedVolumeCapabilities();
    EXPECT_TRUE(capabilities.supportsPersistentObjectIDs);
    EXPECT_FALSE(capabilities.supportsSymbolicLinks);
    EXPECT_FALSE(capabilities.supportsHardLinks);
    EXPECT_FALSE(capabilities.supportsJournal);
    EXPECT_FALSE(capabilities.supportsActiveJournal);
    EXPECT_TRUE(capabilities.doesNotSupportRootTimes);
    EXPECT_FALSE(capabilities.supportsSparseFiles);
    EXPECT_FALSE(capabilities.supportsZeroRuns);
    EXPECT_TRUE(capabilities.supportsFastStatFS);
    EXPECT_TRUE(capabilities.supports2TBFiles);
    EXPECT_FALSE(capabilities.supportsOpenDenyModes);
    EXPECT_FALSE(capabilities.supportsHiddenFiles);
    EXPECT_FALSE(capabilities.doesNotSupportVolumeSizes);
    EXPECT_TRUE(capabilities.supports64BitObjectIDs);
    EXPECT_FALSE(capabilities.supportsDocumentID);
    EXPECT_TRUE(capabilities.doesNotSupportImmutableFiles);
    EXPECT_TRUE(capabilities.doesNotSupportSettingFilePermissions);
    EXPECT_EQ(capabilities.caseFormat, fskit::FSVolumeCaseFormat::sensitive);
    EXPECT_EQ(volume->maximumLinkCount(), 1u);
    EXPECT_EQ(volume->maximumNameLength(), 255u);
    EXPECT_TRUE(volume->restrictsOwnershipChanges());
    EXPECT_FALSE(volume->truncatesLongNames());
    EXPECT_EQ(volume->maximumFileSize(), 0xFFFF'FFFF'FFFF'FFFFu);
}

TEST(AndroidVolumeTests, InternsOneItemPerDeviceObject) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto storageInfo = volume->fs().storages().front();
    const auto storage = volume->item(AndroidItem::Kind::storage(storageInfo), "Internal", *volume->root());
    EXPECT_EQ(storage->id(), std::uint64_t{storageInfo.id} | 0x100'0000'0000);

    const corvane::MTPObject first(5, storageInfo.id, 0xFFFFFFFF, "a.txt", 10, 0x3000, std::nullopt, false);
    const corvane::MTPObject renamed(5, storageInfo.id, 0xFFFFFFFF, "b.txt", 20, 0x3000, std::nullopt, false);
    const auto item = volume->item(AndroidItem::Kind::object(first), "a.txt", *storage);
    volume->withLock([&](AndroidVolume::Tables& tables) { item->state(tables.lock).pendingSize = 99; });
    const auto again = volume->item(AndroidItem::Kind::object(renamed), "ignored", *volume->root());
    EXPECT_EQ(again, item);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        EXPECT_EQ(state.name, "b.txt");
        EXPECT_EQ(state.kind.object()->size(), 20u);
        EXPECT_FALSE(state.pendingSize);
        // The parent is the one it was first found in.
        EXPECT_EQ(state.parentID, storage->id());
    });

    auto changedInfo = storageInfo;
    changedInfo.freeSpaceBytes = 1;
    EXPECT_EQ(volume->item(AndroidItem::Kind::storage(changedInfo), "Other", *volume->root()), storage);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        EXPECT_EQ(storage->state(tables.lock).name, "Internal");
        EXPECT_EQ(storage->state(tables.lock).kind.storage()->freeSpaceBytes, storageInfo.freeSpaceBytes);
    });
    EXPECT_EQ(volume->item(AndroidItem::Kind::root(), "x", *volume->root()), volume->root());
}

TEST(AndroidVolumeTests, ListsTheInMemoryItemsOfAFolderByName) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto now = scenario.clock().wallNow();
    const auto memory = EphemeralItem::Destination::memoryOnly();
    volume->withLock([&](AndroidVolume::Tables& tables) {
        for (const auto* name : {"._b", ".DS_Store", "._a"}) {
            tables.addEphemeral(std::make_shared<EphemeralItem>(name, 2, memory, now));
        }
        tables.addEphemeral(std::make_shared<EphemeralItem>(".DS_Store", 0x1'0000'0007, memory, now));
    });
    std::vector<std::string> names;
    for (const auto& child : volume->ephemeralChildren(2)) {
        names.push_back(
            volume->withLock([&](AndroidVolume::Tables& tables) { return child->state(tables.lock).name; }));
    }
    EXPECT_EQ(names, (std::vector<std::string>{".DS_Store", "._a", "._b"}));
    EXPECT_EQ(volume->ephemeralChildren(0x1'0000'0007).size(), 1u);
    EXPECT_TRUE(volume->ephemeralChildren(99).empty());

    // An item of the same name replaces the one before it.
    const auto replacement = std::make_shared<EphemeralItem>("._a", 2, memory, now);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        tables.addEphemeral(replacement);
        EXPECT_EQ(tables.ephemeralChild("._a", 2), replacement);
        EXPECT_EQ(tables.ephemeralChild("._c", 2), nullptr);
        EXPECT_EQ(tables.ephemeralChild("._a", 3), nullptr);
    });
    EXPECT_EQ(volume->ephemeralChildren(2).size(), 3u);
}

TEST(AndroidVolumeTests, RenamingAnInMemoryItemWithoutADestinationKeepsItsDestination) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto destination = EphemeralItem::Destination::device(0x10001, 7);
    const auto item =
        std::make_shared<EphemeralItem>("draft.txt", 2, destination, scenario.clock().wallNow());
    const auto later = scenario.clock().wallNow() + std::chrono::seconds(5);
    const auto elsewhere =
        EphemeralItem::Destination::device(0x20001, EphemeralItem::Destination::storageRootParent);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item->state(tables.lock);
        state.rename("final.txt", 0x1'0000'0009, std::nullopt, later);
        EXPECT_EQ(state.name, "final.txt");
        EXPECT_EQ(state.parentID, 0x1'0000'0009u);
        EXPECT_EQ(state.destination, destination);
        EXPECT_EQ(state.modified, later);
        state.rename("final.txt", 0x100'0002'0001, elsewhere, later + std::chrono::seconds(1));
        EXPECT_EQ(state.destination, elsewhere);
        EXPECT_EQ(state.modified, later + std::chrono::seconds(1));
    });
    EXPECT_EQ(item->created(), scenario.clock().wallNow());
}

TEST(AndroidVolumeTests, FlushSendsANewFileOnceAndThenHoldsNoCopyOfIt) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const std::string contents(100'000, 'x');
    const auto item = newFile(*volume, scenario, "new.bin", contents);
    volume->flush(item);
    EXPECT_EQ(scenario.scenario().contents("new.bin"), contents);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        ASSERT_TRUE(state.sent);
        const auto* object = state.sent->state(tables.lock).kind.object();
        EXPECT_EQ(object->name(), "new.bin");
        EXPECT_EQ(object->size(), contents.size());
        EXPECT_TRUE(state.data.empty());
        EXPECT_EQ(state.data.capacity(), 0u);
    });
    EXPECT_EQ(generation(*volume), 2u);

    scenario.phone().clearLog();
    volume->flush(item);
    EXPECT_EQ(scenario.phone().count(PTPOperation::sendObjectInfo), 0u);
    EXPECT_EQ(generation(*volume), 2u);
}

TEST(AndroidVolumeTests, FlushLeavesMetadataFilesInMemory) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto item = std::make_shared<EphemeralItem>(
        ".DS_Store", 2, EphemeralItem::Destination::memoryOnly(), scenario.clock().wallNow());
    scenario.phone().clearLog();
    volume->flush(item);
    EXPECT_TRUE(scenario.phone().operations().empty());
    EXPECT_EQ(generation(*volume), 1u);
}

TEST(AndroidVolumeTests, AFailedFlushKeepsTheFileInMemory) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    const auto item = newFile(*volume, scenario, "new.bin", "keep me");
    scenario.phone().injectFault(PTPOperation::sendObjectInfo, simulation::PhoneFault::respond(0x200C));
    EXPECT_THROW(volume->flush(item), corvane::PTPError);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        EXPECT_FALSE(state.sent);
        EXPECT_EQ(state.data.size(), 7u);
    });
    EXPECT_EQ(generation(*volume), 1u);
    volume->flush(item);
    EXPECT_EQ(scenario.scenario().contents("new.bin"), "keep me");
}

TEST(AndroidVolumeTests, UnmountEndsEveryOpenEditEvenWhenOneFails) {
    ExtensionScenario scenario;
    scenario.scenario().addFile("a.txt", "aaa");
    scenario.scenario().addFile("b.txt", "bbb");
    const auto volume = scenario.makeVolume();
    std::vector<std::shared_ptr<AndroidItem>> items;
    for (const auto* name : {"a.txt", "b.txt"}) {
        const auto object = volume->fs().object(scenario.scenario().handle(name));
        volume->fs().beginEdit(object);
        items.push_back(volume->item(AndroidItem::Kind::object(object), name, *volume->root()));
        volume->withLock(
            [&](AndroidVolume::Tables& tables) { items.back()->state(tables.lock).isEditing = true; });
    }
    scenario.phone().clearLog();
    scenario.phone().injectFault(PTPOperation::androidEndEditObject, simulation::PhoneFault::respond(0x2002));
    ReplyCapture<> unmounted;
    volume->unmount(unmounted.reply());
    ASSERT_TRUE(unmounted.wait());
    EXPECT_EQ(scenario.phone().count(PTPOperation::androidEndEditObject), 2u);
    volume->withLock([&](AndroidVolume::Tables& tables) {
        for (const auto& item : items) {
            EXPECT_FALSE(item->state(tables.lock).isEditing);
        }
    });
    const auto log = scenario.extensionLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "unmount " + std::string(volume->name().data())), log.end());
}

TEST(AndroidVolumeTests, DeactivateEndsOpenEditsAndKeepsTheItems) {
    ExtensionScenario scenario;
    scenario.scenario().addFile("a.txt", "aaa");
    const auto volume = scenario.makeVolume();
    const auto object = volume->fs().object(scenario.scenario().handle("a.txt"));
    volume->fs().beginEdit(object);
    const auto item = volume->item(AndroidItem::Kind::object(object), "a.txt", *volume->root());
    volume->withLock([&](AndroidVolume::Tables& tables) { item->state(tables.lock).isEditing = true; });
    StatusCapture deactivated;
    volume->deactivate({}, deactivated.reply());
    ASSERT_TRUE(deactivated.wait());
    EXPECT_TRUE(scenario.phone().objectsInEdit().empty());
    volume->withLock([&](AndroidVolume::Tables& tables) {
        EXPECT_FALSE(item->state(tables.lock).isEditing);
        EXPECT_EQ(tables.items.size(), 2u);
    });
}

TEST(AndroidVolumeTests, UnmountSendsNewFilesThatWereNeverClosed) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    newFile(*volume, scenario, "unsaved.txt", "written but never closed");
    const auto metadata = std::make_shared<EphemeralItem>(
        ".DS_Store", 2, EphemeralItem::Destination::memoryOnly(), scenario.clock().wallNow());
    volume->withLock([&](AndroidVolume::Tables& tables) { tables.addEphemeral(metadata); });
    ReplyCapture<> unmounted;
    volume->unmount(unmounted.reply());
    ASSERT_TRUE(unmounted.wait());
    EXPECT_EQ(scenario.scenario().contents("unsaved.txt"), "written but never closed");
    EXPECT_FALSE(scenario.scenario().exists(".DS_Store"));
}

TEST(AndroidVolumeTests, ReportsANewFileThatCannotBeSentAtUnmountAsLost) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    newFile(*volume, scenario, "unsaved.txt", "bytes");
    scenario.phone().injectFault(PTPOperation::sendObjectInfo, simulation::PhoneFault::respond(0x200C), 1,
                                 simulation::SimulatedPhone::always);
    ReplyCapture<> unmounted;
    volume->unmount(unmounted.reply());
    ASSERT_TRUE(unmounted.wait());
    const auto log = scenario.extensionLog();
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& line) {
                               return line.starts_with(
                                   "unsaved.txt could not be sent to the device and is lost");
                           }),
              log.end());
}

TEST(AndroidVolumeTests, ShutdownStopsThePollerClosesTheSessionAndClearsTheStatus) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    scenario.phone().clearLog();
    activate(*volume);
    waitForPolls(scenario, 1);
    volume->recordWrite();
    auto suite = scenario.preferences().suite();
    const auto key = "deviceStatus." + scenario.deviceKey();
    ASSERT_TRUE(suite.value(key + ".battery"));
    ASSERT_TRUE(suite.value(key + ".lastWrite"));

    volume->shutdown();
    EXPECT_FALSE(suite.value(key + ".battery"));
    EXPECT_FALSE(suite.value(key + ".lastWrite"));
    EXPECT_FALSE(scenario.phone().isSessionOpen());
    EXPECT_EQ(scenario.clock().waiterCount(), 0u);
    const auto polls = batteryPolls(scenario);
    scenario.clock().advance(std::chrono::minutes(5));
    EXPECT_EQ(batteryPolls(scenario), polls);

    // Activating after the unload starts nothing, and a second shutdown does nothing.
    activate(*volume);
    EXPECT_EQ(scenario.clock().waiterCount(), 0u);
    scenario.phone().clearLog();
    volume->shutdown();
    EXPECT_TRUE(scenario.phone().operations().empty());
}

TEST(AndroidVolumeTests, RecordsAWriteAtMostOncePerSecond) {
    ExtensionScenario scenario;
    const auto volume = scenario.makeVolume();
    auto suite = scenario.preferences().suite();
    const auto key = "deviceStatus." + scenario.deviceKey() + ".lastWrite";
    const auto start = scenario.clock().wallNow();
    volume->recordWrite();
    EXPECT_EQ(suite.dateValue(key), start);
    scenario.clock().advance(std::chrono::milliseconds(250));
    volume->recordWrite();
    scenario.clock().advance(std::chrono::milliseconds(250));
    volume->recordWrite();
    EXPECT_EQ(suite.dateValue(key), start);
    scenario.clock().advance(std::chrono::milliseconds(500));
    volume->recordWrite();
    EXPECT_EQ(suite.dateValue(key), start + std::chrono::seconds(1));
}

} // namespace
} // namespace tandalo
