#pragma once

#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "FileSystemExtension/AndroidItem.h"
#include "FileSystemExtension/AsyncTasks.h"
#include "FileSystemExtension/EphemeralItem.h"
#include "FileSystemExtension/VolumeLock.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/Task.h"
#include "platform/fskit/FSVolume.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tandalo {

/// Whether a volume was loaded for writing or only for reading.
enum class VolumeAccess { readWrite, readOnly };

/// Whether a refresh of the space figures may be skipped because one ran less than 10 s ago.
enum class SpaceRefresh { ifStale, always };

/// Whether a new file sent to the device is whole, or grows on the device afterwards (written past the
/// buffer, or sent by a barrier while it is still open).
enum class SendCompletion { whole, growsLater };

/// What a volume takes from its surroundings; the defaults are the process's own. Everything it points to
/// must outlive the volume.
struct AndroidVolumeContext {
    /// Times the battery poll, the refresh throttle and the write-time throttle; gives "now".
    platform::Clock* clock = &platform::Clock::system();
    /// Names the shared preferences' folder for the device status.
    const platform::Environment* environment = &platform::Environment::process();
    oslog::LogStore* logStore = &oslog::LogStore::shared();
    /// The device's key in the shared status when its resource named it by bus location as well, for it
    /// shares its serial number with another device; else deviceKey(descriptor).
    std::optional<std::string> deviceKey = std::nullopt;
};

/// The volume FSKit mounts for one device. It owns the device's MTPFileSystem, the items it has handed to
/// FSKit (device-backed items by identifier, in-memory items by folder and name), the battery poller, and
/// the tasks of its operations. One lock guards its tables and every changing field of its items; it is
/// never held across a call into the library or a wait.
///
/// Threads: FSKit calls the operations on its own threads, several at once. Each operation replies exactly
/// once: checks that need no device reply on the calling thread; device work runs in one task per call,
/// which replies when it ends. Members below say which of them block.
class AndroidVolume final : public fskit::FSVolume,
                            public fskit::FSVolumeOperations,
                            public fskit::FSVolumeReadWriteOperations,
                            public fskit::FSVolumeOpenCloseOperations,
                            public std::enable_shared_from_this<AndroidVolume> {
public:
    using Context = AndroidVolumeContext;

    /// Everything the volume's lock guards. Reached only through withLock, whose Tables carries the proof
    /// that item states need (item.state(tables.lock)).
    struct Tables {
        const VolumeLock lock{};
        /// Every device-backed item handed to FSKit and not yet reclaimed, by identifier.
        std::unordered_map<std::uint64_t, std::shared_ptr<AndroidItem>> items;
        /// Every in-memory item, by the identifier of its folder, then by name.
        std::map<std::uint64_t, std::map<std::string, std::shared_ptr<EphemeralItem>>> ephemeral;
        /// Raised by one after each change of the device tree made through the volume; the verifier of
        /// directory enumeration.
        std::uint64_t generation = 1;
        /// The listing of each device folder as the volume last saw it, by the folder's identifier: a
        /// different one tells what changed on the device since.
        std::unordered_map<std::uint64_t, corvane::DirectoryListing> seenListings;
        /// When the last write time was published; none before the first.
        std::optional<platform::Clock::TimePoint> writeRecordedAt;
        /// A task is storing a write time: the next one waits for a write after it has ended.
        bool writeRecordRunning = false;
        /// Total and free bytes last read from the device.
        std::uint64_t cachedTotalBytes = 0;
        std::uint64_t cachedFreeBytes = 0;
        /// When the space figures were last refreshed; none before the first.
        std::optional<platform::Clock::TimePoint> spaceRefreshedAt;
        /// A refresh of the space figures waits for its turn after a change on the device.
        bool spaceRefreshScheduled = false;
        /// The small file last read whole, and the one read before it in the same folder, which tells
        /// which way the reads go through the folder.
        struct WholeRead {
            corvane::MTPFileSystem::DirectoryKey folder;
            std::uint64_t parentID = 0;
            std::uint32_t handle = 0;
            std::optional<std::uint32_t> previous;
        };
        std::optional<WholeRead> lastWholeRead;
        /// The items whose read-ahead holds a guessed next file not read yet, oldest first.
        std::vector<std::weak_ptr<AndroidItem>> guessed;
        /// A guessed file is being fetched.
        bool guessInFlight = false;
        platform::Task batteryTask;
        bool isShutDown = false;

        /// Enters the item under the identifier, or removes the entry when item is null.
        void setItem(std::shared_ptr<AndroidItem> item, std::uint64_t id);
        /// The in-memory item of that name in the folder, or null.
        std::shared_ptr<EphemeralItem> ephemeralChild(const std::string& name, std::uint64_t parentID) const;
        /// Enters the item under its parent and name, replacing one of the same name.
        void addEphemeral(std::shared_ptr<EphemeralItem> item);
        /// Takes the in-memory item out of its folder, if it still stands there under its name.
        void takeOut(const std::shared_ptr<EphemeralItem>& item);
    };

    static constexpr std::uint64_t readAhead = 0x400000;   // the largest read-ahead, 4 MiB
    static constexpr std::uint64_t minReadAhead = 0x40000; // the smallest read-ahead, 256 KiB
    static constexpr std::uint64_t blockSize = 4096;
    /// Files up to this size are read whole by their first read, and when one is, the file read after it
    /// in its folder is fetched while the kernel closes the one and opens the other.
    static constexpr std::uint64_t smallFile = minReadAhead;
    /// A guessed file not read within this long after its fetch began is fetched again when it is read.
    static constexpr platform::Clock::Duration guessLifetime = std::chrono::seconds(1);
    static constexpr platform::Clock::Duration batteryPollInterval = std::chrono::seconds(60);
    static constexpr platform::Clock::Duration spaceRefreshInterval = std::chrono::seconds(10);
    /// After files are sent or removed, the space figures are read again at most this often.
    static constexpr platform::Clock::Duration spaceChangeInterval = std::chrono::seconds(1);
    static constexpr platform::Clock::Duration writeRecordInterval = std::chrono::seconds(1);
    /// At shutdown, a USB transfer that has waited this long is taken to be stuck on a device that hangs.
    static constexpr platform::Clock::Duration stuckTransferLimit = std::chrono::seconds(5);

    /// A volume over an open file system: the root item entered, a random volume identifier, and the
    /// device's cleaned name as the volume name. Sends nothing; never fails.
    static std::shared_ptr<AndroidVolume> make(std::shared_ptr<corvane::MTPFileSystem> fs,
                                               corvane::USBDeviceDescriptor descriptor, VolumeAccess access,
                                               Context context = {});
    /// Stops the battery poller and waits for the operations' tasks. Closing the device is shutdown()'s.
    ~AndroidVolume() override;

    // Identity. Any thread; never block.

    corvane::MTPFileSystem& fs() const noexcept { return *m_fs; }
    const corvane::USBDeviceDescriptor& descriptor() const noexcept { return m_descriptor; }
    bool readOnly() const noexcept { return m_access == VolumeAccess::readOnly; }
    /// The root item, identifier 2, parent 1.
    const std::shared_ptr<AndroidItem>& root() const noexcept { return m_root; }
    /// When the volume was made: the time shown for items that have none.
    platform::Clock::WallTime mountTime() const noexcept { return m_mountTime; }
    /// The device's key in the shared device status: its serial, or its registry ID in decimal.
    const std::string& deviceKey() const noexcept { return m_deviceKey; }
    static std::string deviceKey(const corvane::USBDeviceDescriptor& descriptor);
    platform::Clock& clock() const noexcept { return *m_context.clock; }
    const oslog::Logger& log() const noexcept { return m_log; }

    // The lock and the tables. Any thread; blocks only for the lock.

    /// Runs f(tables) with the volume's lock held and returns what f returns. f must not call into the
    /// library, wait, reply, or take the lock again.
    template <typename F> decltype(auto) withLock(F&& f) {
        std::lock_guard guard(m_lock);
        return std::forward<F>(f)(m_tables);
    }
    /// The one item for a device child: an existing item of the same identifier, with an object's record
    /// and name refreshed (and its pending size dropped), or a new one entered under the parent.
    std::shared_ptr<AndroidItem> item(AndroidItem::Kind kind, std::string name, const AndroidItem& parent);
    /// The in-memory items of a folder, sorted by name.
    std::vector<std::shared_ptr<EphemeralItem>> ephemeralChildren(std::uint64_t parentID);
    /// The device item of the object an in-memory file was sent as, kept in the item table so that one
    /// object is one item; null while the file is only in memory. Any thread; blocks only for the lock.
    std::shared_ptr<AndroidItem> sentItem(EphemeralItem& item);

    /// Runs body in a task of this volume that keeps the volume alive until it ends; returns at once.
    /// body replies to its operation itself and must not throw.
    void startTask(std::function<void()> body);

    // The shared steps of the item operations (AndroidVolumeLookup.cpp and the files beside it).

    /// One child of a folder as the device or the storage list presents it.
    struct FolderChild {
        AndroidItem::Kind kind;
        std::string name;
    };
    /// The children of a folder item: for the root the storages under their display names; for a storage
    /// or a folder object the device's listing in its order, without Finder's metadata names and without
    /// the names of the folder's in-memory items, which hide device objects of the same name. Throws
    /// ENOTDIR for a file and the library's error when the listing fails. Blocks for the device.
    std::vector<FolderChild> children(const AndroidItem& folder);
    /// children() as far as the cache answers it, never blocking for the device: nothing when the folder's
    /// listing is not cached.
    std::optional<std::vector<FolderChild>> cachedChildren(const AndroidItem& folder);
    /// The item of the folder's device child of that name, or null; metadata names are never asked of the
    /// device. Throws ENOTDIR for a file and the library's error. Blocks for the device.
    std::shared_ptr<AndroidItem> deviceChild(const std::string& name, const AndroidItem& folder);
    /// Compares a folder's listing with the one seen before and tells the host which names and items
    /// changed, so that it drops what it cached of them. Any thread; blocks only for the lock.
    void noticeListing(const AndroidItem& folder, const corvane::DirectoryListing& listing);
    /// Tells the host that the item's record changed, when it did.
    void noticeRecord(const AndroidItem& item, const corvane::MTPObject& before,
                      const corvane::MTPObject& after);
    /// Everything FSKit may ask about the item. Any thread; blocks only for the lock.
    fskit::FSItemAttributes attributes(const AndroidItem& item);
    fskit::FSItemAttributes attributes(const EphemeralItem& item);
    /// How many bytes a read of length bytes of the item that starts at offset fetches at least: twice
    /// the read-ahead window (256 KiB to 4 MiB) when the read goes on from it (starts in it, at its end, or
    /// past no more than two reads of that length), else 256 KiB. The caller holds the lock.
    static std::uint64_t readAheadLength(const AndroidItem& item, std::uint64_t offset, std::uint64_t length,
                                         const Tables& tables);
    /// Throws ENOTEMPTY when the item is a folder that shows children, which nothing may replace.
    /// Blocks for the device.
    void requireReplaceable(const std::shared_ptr<fskit::FSItem>& item);
    /// Removes the item that a rename replaces: a device object (a folder only when it shows no
    /// children, else ENOTEMPTY), or an in-memory item and what of it was sent. Nothing for null or for
    /// the root and storages. Blocks for the device.
    void removeReplacedItem(const std::shared_ptr<fskit::FSItem>& item);
    /// The last close of a device item: sends what writes left waiting, ends the edit session and reads
    /// the object again. Returns the first failure. Blocks for the device.
    std::exception_ptr finishEdits(const std::shared_ptr<AndroidItem>& item);

    // Device-facing work. Block the calling thread for the device: call them from a task.

    /// Reads the storages again and stores the summed capacity and free space; skipped when the last
    /// refresh started less than 10 s ago, unless always. Never fails.
    void refreshSpace(SpaceRefresh refresh);
    /// Says that the device's free space changed (files were sent or removed): the figures are read
    /// again from a task of their own, at once or one change interval after the last refresh, so that a
    /// long copy asks at most once a second. Any thread; returns at once.
    void spaceChanged();
    /// Ends every open edit session, each after the bytes waiting for it and under its item's content
    /// lock, so that no write lands between the two; failures are logged, and every flag is cleared.
    void endOpenEdits();
    /// Sends a new in-memory file bound for the device as one object, once; afterwards its contents live
    /// on the device only, and the item stands for that object. A whole file takes its name at once; one
    /// that grows later keeps a name that says it is incomplete until its last close. Throws the
    /// library's error and leaves the item as it was.
    void flush(const std::shared_ptr<EphemeralItem>& item, SendCompletion completion = SendCompletion::whole);
    /// flush() with the item's content lock, which the caller holds, so that it can record a failure
    /// before any writer sees the file again. A file that grows later takes the writes that continue it
    /// while it is on its way (up to a write-behind run) and goes on with them in an edit session.
    void flush(const std::shared_ptr<EphemeralItem>& item, SendCompletion completion,
               const std::unique_lock<std::mutex>& content);
    /// Puts a new file that was sent while it grew under its name, at its last close; a file that a
    /// failed write left incomplete is deleted instead. Throws the failure.
    void completeUpload(const std::shared_ptr<EphemeralItem>& item);
    /// The barrier of synchronize: sends every write waiting in an edit session and every new file still
    /// in memory (one still open so that it may grow). Returns the first failure; never throws.
    std::exception_ptr sendEverything();
    /// At unmount: new files that are still open were cut short and are dropped, with what of them
    /// reached the device; closed ones that could not be sent or completed are tried again, and logged
    /// as lost when they fail. Never fails.
    void settleNewFiles();
    /// Waits for the operations in flight, stops the battery poller, ends open edits, settles the new
    /// files, closes the device and clears the device's shared status. An operation stuck in a USB
    /// transfer that moves nothing for stuckTransferLimit gives the device up rather than hold the
    /// shutdown for its time-outs. Runs once; later calls return at once. Not from one of the volume's
    /// own tasks.
    void shutdown();

    // Battery and write time.

    /// Starts the battery poller (a poll at once, then every 60 s), replacing one already running; after
    /// its first poll it removes what cut-short sends left on the device. Does nothing after shutdown. Any
    /// thread; may wait for a replaced poller's device call to end.
    void startBatteryTask();
    /// Publishes the time of a write, at most once a second. Any thread; blocks for the suite's file.
    void recordWrite();
    /// recordWrite() for a write being answered: the time is stored on a task of its own, since storing
    /// it waits for the suite's lock, which another process may hold for seconds, and syncs its file to
    /// disk. Any thread; does not block.
    void recordWriteBehind();

    // FSKit's volume operations.

    fskit::FSVolumeSupportedCapabilities supportedVolumeCapabilities() const override;
    fskit::FSStatFSResult volumeStatistics() const override;
    std::uint32_t maximumLinkCount() const override { return 1; }
    std::uint32_t maximumNameLength() const override { return 255; }
    bool restrictsOwnershipChanges() const override { return true; }
    bool truncatesLongNames() const override { return false; }
    std::uint64_t maximumFileSize() const override { return UINT64_MAX; }

    void mount(fskit::FSTaskOptions options, fskit::StatusReply reply) override;
    void unmount(fskit::UnmountReply reply) override;
    void activate(fskit::FSTaskOptions options, fskit::ItemReply reply) override;
    void deactivate(fskit::FSDeactivateOptions options, fskit::StatusReply reply) override;
    void synchronize(fskit::FSSyncFlags flags, fskit::StatusReply reply) override;

    // FSKit's item operations.

    void getAttributes(fskit::FSItemGetAttributesRequest desired, std::shared_ptr<fskit::FSItem> item,
                       fskit::AttributesReply reply) override;
    void setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                       std::shared_ptr<fskit::FSItem> item, fskit::AttributesReply reply) override;
    void lookupItem(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                    fskit::ItemNameReply reply) override;
    void reclaimItem(std::shared_ptr<fskit::FSItem> item, fskit::StatusReply reply) override;
    void readSymbolicLink(std::shared_ptr<fskit::FSItem> item, fskit::NameReply reply) override;
    void createItem(fskit::FSFileName name, fskit::FSItemType type, std::shared_ptr<fskit::FSItem> directory,
                    std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                    fskit::ItemNameReply reply) override;
    void createSymbolicLink(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                            std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                            fskit::FSFileName linkContents, fskit::ItemNameReply reply) override;
    void createLink(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                    std::shared_ptr<fskit::FSItem> directory, fskit::NameReply reply) override;
    void removeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                    std::shared_ptr<fskit::FSItem> directory, fskit::StatusReply reply) override;
    void renameItem(std::shared_ptr<fskit::FSItem> item, std::shared_ptr<fskit::FSItem> sourceDirectory,
                    fskit::FSFileName sourceName, fskit::FSFileName destinationName,
                    std::shared_ptr<fskit::FSItem> destinationDirectory,
                    std::shared_ptr<fskit::FSItem> overItem, fskit::NameReply reply) override;
    void enumerateDirectory(std::shared_ptr<fskit::FSItem> directory,
                            fskit::FSDirectoryCookie startingAtCookie, fskit::FSDirectoryVerifier verifier,
                            std::optional<fskit::FSItemGetAttributesRequest> attributes,
                            std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
                            fskit::EnumerateReply reply) override;
    void readFromFile(std::shared_ptr<fskit::FSItem> item, off_t offset, std::size_t length,
                      std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
                      fskit::ByteCountReply reply) override;
    void writeContents(std::span<const std::byte> contents, std::shared_ptr<fskit::FSItem> item, off_t offset,
                       fskit::ByteCountReply reply) override;
    void openItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                  fskit::StatusReply reply) override;
    void closeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                   fskit::StatusReply reply) override;

private:
    AndroidVolume(std::shared_ptr<corvane::MTPFileSystem> fs, corvane::USBDeviceDescriptor descriptor,
                  VolumeAccess access, Context context);

    /// The storages as the root's children.
    std::vector<FolderChild> storageChildren() const;
    /// The children of a device folder in its listing, without what stays out of sight.
    std::vector<FolderChild> listedChildren(const AndroidItem& folder,
                                            const corvane::DirectoryListing& listing);
    /// Removes from the device what sends cut short in an earlier mount left under an incomplete name;
    /// logs each. The battery poller runs it after its first poll; a stop request ends it.
    void removeLeftovers(std::stop_token stop);
    /// Takes the next write time to publish when one is due: at most once a second, and not while one is
    /// still being stored, so that an earlier time never lands after a later one.
    bool claimWriteRecord();
    /// Stores a claimed write time; the next one may be claimed once it has ended.
    void storeWriteRecord(platform::Clock::WallTime date);
    /// One poll of the battery poller: false when the volume is gone and the poller should end.
    static bool pollBattery(const std::weak_ptr<AndroidVolume>& volume, std::stop_token stop);

    const std::shared_ptr<corvane::MTPFileSystem> m_fs;
    const corvane::USBDeviceDescriptor m_descriptor;
    const VolumeAccess m_access;
    const Context m_context;
    const oslog::Logger m_log;
    const std::string m_deviceKey;
    const std::shared_ptr<AndroidItem> m_root;
    const platform::Clock::WallTime m_mountTime;
    std::atomic<bool> m_shutdownStarted{false};

    mutable std::mutex m_lock; // the volume's one lock: guards m_tables and the states of its items; never
                               // held across a call into the library, a wait or a reply; taken after an
                               // item's content lock
    Tables m_tables;

    // Last: its destructor waits for the operations' tasks, which use everything above.
    AsyncTasks m_tasks;
};

} // namespace tandalo
