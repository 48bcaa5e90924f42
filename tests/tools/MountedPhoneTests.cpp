#include "FileSystemExtension/AndroidVolume.h"
#include "simulation/DemoPhone.h"
#include "simulation/PhoneUSBFunction.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/tools/MountedFolder.h"
#include "tests/tools/MountedRig.h"
#include "tools/MountHelper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace tandalo::tools {
using simulation::DemoPhone;
namespace {

using testing::errnoOf;
using testing::namesIn;
using testing::patchThrough;
using testing::patterned;
using testing::readThrough;
using testing::sha256Of;
using testing::writeThrough;

constexpr std::uint64_t largeFileSize = 8ull << 20;
constexpr std::uint64_t capacity = 32ull << 30;
constexpr std::uint64_t freeSpace = (12ull << 30) + 3 * 4096;

class MountedPhoneTests : public testing::MountedRig {
protected:
    void SetUp() override {
        MountedRig::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_demo = DemoPhone::make(largeFileSize);
        m_demo.phone->updateStorage(m_demo.storage, [](simulation::PhoneStorage& storage) {
            storage.maxCapacity = capacity;
            storage.freeSpace = freeSpace;
        });
        m_defaultBus.emplace(m_demo.bus);
        mount("mtp://" + m_demo.serialNumber);
    }

    std::optional<std::uint32_t> onPhone(const std::string& path) const {
        return m_demo.phone->find(m_demo.storage, path);
    }
    std::string phoneText(const std::string& path) const {
        const auto handle = onPhone(path);
        if (!handle) {
            throw std::runtime_error(path + " is not on the phone");
        }
        return m_demo.phone->contentsText(*handle);
    }

    DemoPhone m_demo;
};

TEST_F(MountedPhoneTests, ListsAndStatsThePhonesTree) {
    withinLimit([&] {
        EXPECT_EQ(namesIn(m_mount->folder().string()), std::set<std::string>{m_storageFolder});
        EXPECT_EQ(namesIn(at("")), (std::set<std::string>{"DCIM", "Download", "Music", "video.mp4"}));
        EXPECT_EQ(namesIn(at("DCIM/Camera")),
                  (std::set<std::string>{"IMG_20261201.jpg", "IMG_20261202.jpg", "IMG_20261203.jpg"}));
        EXPECT_TRUE(namesIn(at("Music")).empty());
        struct stat status {};
        ASSERT_EQ(::stat(at("video.mp4").c_str(), &status), 0) << std::strerror(errno);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), largeFileSize);
        ASSERT_EQ(::stat(at("DCIM").c_str(), &status), 0);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(errnoOf(::stat(at("DCIM/missing.jpg").c_str(), &status)), ENOENT);
    });
}

// The kernel keeps names and attributes: a change made on the phone must reach it as soon as the volume's
// listing learns of it, however long the kernel would keep them otherwise.
TEST_F(MountedPhoneTests, AChangeOnThePhoneReachesWhatTheKernelKeptOnceTheListingLearnsOfIt) {
    const auto modified = platform::Clock::WallTime(std::chrono::seconds(1'700'000'000));
    withinLimit([&] {
        struct stat status {};
        for (const auto& name : namesIn(at("DCIM/Camera"))) {
            ASSERT_EQ(::stat(at("DCIM/Camera/" + name).c_str(), &status), 0) << name;
        }
        m_demo.phone->removeObject(*onPhone("DCIM/Camera/IMG_20261201.jpg"));
        m_demo.phone->setModified(*onPhone("DCIM/Camera/IMG_20261202.jpg"), modified);
        m_demo.phone->renameObject(*onPhone("DCIM/Camera/IMG_20261203.jpg"), "renamed.jpg");
        dynamic_cast<AndroidVolume&>(*m_mount->volume()).fs().invalidateAll();
        EXPECT_EQ(namesIn(at("DCIM/Camera")), (std::set<std::string>{"IMG_20261202.jpg", "renamed.jpg"}));
        const auto kept = [&](const std::string& name) {
            return ::stat(at("DCIM/Camera/" + name).c_str(), &status) == 0;
        };
        // The kernel hears on a thread of its own: wait for the condition, never for long.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((kept("IMG_20261201.jpg") || kept("IMG_20261203.jpg") ||
                (kept("IMG_20261202.jpg") && status.st_mtime != 1'700'000'000)) &&
               std::chrono::steady_clock::now() < deadline) {
            ::usleep(1000);
        }
        EXPECT_EQ(errnoOf(::stat(at("DCIM/Camera/IMG_20261201.jpg").c_str(), &status)), ENOENT);
        EXPECT_EQ(errnoOf(::stat(at("DCIM/Camera/IMG_20261203.jpg").c_str(), &status)), ENOENT);
        ASSERT_EQ(::stat(at("DCIM/Camera/IMG_20261202.jpg").c_str(), &status), 0);
        EXPECT_EQ(status.st_mtime, 1'700'000'000);
        EXPECT_EQ(::stat(at("DCIM/Camera/renamed.jpg").c_str(), &status), 0);
    });
}

TEST_F(MountedPhoneTests, CopiesOutByteForByte) {
    withinLimit([&] {
        EXPECT_EQ(readThrough(at("Download/readme.txt")), phoneText("Download/readme.txt"));
        EXPECT_EQ(readThrough(at("DCIM/Camera/IMG_20261202.jpg")), DemoPhone::photoBytes(2));
        const auto large = readThrough(at("video.mp4"));
        ASSERT_EQ(large.size(), largeFileSize);
        EXPECT_EQ(sha256Of(large), m_demo.phone->sha256(*onPhone("video.mp4")));
    });
}

TEST_F(MountedPhoneTests, CopiesInByteForByte) {
    withinLimit([&] {
        const auto bytes = patterned((3u << 20) + 17, 1);
        writeThrough(at("Download/copied.bin"), bytes);
        const auto handle = onPhone("Download/copied.bin");
        ASSERT_TRUE(handle.has_value());
        EXPECT_EQ(m_demo.phone->sha256(*handle), sha256Of(bytes));
        EXPECT_EQ(sha256Of(readThrough(at("Download/copied.bin"))), sha256Of(bytes));
        writeThrough(at("Download/empty.txt"), "");
        ASSERT_TRUE(onPhone("Download/empty.txt").has_value());
        EXPECT_EQ(phoneText("Download/empty.txt"), "");
    });
}

TEST_F(MountedPhoneTests, MakesMovesAndRemovesOnThePhone) {
    withinLimit([&] {
        ASSERT_EQ(::mkdir(at("Music/Albums").c_str(), 0755), 0) << std::strerror(errno);
        EXPECT_TRUE(onPhone("Music/Albums").has_value());
        EXPECT_EQ(errnoOf(::mkdir(at("Music/Albums").c_str(), 0755)), EEXIST);

        writeThrough(at("Download/song.txt"), "la la la");
        ASSERT_EQ(::rename(at("Download/song.txt").c_str(), at("Music/Albums/song.txt").c_str()), 0)
            << std::strerror(errno);
        EXPECT_FALSE(onPhone("Download/song.txt").has_value());
        EXPECT_EQ(phoneText("Music/Albums/song.txt"), "la la la");

        ASSERT_EQ(::rename(at("Music/Albums").c_str(), at("Music/Records").c_str()), 0)
            << std::strerror(errno);
        EXPECT_EQ(phoneText("Music/Records/song.txt"), "la la la");
        EXPECT_EQ(readThrough(at("Music/Records/song.txt")), "la la la");

        ASSERT_EQ(::unlink(at("Music/Records/song.txt").c_str()), 0) << std::strerror(errno);
        EXPECT_FALSE(onPhone("Music/Records/song.txt").has_value());
        ASSERT_EQ(::rmdir(at("Music/Records").c_str()), 0) << std::strerror(errno);
        EXPECT_FALSE(onPhone("Music/Records").has_value());
        EXPECT_TRUE(namesIn(at("Music")).empty());
    });
}

// A file written through the mount stands in the volume as an in-memory item that hides its device object;
// rmdir must still count it, or the folder is deleted on the phone with the file in it.
TEST_F(MountedPhoneTests, RefusesToRemoveAFolderThatHoldsFiles) {
    withinLimit([&] {
        EXPECT_EQ(errnoOf(::rmdir(at("DCIM/Camera").c_str())), ENOTEMPTY);
        EXPECT_TRUE(onPhone("DCIM/Camera/IMG_20261201.jpg").has_value());

        ASSERT_EQ(::mkdir(at("Music/New").c_str(), 0755), 0) << std::strerror(errno);
        writeThrough(at("Music/New/track.txt"), "kept");
        EXPECT_EQ(errnoOf(::rmdir(at("Music/New").c_str())), ENOTEMPTY);
        EXPECT_EQ(phoneText("Music/New/track.txt"), "kept");
    });
}

TEST_F(MountedPhoneTests, TruncatesOnThePhone) {
    withinLimit([&] {
        const auto original = phoneText("Download/readme.txt");
        ASSERT_EQ(::truncate(at("Download/readme.txt").c_str(), 9), 0) << std::strerror(errno);
        EXPECT_EQ(phoneText("Download/readme.txt"), original.substr(0, 9));
        EXPECT_EQ(readThrough(at("Download/readme.txt")), original.substr(0, 9));
        ASSERT_EQ(::truncate(at("Download/readme.txt").c_str(), 0), 0) << std::strerror(errno);
        EXPECT_EQ(phoneText("Download/readme.txt"), "");
    });
}

TEST_F(MountedPhoneTests, EditsInPlaceWithoutTruncating) {
    withinLimit([&] {
        auto expected = patterned(1u << 20, 2);
        writeThrough(at("Download/edit.bin"), expected);
        const auto patch = patterned(4096 + 5, 3);
        patchThrough(at("Download/edit.bin"), 500000, patch);
        expected.replace(500000, patch.size(), patch);
        EXPECT_EQ(sha256Of(phoneText("Download/edit.bin")), sha256Of(expected));
        EXPECT_EQ(sha256Of(readThrough(at("Download/edit.bin"))), sha256Of(expected));
    });
}

TEST_F(MountedPhoneTests, KeepsFinderFilesOffThePhone) {
    withinLimit([&] {
        writeThrough(at("Download/.DS_Store"), "Bud1 layout");
        EXPECT_EQ(readThrough(at("Download/.DS_Store")), "Bud1 layout");
        EXPECT_FALSE(onPhone("Download/.DS_Store").has_value());
        ASSERT_EQ(::unlink(at("Download/.DS_Store").c_str()), 0) << std::strerror(errno);
        struct stat status {};
        EXPECT_EQ(errnoOf(::stat(at("Download/.DS_Store").c_str(), &status)), ENOENT);
    });
}

TEST_F(MountedPhoneTests, ReportsThePhonesCapacityAndFreeSpace) {
    withinLimit([&] {
        struct statvfs figures {};
        ASSERT_EQ(::statvfs(m_mount->folder().c_str(), &figures), 0) << std::strerror(errno);
        ASSERT_GT(figures.f_frsize, 0U);
        EXPECT_EQ(static_cast<std::uint64_t>(figures.f_blocks) * figures.f_frsize, capacity);
        EXPECT_EQ(static_cast<std::uint64_t>(figures.f_bavail) * figures.f_frsize, freeSpace);
        EXPECT_EQ(static_cast<std::uint64_t>(figures.f_bfree) * figures.f_frsize, freeSpace);
    });
}

// Stopping the mount helper (Ctrl-C) in the middle of a copy in leaves nothing on the phone that passes
// for the file: neither the part already sent nor a file still held in memory.
TEST_F(MountedPhoneTests, StoppingTheMountMidCopyLeavesNoPartialFile) {
    const auto before = namesIn(at("Download"));
    const int big = ::open(at("Download/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int small =
        ::open(at("Download/small.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(big, 0) << std::strerror(errno);
    ASSERT_GE(small, 0) << std::strerror(errno);
    // Past the write buffer, so that part of it is on the phone already.
    const auto piece = patterned(1u << 20, 4);
    for (int written = 0; written < 20; ++written) {
        ASSERT_EQ(::write(big, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    ASSERT_EQ(::write(small, "half", 4), 4);
    EXPECT_NO_THROW(m_mount->shutdown());
    ::close(big);
    ::close(small);
    m_mount.reset();
    std::set<std::string> after;
    for (const auto& child : m_demo.phone->children(m_demo.storage, *onPhone("Download"))) {
        after.insert(child.name);
    }
    EXPECT_EQ(after, before) << m_demo.phone->tree(m_demo.storage);
}

// touch(1) on a phone that keeps no dates: a new file, or one being written, is dated "now" by the phone
// when it arrives, so "now" is true of it; any other time, and "now" on a file already there, is refused.
TEST_F(MountedPhoneTests, TouchSetsNowOnlyWhereThePhoneDatesTheFileItself) {
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    const timespec past[2] = {{1400000000, 0}, {1400000000, 0}};
    struct Case {
        const char* name;
        const char* path;
        int flags;
        const timespec* times; // null: utimensat's own "now"
        bool duplicate;        // dates it through a duplicate after closing the first descriptor, as touch
        int error;
    };
    const Case cases[] = {
        {"a file on the phone, now", "DCIM/Camera/IMG_20261201.jpg", 0, nullptr, true, EPERM},
        {"a new file, now", "Download/touched.txt", O_CREAT, nullptr, false, 0},
        {"a new file as touch dates it", "Download/touched-dup.txt", O_CREAT, nullptr, true, 0},
        {"a new file, now given", "Download/touched-now.txt", O_CREAT, now, false, 0},
        {"a new file, a past time", "Download/touched-past.txt", O_CREAT, past, false, EPERM},
        {"a file being written, now", "Download/readme.txt", O_APPEND, nullptr, false, 0},
    };
    withinLimit([&] {
        for (const auto& each : cases) {
            SCOPED_TRACE(each.name);
            int file = ::open(at(each.path).c_str(), O_WRONLY | O_CLOEXEC | each.flags, 0644);
            ASSERT_GE(file, 0) << std::strerror(errno);
            if ((each.flags & O_APPEND) != 0) {
                ASSERT_EQ(::write(file, "more", 4), 4);
            }
            if (each.duplicate) {
                const int copy = ::dup(file);
                ASSERT_EQ(::close(file), 0);
                file = copy;
            }
            EXPECT_EQ(errnoOf(::futimens(file, each.times)), each.error);
            EXPECT_EQ(::close(file), 0);
            EXPECT_TRUE(onPhone(each.path));
        }
    });
}

class MountedPhoneRsyncTests : public MountedPhoneTests, public ::testing::WithParamInterface<bool> {};

// rsync -a compares sizes and modification times. Where the phone keeps the times set, a second run of
// the same tree finds every file as it left it and sends nothing; where it does not, rsync hears that the
// times were not set, rather than a success that has it copy every file again on every run.
TEST_P(MountedPhoneRsyncTests, ASecondRsyncOfTheSameTreeSendsNothingWhereThePhoneKeepsTimes) {
    if (!testing::installed("rsync")) {
        GTEST_SKIP() << "rsync is not installed";
    }
    const bool keepsTimes = GetParam();
    m_demo.phone->setModificationDatesSettable(keepsTimes);
    platform::testing::TemporaryFolder tree;
    std::filesystem::create_directories(tree.path() / "Sub");
    const std::map<std::string, std::string> files{
        {"a.txt", "alpha"}, {"Sub/b.bin", patterned(300u << 10, 5)}, {"Sub/c.txt", "gamma"}};
    for (const auto& [name, bytes] : files) {
        writeThrough((tree.path() / name).string(), bytes);
    }
    withinLimit([&] {
        EXPECT_EQ(testing::rsyncTwiceKeepsTimes(tree.path().string(), at("Backup")), keepsTimes);
        for (const auto& [name, bytes] : files) {
            EXPECT_EQ(sha256Of(phoneText("Backup/" + name)), sha256Of(bytes)) << name;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Phones, MountedPhoneRsyncTests, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "KeepsTimes" : "KeepsNoTimes");
});

// A phone that stops answering in the middle of a copy out, through the kernel. Its bus runs on a virtual
// clock, which the test moves on whenever something waits for a time-out: the time-outs take no real
// time, and what the test measures in real time is everything else.
class MountedPhoneThatStopsAnsweringTests : public testing::MountedRig {
protected:
    platform::VirtualClock m_clock;
};

TEST_F(MountedPhoneThatStopsAnsweringTests,
       FailsTheCopyAfterOneTimeOutThenEverythingAtOnceAndComesBackWhenReplugged) {
    auto phone = std::make_shared<simulation::SimulatedPhone>(m_clock);
    const auto storage = phone->addStorage();
    phone->addGeneratedFile(storage, simulation::SimulatedPhone::root, "video.mp4", 64ull << 20);
    phone->addFolder(storage, simulation::SimulatedPhone::root, "Music");
    const auto bus = std::make_shared<simulation::SimulatedBus>(m_clock);
    auto plugged = simulation::plugPhone(*bus, phone);
    m_defaultBus.emplace(bus);
    const std::string resource = "mtp://" + phone->deviceInfo().serialNumber;
    mount(resource);
    if (IsSkipped()) {
        return;
    }

    withinLimit([&] {
        const int video = ::open(at("video.mp4").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(video, 0) << std::strerror(errno);
        std::vector<char> buffer(128 << 10);
        ASSERT_EQ(::read(video, buffer.data(), buffer.size()), static_cast<ssize_t>(buffer.size()));
        phone->stopAnswering();
        // The copy goes on until it needs the phone, which does not take the command (30 s) nor the
        // reset after it (1 s).
        int copyError = 0;
        EXPECT_EQ(testing::readOnUntilItEnds(video, m_clock, copyError), std::chrono::seconds(31));
        EXPECT_EQ(copyError, EIO);
        ::close(video);
    });
    testing::expectEverythingFailsAtOnceAndUnmounts(*m_mount, m_clock, at("Music"), at("new.txt"));
    m_mount.reset();

    // Replugged, the phone mounts again.
    bus->unplug(plugged.deviceID);
    plugged = simulation::plugPhone(*bus, phone);
    m_mount = mountResource({resource, m_folder.path()});
    withinLimit([&] {
        EXPECT_EQ(namesIn(at("")), (std::set<std::string>{"Music", "video.mp4"}));
        EXPECT_EQ(readThrough(at("video.mp4")).size(), 64ull << 20);
    });
}

} // namespace
} // namespace tandalo::tools
