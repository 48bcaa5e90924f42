#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

struct Listed {
    std::string name;
    fskit::FSDirectoryCookie nextCookie;
    bool hasAttributes;
};

std::vector<Listed> listed(const fskit::EnumerationOutcome& outcome) {
    std::vector<Listed> entries;
    for (const auto& entry : outcome.entries) {
        entries.push_back({std::string(entry.name.data()), entry.nextCookie, entry.attributes.has_value()});
    }
    return entries;
}

std::vector<std::string> namesOf(const std::vector<Listed>& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

/// A folder with three device files in listing order and one in-memory metadata file.
struct Folder {
    explicit Folder(VolumeHost& volume) {
        volume.scenario().addFile("Docs/c.txt", "c");
        volume.scenario().addFile("Docs/a.txt", "a");
        volume.scenario().addFile("Docs/b.txt", "b");
        item = volume.item("Docs");
        metadata = volume.create(item, ".DS_Store").item;
    }
    std::shared_ptr<fskit::FSItem> item;
    std::shared_ptr<fskit::FSItem> metadata;
};

TEST(VolumeEnumerateTests, ListsDotsDeviceChildrenInOrderThenMemoryChildren) {
    VolumeHost volume;
    const Folder folder(volume);
    const auto outcome = volume.host().enumerateDirectory(folder.item, 0, 0, std::nullopt, 100).wait();
    ASSERT_TRUE(outcome.succeeded());
    const auto entries = listed(outcome);
    EXPECT_EQ(namesOf(entries),
              (std::vector<std::string>{".", "..", "c.txt", "a.txt", "b.txt", ".DS_Store"}));
    for (std::size_t index = 0; index < entries.size(); ++index) {
        EXPECT_EQ(entries[index].nextCookie, index + 1);
        EXPECT_FALSE(entries[index].hasAttributes);
    }
    EXPECT_EQ(outcome.entries[0].itemID, std::dynamic_pointer_cast<AndroidItem>(folder.item)->id());
    EXPECT_EQ(outcome.entries[1].itemID, std::dynamic_pointer_cast<AndroidItem>(volume.storage())->id());
    EXPECT_EQ(outcome.entries[2].type, fskit::FSItemType::file);
    EXPECT_EQ(outcome.entries[5].itemID, std::dynamic_pointer_cast<EphemeralItem>(folder.metadata)->id());
    EXPECT_EQ(outcome.verifier, volume.generation());
}

TEST(VolumeEnumerateTests, WithAttributesListsOnlyTheChildren) {
    VolumeHost volume;
    const Folder folder(volume);
    const auto outcome =
        volume.host().enumerateDirectory(folder.item, 0, 0, fskit::FSItemGetAttributesRequest(), 100).wait();
    const auto entries = listed(outcome);
    EXPECT_EQ(namesOf(entries), (std::vector<std::string>{"c.txt", "a.txt", "b.txt", ".DS_Store"}));
    EXPECT_EQ(entries.front().nextCookie, 3u);
    for (std::size_t index = 0; index < outcome.entries.size(); ++index) {
        ASSERT_TRUE(outcome.entries[index].attributes);
        EXPECT_EQ(outcome.entries[index].attributes->fileID(), outcome.entries[index].itemID);
    }
    EXPECT_EQ(outcome.entries[0].attributes->size(), 1u);
}

TEST(VolumeEnumerateTests, ResumesAtACookieAndEndsPastTheLastEntry) {
    VolumeHost volume;
    const Folder folder(volume);
    const auto resumed = volume.host().enumerateDirectory(folder.item, 4, 1, std::nullopt, 100).wait();
    // Cookie 4 is the one that "a.txt" (position 3) carried: the listing goes on after it.
    EXPECT_EQ(namesOf(listed(resumed)), (std::vector<std::string>{"b.txt", ".DS_Store"}));
    for (const fskit::FSDirectoryCookie past : {6u, 7u, 1000u}) {
        const auto outcome = volume.host().enumerateDirectory(folder.item, past, 1, std::nullopt, 100).wait();
        EXPECT_TRUE(outcome.succeeded());
        EXPECT_TRUE(outcome.entries.empty());
        EXPECT_EQ(outcome.verifier, volume.generation());
    }
    // Pages of two entries give the same listing as one page.
    const auto paged = volume.host().enumerateAll(folder.item, std::nullopt, 2);
    EXPECT_EQ(namesOf(listed(paged)),
              (std::vector<std::string>{".", "..", "c.txt", "a.txt", "b.txt", ".DS_Store"}));
}

TEST(VolumeEnumerateTests, TheRootListsTheStoragesAndIsItsOwnParent) {
    VolumeHost volume;
    const auto outcome = volume.host().enumerateDirectory(volume.root(), 0, 0, std::nullopt, 100).wait();
    const auto entries = listed(outcome);
    ASSERT_EQ(namesOf(entries), (std::vector<std::string>{".", "..", std::string(testing::storageName)}));
    EXPECT_EQ(outcome.entries[1].itemID, 2u);
    EXPECT_EQ(outcome.entries[2].type, fskit::FSItemType::directory);
    const auto storage = volume.host().enumerateDirectory(volume.storage(), 0, 0, std::nullopt, 100).wait();
    EXPECT_EQ(storage.entries[1].itemID, 2u);
}

TEST(VolumeEnumerateTests, HidesDeviceMetadataAndObjectsShadowedByMemoryItems) {
    VolumeHost volume;
    volume.scenario().addFile("._a.txt", "appledouble");
    volume.scenario().addFile(".DS_Store", "another Mac's");
    volume.scenario().addFile("a.txt", "a");
    volume.scenario().addFile("draft.txt", "old");
    volume.scenario().addFolder("Music");
    const auto draft = volume.create(volume.storage(), "draft.txt").item;
    const auto outcome = volume.host().enumerateDirectory(volume.storage(), 2, 0, std::nullopt, 100).wait();
    EXPECT_EQ(namesOf(listed(outcome)), (std::vector<std::string>{"a.txt", "Music", "draft.txt"}));
    EXPECT_EQ(outcome.entries[1].type, fskit::FSItemType::directory);
    EXPECT_EQ(outcome.entries[2].itemID, std::dynamic_pointer_cast<EphemeralItem>(draft)->id());
}

TEST(VolumeEnumerateTests, RefusesFilesAndPassesListingFailuresOnWithTheGivenVerifier) {
    VolumeHost volume;
    volume.scenario().addFile("a.txt", "a");
    volume.scenario().addFolder("Music");
    const auto file = volume.item("a.txt");
    const auto notAFolder = volume.host().enumerateDirectory(file, 0, 77, std::nullopt, 100).wait();
    EXPECT_EQ(notAFolder.errorCode(), ENOTDIR);
    EXPECT_EQ(notAFolder.verifier, 77u);
    const auto memory = volume.create(volume.storage(), "._x").item;
    EXPECT_EQ(volume.host().enumerateDirectory(memory, 0, 77, std::nullopt, 100).wait().errorCode(), ENOTDIR);

    const auto music = volume.item("Music");
    volume.phone().injectFault(PTPOperation::getObjectPropList, simulation::PhoneFault::respond(0x2013), 1,
                               simulation::SimulatedPhone::always);
    volume.phone().injectFault(PTPOperation::getObjectHandles, simulation::PhoneFault::respond(0x2013), 1,
                               simulation::SimulatedPhone::always);
    const auto failed = volume.host().enumerateDirectory(music, 0, 55, std::nullopt, 100).wait();
    EXPECT_EQ(failed.errorCode(), ENXIO);
    EXPECT_EQ(failed.verifier, 55u);
}

TEST(VolumeEnumerateTests, TheVerifierMovesWithChangesMadeThroughTheVolume) {
    VolumeHost volume;
    const auto before =
        volume.host().enumerateDirectory(volume.storage(), 2, 0, std::nullopt, 100).wait().verifier;
    ASSERT_TRUE(volume.create(volume.storage(), "._meta").succeeded());
    EXPECT_EQ(volume.host().enumerateDirectory(volume.storage(), 2, 0, std::nullopt, 100).wait().verifier,
              before);
    ASSERT_TRUE(volume.create(volume.storage(), "New", fskit::FSItemType::directory).succeeded());
    EXPECT_EQ(volume.host().enumerateDirectory(volume.storage(), 2, 0, std::nullopt, 100).wait().verifier,
              before + 1);
}

} // namespace
} // namespace tandalo
