#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace tandalo {
namespace {

using fskit::FSItemType;
using testing::VolumeHost;

constexpr std::size_t MiB = 1 << 20;

TEST(VolumeScenarioTests, BrowseReadCopyEditAndTidyUpAsFinderWould) {
    VolumeHost volume;
    const auto photo = testing::patternBytes(3 * MiB + 17, 11);
    const auto notes = std::string("shopping: milk, eggs\n");
    volume.scenario().addFile("DCIM/Camera/IMG_0001.jpg", std::span<const std::byte>(photo));
    volume.scenario().addFile("Documents/notes.txt", notes);
    volume.scenario().addFolder("Download");

    // Browse.
    EXPECT_EQ(volume.names(volume.root()), std::vector<std::string>{std::string(testing::storageName)});
    EXPECT_EQ(volume.names(volume.storage()), (std::vector<std::string>{"DCIM", "Documents", "Download"}));
    const auto camera = volume.item("DCIM/Camera");
    ASSERT_TRUE(volume.create(camera, ".DS_Store").succeeded());
    EXPECT_EQ(volume.names(camera), (std::vector<std::string>{"IMG_0001.jpg", ".DS_Store"}));

    // Read the photo sequentially, then at random places.
    const auto image = volume.item("DCIM/Camera/IMG_0001.jpg");
    EXPECT_EQ(testing::sha256Hex(volume.readAll(image, 128 * 1024)), testing::sha256Hex(photo));
    std::mt19937 random(7);
    for (int read = 0; read < 40; ++read) {
        const auto offset = std::uniform_int_distribution<std::size_t>(0, photo.size() - 1)(random);
        const auto length = std::uniform_int_distribution<std::size_t>(1, 300'000)(random);
        const auto piece = volume.read(image, static_cast<off_t>(offset), length);
        ASSERT_TRUE(piece.succeeded());
        const auto expected = std::span(photo).subspan(offset, std::min(length, photo.size() - offset));
        ASSERT_TRUE(std::equal(piece.bytes.begin(), piece.bytes.end(), expected.begin(), expected.end()))
            << offset;
    }

    // Copy a 40 MiB file in, with Finder's AppleDouble beside it.
    const auto download = volume.item("Download");
    const auto video = testing::patternBytes(40 * MiB, 12);
    const auto copy = volume.create(download, "movie.mp4");
    ASSERT_TRUE(copy.succeeded());
    volume.writeAll(copy.item, video);
    const auto appleDouble = volume.create(download, "._movie.mp4");
    ASSERT_TRUE(volume.write(appleDouble.item, 0, "resource fork").succeeded());
    ASSERT_TRUE(volume.close(copy.item).succeeded());
    ASSERT_TRUE(volume.close(appleDouble.item).succeeded());
    EXPECT_EQ(volume.phone().sha256(volume.scenario().handle("Download/movie.mp4")),
              testing::sha256Hex(video));
    EXPECT_FALSE(volume.scenario().exists("Download/._movie.mp4"));
    EXPECT_EQ(volume.readText(appleDouble.item), "resource fork");

    // Edit the notes in place, appending through the open file.
    const auto note = volume.item("Documents/notes.txt");
    ASSERT_TRUE(volume.open(note).succeeded());
    ASSERT_TRUE(volume.write(note, static_cast<off_t>(notes.size()), "todo: call home\n").succeeded());
    EXPECT_EQ(volume.readText(note), notes + "todo: call home\n");
    ASSERT_TRUE(volume.close(note).succeeded());
    EXPECT_EQ(volume.scenario().contents("Documents/notes.txt"), notes + "todo: call home\n");

    // Make a folder, move the notes into it under a new name, rename the folder, remove the old ones.
    const auto archive = volume.create(volume.storage(), "Archive", FSItemType::directory);
    ASSERT_TRUE(archive.succeeded());
    const auto documents = volume.item("Documents");
    ASSERT_TRUE(volume.rename(note, documents, "notes.txt", archive.item, "2024 notes.txt").succeeded());
    ASSERT_TRUE(
        volume.rename(archive.item, volume.storage(), "Archive", volume.storage(), "Old").succeeded());
    ASSERT_TRUE(volume.remove(documents, volume.storage(), "Documents").succeeded());
    ASSERT_TRUE(volume.remove(appleDouble.item, download, "._movie.mp4").succeeded());

    EXPECT_EQ(volume.names(volume.storage()), (std::vector<std::string>{"DCIM", "Download", "Old"}));
    EXPECT_EQ(volume.readText(volume.item("Old/2024 notes.txt")), notes + "todo: call home\n");
    EXPECT_EQ(volume.scenario().tree(), "DCIM/\n"
                                        "DCIM/Camera/\n"
                                        "DCIM/Camera/IMG_0001.jpg " +
                                            std::to_string(photo.size()) +
                                            "\n"
                                            "Download/\n"
                                            "Download/movie.mp4 " +
                                            std::to_string(video.size()) +
                                            "\n"
                                            "Old/\n"
                                            "Old/2024 notes.txt " +
                                            std::to_string(notes.size() + 16) + "\n");
    EXPECT_EQ(volume.phone().sha256(volume.scenario().handle("DCIM/Camera/IMG_0001.jpg")),
              testing::sha256Hex(photo));
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    EXPECT_TRUE(volume.phone().violations().empty());
    EXPECT_TRUE(volume.faults().empty());

    volume.host().stop();
    EXPECT_TRUE(volume.faults().empty());
}

TEST(VolumeScenarioTests, APhoneThatStopsAnsweringFailsOneOperationAfterItsTimeOutThenEveryOneAtOnce) {
    VolumeHost volume;
    volume.scenario().addGeneratedFile("a.bin", 8 * MiB);
    volume.scenario().addGeneratedFile("b.bin", 8 * MiB);
    volume.scenario().addFolder("Music");
    const auto a = volume.item("a.bin");
    const auto b = volume.item("b.bin");
    const auto music = volume.item("Music");
    // Without the battery poller's sleep on the clock, the clock moves only for the operations' waits.
    volume.volume()->withLock([](AndroidVolume::Tables& tables) { return std::move(tables.batteryTask); });
    volume.phone().stopAnswering();

    // Two reads at once: the first waits out the command's 30 s and the reset's 1 s, and the second,
    // queued behind it, fails with it.
    fskit::ByteCountOutcome first;
    fskit::ByteCountOutcome queued;
    const auto firstTook = volume.scenario().passTimeWhile([&] {
        auto pendingFirst = volume.host().readFromFile(a, 0, MiB);
        auto pendingQueued = volume.host().readFromFile(b, 0, MiB);
        first = pendingFirst.wait();
        queued = pendingQueued.wait();
    });
    EXPECT_EQ(first.errorCode(), EIO);
    EXPECT_EQ(queued.errorCode(), EIO);
    EXPECT_EQ(firstTook, std::chrono::seconds(31));

    // Later operations fail at once, and unmounting and unloading end at once.
    const auto laterTook = volume.scenario().passTimeWhile([&] {
        EXPECT_EQ(volume.read(b, 4096, 10).errorCode(), EIO);
        EXPECT_EQ(volume.lookupIn(music, "song.mp3").errorCode(), EIO) << "a folder never listed";
        const auto created = volume.create(volume.storage(), "new.txt");
        ASSERT_TRUE(created.succeeded()) << "new files start in memory";
        ASSERT_TRUE(volume.write(created.item, 0, "never sent").succeeded());
        EXPECT_EQ(volume.close(created.item).errorCode(), EIO);
    });
    EXPECT_EQ(laterTook, platform::Clock::Duration::zero());
    // Unloading waits for work still ending a second at a time on the clock, which the rig may move on
    // while that work waits for a processor on a loaded machine; no time-out of the phone's is waited for.
    EXPECT_LT(volume.scenario().passTimeWhile([&] { volume.host().stop(); }),
              AndroidVolume::stuckTransferLimit);
}

TEST(VolumeScenarioTests, UnloadingWhileAnOperationWaitsOnAPhoneThatHangsGivesThePhoneUp) {
    VolumeHost volume;
    volume.scenario().addGeneratedFile("a.bin", 8 * MiB);
    const auto a = volume.item("a.bin");
    volume.volume()->withLock([](AndroidVolume::Tables& tables) { return std::move(tables.batteryTask); });
    volume.phone().stopAnswering();
    auto reading = volume.host().readFromFile(a, 0, MiB);
    ASSERT_TRUE(volume.extension().clock().waitForWaiters(1)) << "the read never waited for the phone";
    // The read's command would wait 30 s for the phone; the unload gives the phone up after 5 s of it. It
    // then waits for the read to end a second at a time on the clock, which the rig moves on by a second
    // every millisecond the read waits for a processor on a loaded machine.
    const auto took = volume.scenario().passTimeWhile([&] { volume.host().stop(); });
    EXPECT_EQ(reading.wait().errorCode(), EIO);
    EXPECT_GE(took, AndroidVolume::stuckTransferLimit);
    EXPECT_LT(took, std::chrono::seconds(30));
}

} // namespace
} // namespace tandalo
