#include "platform/fuse/FuseMount.h"

#include "platform/foundation/MountInfo.h"
#include "platform/fskit/Error.h"
#include "platform/fuse/FuseError.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/platform/fskit/FakeVolume.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fusehost {
namespace {

using fskit::fake::CallLog;
using fskit::fake::FakeFileSystem;
using fskit::fake::FakeVolume;
using fskit::fake::Misbehaviour;
using fskit::fake::RecordedCall;

constexpr long fuseSuperMagic = 0x65735546;
constexpr std::chrono::milliseconds waitLimit = std::chrono::seconds(10);

std::size_t entriesIn(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

/// The number of the process's threads once every thread that has been joined has also left
/// /proc/self/task. The kernel lists a thread there a little after join() has returned, so on a busy
/// machine the count lags; this waits for it to come down to `expected`, but never longer than `bound`.
std::size_t threadsSettledTo(std::size_t expected, std::chrono::seconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto count = entriesIn("/proc/self/task");
    while (count > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = entriesIn("/proc/self/task");
    }
    return count;
}

/// errno after a call that reports failure with -1, or 0 when it succeeded.
int errnoAfter(const std::function<int()>& call) {
    errno = 0;
    return call() < 0 ? errno : 0;
}

bool writeAll(int descriptor, const std::vector<char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto written = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::vector<char> readAll(int descriptor, std::size_t chunk = 1 << 20) {
    std::vector<char> bytes;
    std::vector<char> buffer(chunk);
    while (true) {
        const auto got = ::read(descriptor, buffer.data(), buffer.size());
        if (got <= 0) {
            return bytes;
        }
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
    }
}

std::vector<char> pattern(std::size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<char>((index * 31 + seed) & 0xFF);
    }
    return bytes;
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool contains(const std::vector<RecordedCall>& calls, std::string_view operation,
              std::string_view name = {}) {
    return std::any_of(calls.begin(), calls.end(), [&](const RecordedCall& call) {
        return call.operation == operation && (name.empty() || call.name == name);
    });
}

class FuseMountTests : public ::testing::Test {
protected:
    void SetUp() override {
        const int descriptor = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (descriptor < 0) {
            GTEST_SKIP() << "/dev/fuse cannot be opened (" << std::strerror(errno)
                         << "): no FUSE on this machine";
        }
        ::close(descriptor);
    }

    /// Mounts the recording fake in the temporary folder; false when this machine does not allow mounting.
    bool mountFake(MountOptions options = {}) {
        options.shutdownLimit = waitLimit;
        try {
            m_mount =
                FuseMount::mount(m_fileSystem, std::make_shared<fskit::FSGenericURLResource>("fake://phone"),
                                 m_folder.path(), std::move(options));
        } catch (const FuseError& error) {
            if (error.code() == EPERM) {
                return false;
            }
            throw;
        }
        return true;
    }

    FakeVolume& volume() { return dynamic_cast<FakeVolume&>(*m_mount->volume()); }
    std::string at(std::string_view name) const { return (m_mount->folder() / name).string(); }

    /// Waits for the volume's answer to a call made directly on the volume, as another client would.
    template <typename... Args, typename Call> std::tuple<Args...> direct(Call call) {
        auto promise = std::make_shared<std::promise<std::tuple<Args...>>>();
        auto future = promise->get_future();
        call(fskit::Reply<Args...>("direct", [promise](Args... arguments) {
            promise->set_value(std::tuple<Args...>(std::move(arguments)...));
        }));
        EXPECT_EQ(future.wait_for(waitLimit), std::future_status::ready);
        return future.get();
    }

    std::shared_ptr<fskit::FSItem> lookUpDirectly(const std::string& name) {
        auto [item, spelled, error] =
            direct<std::shared_ptr<fskit::FSItem>, std::optional<fskit::FSFileName>,
                   std::optional<fskit::Error>>([&](const fskit::ItemNameReply& reply) {
                volume().lookupItem(fskit::FSFileName(name), volume().rootItem(), reply);
            });
        EXPECT_FALSE(error) << name;
        return item;
    }

    void writeDirectly(const std::shared_ptr<fskit::FSItem>& item, std::string_view text) {
        auto [count, error] =
            direct<std::size_t, std::optional<fskit::Error>>([&](const fskit::ByteCountReply& reply) {
                volume().writeContents(std::as_bytes(std::span(text.data(), text.size())), item, 0, reply);
            });
        EXPECT_FALSE(error);
        EXPECT_EQ(count, text.size());
    }

    void makeFile(const std::string& name, const std::vector<char>& contents) {
        const int descriptor = ::open(at(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(descriptor, 0) << std::strerror(errno);
        EXPECT_TRUE(writeAll(descriptor, contents));
        ASSERT_EQ(::close(descriptor), 0);
    }

    platform::testing::TemporaryFolder m_folder;
    std::shared_ptr<CallLog> m_log = std::make_shared<CallLog>();
    std::shared_ptr<FakeFileSystem> m_fileSystem =
        std::make_shared<FakeFileSystem>(FakeVolume::ReplyThread::worker, m_log);
    std::unique_ptr<FuseMount> m_mount; // last, so it goes before the folder and the file system
};

#define MOUNT_OR_SKIP(...)                                                                                   \
    do {                                                                                                     \
        if (!mountFake(__VA_ARGS__)) {                                                                       \
            GTEST_SKIP() << "mounting is not permitted here (EPERM)";                                        \
        }                                                                                                    \
    } while (false)

/// The topmost row of the process's mount table on the folder.
std::optional<platform::MountInfo> mountTableRow(const std::filesystem::path& folder) {
    std::optional<platform::MountInfo> found;
    for (auto& mount : platform::MountInfo::read()) {
        if (mount.mountPoint == folder) {
            found = std::move(mount);
        }
    }
    return found;
}

TEST_F(FuseMountTests, MountsAndTearsDownInThePlatformsOrder) {
    MountOptions options;
    options.sourceName = "/m/.tandalo/take-over-1/r58 n%2F.tandalo";
    MOUNT_OR_SKIP(options);
    const auto row = mountTableRow(m_mount->folder());
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->fileSystemType, "fuse.tandalo");
    EXPECT_EQ(row->source, "/m/.tandalo/take-over-1/r58 n%2F.tandalo");
    EXPECT_EQ(m_log->lifecycle(),
              (std::vector<std::string>{"probeResource", "loadResource", "activate", "mount"}));
    struct statfs onMount {};
    ASSERT_EQ(::statfs(m_mount->folder().c_str(), &onMount), 0);
    EXPECT_EQ(onMount.f_type, fuseSuperMagic);
    EXPECT_TRUE(m_mount->isServing());
    const auto limits = m_mount->connectionLimits();
    ASSERT_TRUE(limits.has_value());
    EXPECT_EQ(limits->maxWrite, 1U << 20);
    EXPECT_EQ(limits->maxRead, 1U << 20);

    m_mount->shutdown();
    EXPECT_FALSE(m_mount->isServing());
    EXPECT_EQ(m_log->lifecycle(),
              (std::vector<std::string>{"probeResource", "loadResource", "activate", "mount", "unmount",
                                        "deactivate", "unloadResource"}));
    struct statfs afterwards {};
    ASSERT_EQ(::statfs(m_folder.path().c_str(), &afterwards), 0);
    EXPECT_NE(afterwards.f_type, fuseSuperMagic);
    m_mount->shutdown(); // a second shutdown does nothing
    EXPECT_EQ(m_log->lifecycle().size(), 7U);
}

TEST_F(FuseMountTests, AResourceTheFileSystemRefusesMountsNothing) {
    struct Case {
        const char* url;
        int expected;
    };
    for (const auto& testCase : {Case{"other://phone", ENODEV}, Case{"fake://missing", ENXIO}}) {
        m_log->clear();
        try {
            FuseMount::mount(m_fileSystem, std::make_shared<fskit::FSGenericURLResource>(testCase.url),
                             m_folder.path());
            ADD_FAILURE() << testCase.url << " mounted";
        } catch (const FuseError& error) {
            EXPECT_EQ(error.code(), testCase.expected) << testCase.url;
        }
        struct statfs info {};
        ASSERT_EQ(::statfs(m_folder.path().c_str(), &info), 0);
        EXPECT_NE(info.f_type, fuseSuperMagic);
    }
    m_log->clear();
    try {
        FuseMount::mount(m_fileSystem, std::make_shared<fskit::FSGenericURLResource>("fake://phone"),
                         m_folder.path() / "no such folder");
        ADD_FAILURE() << "a missing folder mounted";
    } catch (const FuseError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
    EXPECT_TRUE(m_log->lifecycle().empty()) << "a bad folder is found before anything is loaded";
}

TEST_F(FuseMountTests, FileOperationsArriveAsVolumeOperations) {
    MOUNT_OR_SKIP();
    m_log->clear();
    const int file = ::open(at("notes.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    ASSERT_GE(file, 0) << std::strerror(errno);
    EXPECT_TRUE(contains(m_log->calls(), "createItem", "notes.txt"));
    EXPECT_TRUE(contains(m_log->calls(), "openItem"));
    ASSERT_EQ(::write(file, "hello world", 11), 11);
    const auto writes = m_log->callsOf("writeContents");
    ASSERT_EQ(writes.size(), 1U);
    EXPECT_EQ(writes[0].size, 11U);
    EXPECT_EQ(writes[0].offset, 0);
    ASSERT_EQ(::close(file), 0);
    EXPECT_TRUE(contains(m_log->calls(), "closeItem"));

    struct stat info {};
    ASSERT_EQ(::stat(at("notes.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 11);
    EXPECT_EQ(info.st_blksize, 1 << 20) << "programs size their I/O by st_blksize";
    const int reader = ::open(at("notes.txt").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    const auto contents = readAll(reader);
    ::close(reader);
    EXPECT_EQ(std::string(contents.begin(), contents.end()), "hello world");
    EXPECT_TRUE(contains(m_log->calls(), "readFromFile"));

    m_log->clear();
    ASSERT_EQ(::mkdir(at("folder").c_str(), 0755), 0);
    EXPECT_TRUE(contains(m_log->calls(), "createItem(directory)", "folder"));
    EXPECT_EQ(namesIn(m_mount->folder()), (std::set<std::string>{"notes.txt", "folder"}));
    EXPECT_TRUE(contains(m_log->calls(), "enumerateDirectory"));

    m_log->clear();
    ASSERT_EQ(::rename(at("notes.txt").c_str(), at("folder/renamed.txt").c_str()), 0);
    EXPECT_TRUE(contains(m_log->calls(), "renameItem", "notes.txt->renamed.txt"));
    ASSERT_EQ(::truncate(at("folder/renamed.txt").c_str(), 5), 0);
    const auto truncations = m_log->callsOf("setAttributes");
    ASSERT_FALSE(truncations.empty());
    EXPECT_EQ(truncations.back().size, 5U);
    ASSERT_EQ(::stat(at("folder/renamed.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 5);

    struct statvfs statistics {};
    ASSERT_EQ(::statvfs(m_mount->folder().c_str(), &statistics), 0);
    EXPECT_EQ(statistics.f_frsize, 4096U);
    EXPECT_EQ(statistics.f_blocks, 1000U);
    EXPECT_EQ(statistics.f_bfree, 600U);
    EXPECT_EQ(statistics.f_bavail, 500U);
    EXPECT_EQ(statistics.f_namemax, 255U);

    m_log->clear();
    ASSERT_EQ(::unlink(at("folder/renamed.txt").c_str()), 0);
    EXPECT_TRUE(contains(m_log->calls(), "removeItem", "renamed.txt"));
    ASSERT_EQ(::rmdir(at("folder").c_str()), 0);
    EXPECT_TRUE(contains(m_log->calls(), "removeItem", "folder"));
    EXPECT_TRUE(namesIn(m_mount->folder()).empty());
}

TEST_F(FuseMountTests, RenameOverAnExistingNamePassesTheReplacedItem) {
    MOUNT_OR_SKIP();
    makeFile("a", pattern(10, 1));
    makeFile("b", pattern(20, 2));
    m_log->clear();
    ASSERT_EQ(::rename(at("a").c_str(), at("b").c_str()), 0);
    EXPECT_TRUE(contains(m_log->calls(), "renameItem", "a->b (replacing)"));
    struct stat info {};
    ASSERT_EQ(::stat(at("b").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 10);
    EXPECT_EQ(errnoAfter([&] { return ::stat(at("a").c_str(), &info); }), ENOENT);
}

TEST_F(FuseMountTests, ErrorsReachCallersAsErrno) {
    MOUNT_OR_SKIP();
    makeFile("existing.txt", pattern(100, 3));
    ASSERT_EQ(::mkdir(at("full").c_str(), 0755), 0);
    makeFile("full/child", pattern(1, 4));
    struct Case {
        const char* description;
        std::function<void()> arrange;
        std::function<int()> act;
        int expected;
        std::function<void()> restore;
    };
    struct stat info {};
    char buffer[64];
    // Opens existing.txt, makes the call on it and closes it, keeping the call's errno.
    const auto onOpenFile = [&](int flags, const std::function<int(int)>& call) {
        const int descriptor = ::open(at("existing.txt").c_str(), flags);
        const int result = call(descriptor);
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return result;
    };
    const auto readOnce = [&] {
        return onOpenFile(O_RDONLY,
                          [&](int file) { return static_cast<int>(::read(file, buffer, sizeof buffer)); });
    };
    const std::vector<Case> cases = {
        {"open of a missing name", {}, [&] { return ::open(at("missing").c_str(), O_RDONLY); }, ENOENT, {}},
        {"mkdir of an existing name", {}, [&] { return ::mkdir(at("full").c_str(), 0755); }, EEXIST, {}},
        {"rmdir of a full folder", {}, [&] { return ::rmdir(at("full").c_str()); }, ENOTEMPTY, {}},
        {"chmod the volume cannot keep",
         {},
         [&] { return ::chmod(at("existing.txt").c_str(), 0600); },
         EPERM,
         {}},
        {"symlink the volume lacks",
         {},
         [&] { return ::symlink("target", at("link").c_str()); },
         ENOTSUP,
         {}},
        {"hard link the volume lacks",
         {},
         [&] { return ::link(at("existing.txt").c_str(), at("hard").c_str()); },
         ENOTSUP,
         {}},
        {"extended attributes",
         {},
         [&] {
             return static_cast<int>(::getxattr(at("existing.txt").c_str(), "user.x", buffer, sizeof buffer));
         },
         ENOTSUP,
         {}},
        {"a look-up the volume refuses", [&] { volume().failWith("lookupItem", EACCES); },
         [&] { return ::stat(at("existing.txt").c_str(), &info); }, EACCES,
         [&] { volume().failWith("lookupItem", 0); }},
        {"a write the volume refuses", [&] { volume().failWith("writeContents", ENOSPC); },
         [&] {
             return onOpenFile(O_WRONLY, [](int file) { return static_cast<int>(::write(file, "x", 1)); });
         },
         ENOSPC, [&] { volume().failWith("writeContents", 0); }},
        {"a close the volume refuses reaches close()", [&] { volume().failWith("closeItem", EIO); },
         [&] {
             const int descriptor = ::open(at("existing.txt").c_str(), O_RDONLY);
             return ::close(descriptor);
         },
         EIO, [&] { volume().failWith("closeItem", 0); }},
        {"a move between folders the volume cannot make: mv copies on EXDEV",
         [&] { volume().failWith("renameItem", ENOTSUP); },
         [&] { return ::rename(at("existing.txt").c_str(), at("full/moved.txt").c_str()); }, EXDEV,
         [&] { volume().failWith("renameItem", 0); }},
        {"a rename in place the volume cannot make", [&] { volume().failWith("renameItem", ENOTSUP); },
         [&] { return ::rename(at("existing.txt").c_str(), at("renamed.txt").c_str()); }, ENOTSUP,
         [&] { volume().failWith("renameItem", 0); }},
        {"a volume that drops its reply", [&] { volume().misbehave("lookupItem", Misbehaviour::neverReply); },
         [&] { return ::stat(at("existing.txt").c_str(), &info); }, EIO,
         [&] { volume().misbehave("lookupItem", Misbehaviour::none); }},
        {"a volume whose entry point throws",
         [&] { volume().misbehave("readFromFile", Misbehaviour::throwFromEntryPoint); }, readOnce, EIO,
         [&] { volume().misbehave("readFromFile", Misbehaviour::none); }},
        {"a read that claims more than its buffer",
         [&] { volume().misbehave("readFromFile", Misbehaviour::overCount); }, readOnce, EIO,
         [&] { volume().misbehave("readFromFile", Misbehaviour::none); }},
    };
    for (const auto& testCase : cases) {
        if (testCase.arrange) {
            testCase.arrange();
        }
        EXPECT_EQ(errnoAfter(testCase.act), testCase.expected) << testCase.description;
        if (testCase.restore) {
            testCase.restore();
        }
    }
    // Every case was answered: nothing is left waiting in the kernel.
    EXPECT_EQ(::stat(at("existing.txt").c_str(), &info), 0);
}

TEST_F(FuseMountTests, ReadOnlyMountRefusesChangesBeforeTheVolume) {
    MountOptions options;
    options.taskOptions = fskit::FSTaskOptions({std::string(fskit::FSTaskOptions::readOnly)});
    MOUNT_OR_SKIP(options);
    m_log->clear();
    EXPECT_EQ(errnoAfter([&] { return ::open(at("new").c_str(), O_CREAT | O_WRONLY, 0644); }), EROFS);
    EXPECT_EQ(errnoAfter([&] { return ::mkdir(at("dir").c_str(), 0755); }), EROFS);
    EXPECT_EQ(m_log->count("createItem") + m_log->count("createItem(directory)"), 0U);
    EXPECT_TRUE(namesIn(m_mount->folder()).empty());
}

TEST_F(FuseMountTests, LargeTransfersArriveInFewLargeRequests) {
    MOUNT_OR_SKIP();
    constexpr std::size_t total = 8U << 20;
    const auto bytes = pattern(total, 7);
    const int writer = ::open(at("big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(writer, 0);
    m_log->clear();
    ASSERT_TRUE(writeAll(writer, bytes));
    ASSERT_EQ(::close(writer), 0);
    const auto writes = m_log->callsOf("writeContents");
    std::uint64_t largestWrite = 0;
    for (const auto& call : writes) {
        largestWrite = std::max(largestWrite, call.size);
    }
    std::cout << "[ sizes    ] 8 MiB in one write(2): " << writes.size() << " write requests, largest "
              << largestWrite << " bytes\n";
    EXPECT_EQ(largestWrite, 1U << 20);
    EXPECT_LE(writes.size(), 9U);

    const int reader = ::open(at("big.bin").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    m_log->clear();
    const auto back = readAll(reader, 1 << 20);
    ::close(reader);
    ASSERT_EQ(back.size(), total);
    EXPECT_TRUE(back == bytes);
    const auto reads = m_log->callsOf("readFromFile");
    std::uint64_t largestRead = 0;
    std::uint64_t askedInAll = 0;
    for (const auto& call : reads) {
        largestRead = std::max(largestRead, call.size);
        askedInAll += call.size;
    }
    std::cout << "[ sizes    ] 8 MiB in 1 MiB read(2)s: " << reads.size() << " read requests, largest "
              << largestRead << " bytes\n";
    // Where the readahead window could be widened (as root), reads come in requests as large as writes.
    struct stat folder {};
    ASSERT_EQ(::stat(m_mount->folder().c_str(), &folder), 0);
    std::ifstream window("/sys/class/bdi/" + std::to_string(major(folder.st_dev)) + ":" +
                         std::to_string(minor(folder.st_dev)) + "/read_ahead_kb");
    unsigned windowKiB = 0;
    window >> windowKiB;
    // Nothing is read twice. On a loaded machine the kernel's readahead can fall behind the reader and
    // split a window into a smaller synchronous read and the rest, so a few more requests may come.
    EXPECT_LE(askedInAll, total + (1U << 20));
    if (windowKiB >= 1024) {
        EXPECT_EQ(largestRead, 1U << 20);
        EXPECT_LE(reads.size(), 12U);
    } else {
        EXPECT_GE(largestRead, 128U << 10);
        EXPECT_LE(reads.size(), 72U);
    }
}

/// Whether the kernel keeps names and attributes between requests.
class KernelCacheTests : public FuseMountTests, public ::testing::WithParamInterface<std::chrono::seconds> {
protected:
    void mountCaching() {
        MountOptions options;
        options.entryTimeout = GetParam();
        options.attributeTimeout = GetParam();
        if (!mountFake(options)) {
            GTEST_SKIP() << "mounting is not permitted here (EPERM)";
        }
    }
};

/// Whether the condition holds within the wait limit: the volume's notices reach the kernel on a thread of
/// their own.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The volume changed behind the kernel's back, as a device changes: what the kernel kept of the name or
// the file must go, however long it may keep them otherwise.
TEST_P(KernelCacheTests, ChangesThroughTheVolumeShowAtOnce) {
    mountCaching();
    if (IsSkipped()) {
        return;
    }
    makeFile("live.txt", {'a', 'b', 'c'});
    struct stat info {};
    ASSERT_EQ(::stat(at("live.txt").c_str(), &info), 0);
    ASSERT_EQ(info.st_size, 3);
    const int reader = ::open(at("live.txt").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    const auto first = readAll(reader);
    ::close(reader);
    EXPECT_EQ(std::string(first.begin(), first.end()), "abc");

    // Same size, new bytes: only a kernel that kept stale pages would still show "abc".
    auto item = lookUpDirectly("live.txt");
    writeDirectly(item, "xyz");
    EXPECT_TRUE(eventually([&] {
        const int rereader = ::open(at("live.txt").c_str(), O_RDONLY);
        const auto second = readAll(rereader);
        ::close(rereader);
        return std::string(second.begin(), second.end()) == "xyz";
    }));

    writeDirectly(item, "abcdef");
    EXPECT_TRUE(eventually([&] { return ::stat(at("live.txt").c_str(), &info) == 0 && info.st_size == 6; }));

    auto [created, name, error] =
        direct<std::shared_ptr<fskit::FSItem>, std::optional<fskit::FSFileName>, std::optional<fskit::Error>>(
            [&](const fskit::ItemNameReply& reply) {
                volume().createItem(fskit::FSFileName("direct.txt"), fskit::FSItemType::file,
                                    volume().rootItem(),
                                    std::make_shared<fskit::FSItemSetAttributesRequest>(), reply);
            });
    ASSERT_FALSE(error);
    EXPECT_TRUE(namesIn(m_mount->folder()).contains("direct.txt"));
    EXPECT_EQ(::stat(at("direct.txt").c_str(), &info), 0);

    auto [removeError] = direct<std::optional<fskit::Error>>([&](const fskit::StatusReply& reply) {
        volume().removeItem(created, fskit::FSFileName("direct.txt"), volume().rootItem(), reply);
    });
    ASSERT_FALSE(removeError);
    EXPECT_TRUE(eventually(
        [&] { return errnoAfter([&] { return ::stat(at("direct.txt").c_str(), &info); }) == ENOENT; }));
}

// A kernel that may keep names learns them with the listing, so `ls -l` costs no look-up per name; what
// it learnt that way follows the volume's changes as a looked-up name does.
TEST_P(KernelCacheTests, AListingCarriesWhatTheKernelMayKeep) {
    mountCaching();
    if (IsSkipped()) {
        return;
    }
    const std::vector<std::string> names{"one.txt", "two.txt", "three.txt"};
    std::vector<std::shared_ptr<fskit::FSItem>> items;
    for (const auto& name : names) {
        auto [item, spelled, error] =
            direct<std::shared_ptr<fskit::FSItem>, std::optional<fskit::FSFileName>,
                   std::optional<fskit::Error>>([&](const fskit::ItemNameReply& reply) {
                volume().createItem(fskit::FSFileName(name), fskit::FSItemType::file, volume().rootItem(),
                                    std::make_shared<fskit::FSItemSetAttributesRequest>(), reply);
            });
        ASSERT_FALSE(error) << name;
        writeDirectly(item, name);
        items.push_back(item);
    }
    ASSERT_EQ(namesIn(m_mount->folder()).size(), names.size());
    m_log->clear();
    struct stat info {};
    for (const auto& name : names) {
        ASSERT_EQ(::stat(at(name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_size, static_cast<off_t>(name.size())) << name;
    }
    const bool keeps = GetParam().count() > 0;
    EXPECT_EQ(m_log->count("lookupItem"), keeps ? 0U : names.size());
    // Listed again, the names the kernel holds cost the volume nothing each.
    m_log->clear();
    EXPECT_EQ(namesIn(m_mount->folder()).size(), names.size());
    EXPECT_EQ(m_log->count("lookupItem"), 0U);

    writeDirectly(items.front(), "grown on the device");
    EXPECT_TRUE(
        eventually([&] { return ::stat(at(names.front()).c_str(), &info) == 0 && info.st_size == 19; }));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, KernelCacheTests,
                         ::testing::Values(std::chrono::seconds(0), std::chrono::seconds(60)),
                         [](const auto& info) { return info.param.count() == 0 ? "None" : "Minute"; });

TEST_F(FuseMountTests, ForgetLeadsToReclaim) {
    MOUNT_OR_SKIP();
    makeFile("gone.txt", pattern(10, 5));
    struct stat info {};
    ASSERT_EQ(::stat(at("gone.txt").c_str(), &info), 0);
    EXPECT_GE(m_mount->heldItemCount(), 1U);
    m_log->clear();
    // An unlinked inode with no user left is evicted at once, and its forget follows.
    ASSERT_EQ(::unlink(at("gone.txt").c_str()), 0);
    EXPECT_TRUE(
        m_log->waitUntil([](const auto& calls) { return contains(calls, "reclaimItem"); }, waitLimit));
    EXPECT_EQ(m_mount->heldItemCount(), 0U);

    // Dropping the kernel's caches evicts every unused inode: each becomes a reclaim.
    makeFile("kept.txt", pattern(10, 6));
    ASSERT_EQ(::mkdir(at("kept folder").c_str(), 0755), 0);
    ASSERT_EQ(m_mount->heldItemCount(), 2U);
    const int dropCaches = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (dropCaches < 0) {
        GTEST_SKIP() << "cannot drop the kernel's caches here; the unlink case passed";
    }
    m_log->clear();
    ::sync();
    EXPECT_EQ(::write(dropCaches, "2", 1), 1);
    ::close(dropCaches);
    EXPECT_TRUE(m_log->waitUntil(
        [](const auto& calls) {
            return std::count_if(calls.begin(), calls.end(), [](const RecordedCall& call) {
                       return call.operation == "reclaimItem";
                   }) >= 2;
        },
        waitLimit));
    EXPECT_EQ(m_mount->heldItemCount(), 0U);
}

TEST_F(FuseMountTests, UnmountReclaimsWhatTheKernelStillHeld) {
    MOUNT_OR_SKIP();
    makeFile("one", pattern(1, 1));
    makeFile("two", pattern(2, 2));
    const auto held = m_mount->heldItemCount();
    ASSERT_GE(held, 2U);
    m_log->clear();
    m_mount->shutdown();
    EXPECT_EQ(m_log->count("reclaimItem"), held);
    // Reclaims come before the volume is unmounted.
    const auto calls = m_log->calls();
    const auto unmount = std::find_if(calls.begin(), calls.end(),
                                      [](const auto& call) { return call.operation == "unmount"; });
    ASSERT_NE(unmount, calls.end());
    EXPECT_EQ(
        std::count_if(unmount, calls.end(), [](const auto& call) { return call.operation == "reclaimItem"; }),
        0);
}

TEST_F(FuseMountTests, AnUnmountFromOutsideIsNoticed) {
    MOUNT_OR_SKIP();
    makeFile("file", pattern(3, 3));
    ASSERT_EQ(::umount2(m_mount->folder().c_str(), 0), 0) << std::strerror(errno);
    EXPECT_TRUE(m_mount->waitUntilUnmounted(waitLimit));
    EXPECT_FALSE(m_mount->isServing());
    m_mount->shutdown();
    EXPECT_EQ(m_log->lifecycle().back(), "unloadResource");
}

TEST_F(FuseMountTests, ABusyFolderUnmountsOnlyWhenForced) {
    MOUNT_OR_SKIP();
    makeFile("open.txt", pattern(4096, 9));
    const int descriptor = ::open(at("open.txt").c_str(), O_RDONLY);
    ASSERT_GE(descriptor, 0);
    try {
        m_mount->unmount(UnmountMode::normal);
        ADD_FAILURE() << "a busy folder unmounted";
    } catch (const FuseError& error) {
        EXPECT_EQ(error.code(), EBUSY);
    }
    EXPECT_TRUE(m_mount->isServing());
    m_mount->unmount(UnmountMode::force);
    EXPECT_TRUE(m_mount->waitUntilUnmounted(waitLimit));
    char byte = 0;
    EXPECT_NE(errnoAfter([&] { return static_cast<int>(::read(descriptor, &byte, 1)); }), 0);
    ::close(descriptor);
    m_mount->shutdown();
    EXPECT_EQ(m_log->lifecycle().back(), "unloadResource");
}

TEST_F(FuseMountTests, TheSetuidHelperMountsAndUnmountsToo) {
    if (::access("/usr/bin/fusermount3", X_OK) != 0) {
        GTEST_SKIP() << "fusermount3 is not installed";
    }
    MountOptions options;
    options.method = MountMethod::fusermount;
    MOUNT_OR_SKIP(options);
    const auto row = mountTableRow(m_mount->folder());
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->fileSystemType, "fuse.tandalo");
    EXPECT_EQ(row->source, "tandalo");
    makeFile("via helper", pattern(5000, 8));
    struct stat info {};
    ASSERT_EQ(::stat(at("via helper").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 5000);
    m_mount->unmount(UnmountMode::normal);
    EXPECT_TRUE(m_mount->waitUntilUnmounted(waitLimit));
    m_mount->shutdown();
}

TEST_F(FuseMountTests, AVolumeThatNeverAnswersCannotHangShutdown) {
    MOUNT_OR_SKIP();
    makeFile("held.txt", pattern(10, 1));
    volume().misbehave("getAttributes", Misbehaviour::holdReply);
    auto blocked = std::async(std::launch::async, [&] {
        struct stat info {};
        return errnoAfter([&] { return ::stat(at("held.txt").c_str(), &info); });
    });
    ASSERT_TRUE(
        m_log->waitUntil([](const auto& calls) { return contains(calls, "getAttributes"); }, waitLimit));
    auto fake = std::dynamic_pointer_cast<FakeVolume>(m_mount->volume());
    m_mount->shutdown();
    ASSERT_EQ(blocked.wait_for(waitLimit), std::future_status::ready);
    EXPECT_NE(blocked.get(), 0);
    // The answer that comes after all is dropped, not sent into a session that is gone.
    fake->releaseHeldReplies();
    EXPECT_EQ(m_log->lifecycle().back(), "unloadResource");
}

TEST_F(FuseMountTests, ConcurrentClientsEachSeeTheirOwnData) {
    const auto faultsBefore = fskit::unhandledReplyFaultCount();
    MOUNT_OR_SKIP();
    constexpr int threads = 8;
    constexpr int rounds = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int client = 0; client < threads; ++client) {
        clients.emplace_back([&, client] {
            for (int round = 0; round < rounds; ++round) {
                const auto name = at("client-" + std::to_string(client) + "-" + std::to_string(round));
                const auto bytes =
                    pattern(65536 + static_cast<std::size_t>(client) * 100, client * 10 + round);
                const int writer = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
                if (writer < 0 || !writeAll(writer, bytes) || ::close(writer) != 0) {
                    ++failures;
                    continue;
                }
                const int reader = ::open(name.c_str(), O_RDONLY);
                if (reader < 0 || readAll(reader) != bytes) {
                    ++failures;
                }
                ::close(reader);
                if (::unlink(name.c_str()) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(namesIn(m_mount->folder()).empty());
    m_mount->shutdown();
    EXPECT_EQ(fskit::unhandledReplyFaultCount(), faultsBefore);
}

TEST_F(FuseMountTests, ShutdownLeavesNoThreadsOrDescriptorsBehind) {
    // Sanitizer runtimes start a helper thread with the process's first thread: let that happen before
    // the count is taken.
    std::thread([] {}).join();
    const auto descriptorsBefore = entriesIn("/proc/self/fd");
    const auto threadsBefore = entriesIn("/proc/self/task");
    MOUNT_OR_SKIP();
    std::vector<std::thread> clients;
    for (int client = 0; client < 4; ++client) {
        clients.emplace_back(
            [&, client] { makeFile(testsupport::concat("f", client), pattern(300000, client)); });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_GT(entriesIn("/proc/self/task"), threadsBefore);
    m_mount.reset();
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
    // At most: the thread joined above may still have been listed when the first count was taken.
    EXPECT_LE(threadsSettledTo(threadsBefore), threadsBefore);
}

} // namespace
} // namespace fusehost
