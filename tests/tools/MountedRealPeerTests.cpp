// The extension mounted through the kernel on a real MTP responder that nobody here wrote, reached over
// the simulated bus and the FunctionFS bridge: what the shell's tools do in the mounted folder is checked
// against the folder the responder serves. Skipped where the responder or FUSE is missing.
#include "simulation/SimulatedBus.h"
#include "simulation/peer/RealPeer.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/tools/MountedFolder.h"
#include "tests/tools/MountedRig.h"
#include "tools/MountHelper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tandalo::tools {
namespace {

using testing::errnoOf;
using testing::namesIn;
using testing::patchThrough;
using testing::patterned;
using testing::readThrough;
using testing::sha256Of;
using testing::writeThrough;

constexpr std::size_t largeFileSize = (6u << 20) + 3;

std::string diskText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void putOnDisk(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file << bytes;
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

class MountedRealPeerTests : public testing::MountedRig {
protected:
    void SetUp() override {
        MountedRig::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (const auto reason = simulation::RealPeer::unavailableReason()) {
            GTEST_SKIP() << "no real peer on this machine: " << *reason;
        }
        m_bus = std::make_shared<simulation::SimulatedBus>(busClock());
        m_peer = simulation::RealPeer::start(*m_bus);
        // What the responder serves before the mount: a camera folder, a download and a large file.
        putOnDisk(served("DCIM/Camera/IMG_0001.jpg"), patterned(200000, 1));
        putOnDisk(served("DCIM/Camera/IMG_0002.jpg"), patterned(150001, 2));
        putOnDisk(served("Download/readme.txt"), "Read me first.\n");
        putOnDisk(served("video.bin"), patterned(largeFileSize, 3));
        std::filesystem::create_directory(served("Music"));
        m_defaultBus.emplace(m_bus);
        mount("mtp://" + simulation::RealPeerOptions{}.serialNumber);
        if (IsSkipped()) {
            return;
        }
        const auto top = namesIn(m_mount->folder().string());
        ASSERT_EQ(top.size(), 1u) << "the responder serves one storage";
        m_storageFolder = *top.begin();
    }

    void TearDown() override {
        MountedRig::TearDown();
        if (HasFailure() && m_peer) {
            std::cerr << "the responder's output:\n" << m_peer->log() << '\n';
        }
        m_peer.reset();
        m_bus.reset();
    }

    /// The clock of the bus and so of every USB time-out.
    virtual platform::Clock& busClock() { return platform::Clock::system(); }

    /// The same path as at() in the folder the responder serves.
    std::filesystem::path served(const std::string& relative) const {
        return m_peer->storageFolder() / relative;
    }

    std::shared_ptr<simulation::SimulatedBus> m_bus;
    std::unique_ptr<simulation::RealPeer> m_peer;
};

TEST_F(MountedRealPeerTests, ListsStatsAndCopiesOutWhatTheResponderServes) {
    withinLimit([&] {
        EXPECT_EQ(namesIn(at("")), (std::set<std::string>{"DCIM", "Download", "Music", "video.bin"}));
        EXPECT_EQ(namesIn(at("DCIM/Camera")), (std::set<std::string>{"IMG_0001.jpg", "IMG_0002.jpg"}));
        EXPECT_TRUE(namesIn(at("Music")).empty());
        struct stat status {};
        ASSERT_EQ(::stat(at("video.bin").c_str(), &status), 0) << std::strerror(errno);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(static_cast<std::size_t>(status.st_size), largeFileSize);
        ASSERT_EQ(::stat(at("DCIM").c_str(), &status), 0) << std::strerror(errno);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(errnoOf(::stat(at("DCIM/missing.jpg").c_str(), &status)), ENOENT);

        EXPECT_EQ(readThrough(at("Download/readme.txt")), "Read me first.\n");
        EXPECT_EQ(readThrough(at("DCIM/Camera/IMG_0002.jpg")), patterned(150001, 2));
        EXPECT_EQ(sha256Of(readThrough(at("video.bin"))), sha256Of(patterned(largeFileSize, 3)));
    });
}

TEST_F(MountedRealPeerTests, AFileAboveFourGiBShowsItsWholeSize) {
    // Sparse, so that it costs no disk: the responder's object information carries only the low 32 bits
    // of its size, which alone would show 1 GiB.
    constexpr std::uint64_t size = (5ull << 30) + 7;
    { std::ofstream file(served("large.bin"), std::ios::binary); }
    std::filesystem::resize_file(served("large.bin"), size);
    withinLimit([&] {
        struct stat status {};
        ASSERT_EQ(::stat(at("large.bin").c_str(), &status), 0) << std::strerror(errno);
        EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), size);
        const int file = ::open(at("large.bin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(file, 0) << std::strerror(errno);
        char tail[16];
        EXPECT_EQ(::pread(file, tail, sizeof tail, static_cast<off_t>(size - 10)), 10) << "the last bytes";
        EXPECT_EQ(::pread(file, tail, sizeof tail, static_cast<off_t>(size)), 0);
        ::close(file);
    });
}

TEST_F(MountedRealPeerTests, CopiesInByteForByte) {
    withinLimit([&] {
        const auto bytes = patterned((3u << 20) + 17, 4);
        writeThrough(at("Download/copied.bin"), bytes);
        EXPECT_EQ(sha256Of(diskText(served("Download/copied.bin"))), sha256Of(bytes));
        EXPECT_EQ(sha256Of(readThrough(at("Download/copied.bin"))), sha256Of(bytes));
        writeThrough(at("Download/empty.txt"), "");
        ASSERT_TRUE(std::filesystem::exists(served("Download/empty.txt")));
        EXPECT_EQ(std::filesystem::file_size(served("Download/empty.txt")), 0u);
        // Replacing a file the responder already has.
        writeThrough(at("Download/readme.txt"), "Read me second.\n");
        EXPECT_EQ(diskText(served("Download/readme.txt")), "Read me second.\n");
        EXPECT_EQ(readThrough(at("Download/readme.txt")), "Read me second.\n");
    });
}

TEST_F(MountedRealPeerTests, MakesRenamesMovesAndRemoves) {
    withinLimit([&] {
        ASSERT_EQ(::mkdir(at("Music/Albums").c_str(), 0755), 0) << std::strerror(errno);
        EXPECT_TRUE(std::filesystem::is_directory(served("Music/Albums")));
        EXPECT_EQ(errnoOf(::mkdir(at("Music/Albums").c_str(), 0755)), EEXIST);

        writeThrough(at("Music/Albums/song.txt"), "la la la");
        ASSERT_EQ(::rename(at("Music/Albums/song.txt").c_str(), at("Music/Albums/tune.txt").c_str()), 0)
            << std::strerror(errno);
        EXPECT_FALSE(std::filesystem::exists(served("Music/Albums/song.txt")));
        EXPECT_EQ(diskText(served("Music/Albums/tune.txt")), "la la la");

        ASSERT_EQ(::rename(at("Music/Albums").c_str(), at("Music/Records").c_str()), 0)
            << std::strerror(errno);
        EXPECT_EQ(diskText(served("Music/Records/tune.txt")), "la la la");
        EXPECT_EQ(readThrough(at("Music/Records/tune.txt")), "la la la");

        // This responder cannot move objects between folders: rename says so the way mv understands,
        // and mv copies and deletes instead. Nothing is lost either way.
        EXPECT_EQ(errnoOf(::rename(at("Download/readme.txt").c_str(), at("Music/readme.txt").c_str())),
                  EXDEV);
        EXPECT_EQ(diskText(served("Download/readme.txt")), "Read me first.\n");
        EXPECT_FALSE(std::filesystem::exists(served("Music/readme.txt")));
        const std::string move =
            "mv '" + at("Download/readme.txt") + "' '" + at("Music/readme.txt") + "' 2>&1";
        EXPECT_EQ(std::system(move.c_str()), 0);
        EXPECT_FALSE(std::filesystem::exists(served("Download/readme.txt")));
        EXPECT_EQ(diskText(served("Music/readme.txt")), "Read me first.\n");

        EXPECT_EQ(errnoOf(::rmdir(at("Music/Records").c_str())), ENOTEMPTY);
        ASSERT_EQ(::unlink(at("Music/Records/tune.txt").c_str()), 0) << std::strerror(errno);
        EXPECT_FALSE(std::filesystem::exists(served("Music/Records/tune.txt")));
        ASSERT_EQ(::rmdir(at("Music/Records").c_str()), 0) << std::strerror(errno);
        EXPECT_FALSE(std::filesystem::exists(served("Music/Records")));
        EXPECT_EQ(namesIn(at("Music")), std::set<std::string>{"readme.txt"});
    });
}

TEST_F(MountedRealPeerTests, TruncatesAndEditsInPlace) {
    withinLimit([&] {
        ASSERT_EQ(::truncate(at("Download/readme.txt").c_str(), 4), 0) << std::strerror(errno);
        EXPECT_EQ(diskText(served("Download/readme.txt")), "Read");
        EXPECT_EQ(readThrough(at("Download/readme.txt")), "Read");

        auto expected = patterned(1u << 20, 5);
        writeThrough(at("Download/edit.bin"), expected);
        const auto patch = patterned(4096 + 5, 6);
        patchThrough(at("Download/edit.bin"), 500000, patch);
        expected.replace(500000, patch.size(), patch);
        EXPECT_EQ(sha256Of(diskText(served("Download/edit.bin"))), sha256Of(expected));
        EXPECT_EQ(sha256Of(readThrough(at("Download/edit.bin"))), sha256Of(expected));
    });
}

TEST_F(MountedRealPeerTests, KeepsFinderFilesOffTheDeviceAndReportsItsSpace) {
    withinLimit([&] {
        writeThrough(at("Download/.DS_Store"), "Bud1 layout");
        EXPECT_EQ(readThrough(at("Download/.DS_Store")), "Bud1 layout");
        EXPECT_FALSE(std::filesystem::exists(served("Download/.DS_Store")));
        ASSERT_EQ(::unlink(at("Download/.DS_Store").c_str()), 0) << std::strerror(errno);

        // The responder reports the space of the file system that holds its folder.
        struct statvfs mounted {};
        ASSERT_EQ(::statvfs(m_mount->folder().c_str(), &mounted), 0) << std::strerror(errno);
        struct statvfs local {};
        ASSERT_EQ(::statvfs(served("").c_str(), &local), 0) << std::strerror(errno);
        ASSERT_GT(mounted.f_frsize, 0U);
        const auto capacity = [](const struct statvfs& figures) {
            return static_cast<std::uint64_t>(figures.f_blocks) * figures.f_frsize;
        };
        EXPECT_EQ(capacity(mounted), capacity(local));
    });
}

// touch(1) on a responder that keeps no dates: a new file is made and dated "now" truthfully, while a
// chosen date is refused rather than lost.
TEST_F(MountedRealPeerTests, TouchMakesANewFileAndRefusesAChosenDate) {
    withinLimit([&] {
        const auto made = "touch '" + at("Download/touched.txt") + "' 2>&1";
        EXPECT_EQ(std::system(made.c_str()), 0);
        EXPECT_TRUE(std::filesystem::is_regular_file(served("Download/touched.txt")));
        const auto dated = "touch -d 2020-01-01 '" + at("Download/touched.txt") + "' 2>/dev/null";
        EXPECT_NE(std::system(dated.c_str()), 0);
    });
}

// rsync -a against someone else's responder: either the times it sets are kept, and a second run of the
// same tree sends nothing, or rsync hears that they were not set. Never a success that has it copy every
// file again on every run.
TEST_F(MountedRealPeerTests, RsyncTimesAreKeptOrRefusedNeverLost) {
    if (!testing::installed("rsync")) {
        GTEST_SKIP() << "rsync is not installed";
    }
    platform::testing::TemporaryFolder tree;
    putOnDisk(tree.path() / "a.txt", "alpha");
    putOnDisk(tree.path() / "Sub" / "b.bin", patterned(300u << 10, 5));
    withinLimit([&] {
        testing::rsyncTwiceKeepsTimes(tree.path().string(), at("Backup"));
        EXPECT_EQ(diskText(served("Backup/a.txt")), "alpha");
        EXPECT_EQ(sha256Of(diskText(served("Backup/Sub/b.bin"))), sha256Of(patterned(300u << 10, 5)));
    });
}

// The responder killed in the middle of a copy out, as when its process dies or a phone hangs. The bus
// runs on a virtual clock, which the test moves on whenever something waits for a time-out: the time-outs
// take no real time, and what the test measures in real time is everything else.
class MountedRealPeerThatDiesTests : public MountedRealPeerTests {
protected:
    platform::Clock& busClock() override { return m_clock; }

    platform::VirtualClock m_clock;
};

TEST_F(MountedRealPeerThatDiesTests, FailsTheCopyAfterOneTimeOutThenEverythingAtOnceAndMountsTheNextOne) {
    withinLimit([&] {
        const int video = ::open(at("video.bin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(video, 0) << std::strerror(errno);
        std::vector<char> buffer(128 << 10);
        ASSERT_EQ(::read(video, buffer.data(), buffer.size()), static_cast<ssize_t>(buffer.size()));
        ASSERT_EQ(::kill(m_peer->pid(), SIGKILL), 0) << std::strerror(errno);
        for (int tries = 0; tries < 5000 && m_peer->isRunning(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_FALSE(m_peer->isRunning());
        // At most the data time-out and the short waits of the recovery after it.
        int copyError = 0;
        EXPECT_LE(testing::readOnUntilItEnds(video, m_clock, copyError), std::chrono::seconds(101));
        EXPECT_EQ(copyError, EIO);
        ::close(video);
    });
    testing::expectEverythingFailsAtOnceAndUnmounts(*m_mount, m_clock, at("Music"), at("new.txt"));
    m_mount.reset();

    // A responder started again (the phone replugged) mounts as the first did.
    m_peer.reset();
    m_peer = simulation::RealPeer::start(*m_bus);
    putOnDisk(served("Download/readme.txt"), "Read me again.\n");
    m_mount = mountResource({"mtp://" + simulation::RealPeerOptions{}.serialNumber, m_folder.path()});
    withinLimit([&] { EXPECT_EQ(readThrough(at("Download/readme.txt")), "Read me again.\n"); });
}

} // namespace
} // namespace tandalo::tools
