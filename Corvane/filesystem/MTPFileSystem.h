#pragma once

#include "Corvane/device/DataPhase.h"
#include "Corvane/filesystem/DirectoryListing.h"
#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/MTPObject.h"
#include "Corvane/wire/PTPOperation.h"
#include "Corvane/wire/StorageInfo.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Guarded.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace corvane {

class MTPDevice;

/// The storages of one MTP device as a tree of folders and files, addressed by path or by (storage,
/// parent handle). It owns its share of the device, the storage list, the cached folder listings with a
/// name index per folder, and the cached object records.
///
/// Threads. Every member may be called from any thread at any time. One state lock guards the caches and
/// is never held across a device call, a wait or a callback, so other operations go on while one waits
/// for the device. Members marked "blocks for the device" wait until the device is free and then for
/// their transactions (each bounded by the device's time-outs); the others block only for the state lock.
/// Callers that ask for the same folder at the same time share one device listing: the first runs it on
/// its own thread, the others wait for its result. Failures are thrown as PTPError unless a member says
/// otherwise.
class MTPFileSystem {
public:
    /// The parent handle that names the top level of a storage.
    static constexpr std::uint32_t rootParent = 0xFFFFFFFF;

    using TimePoint = MTPObject::TimePoint;
    /// Told the running total of bytes moved, once per chunk; called on the thread that runs the transfer
    /// while the device is held, so it must return promptly and must not call the device or this object.
    using Progress = std::function<void(std::uint64_t bytes)>;

    /// The folder whose children a listing holds: a storage and a folder handle (rootParent for the top).
    struct DirectoryKey {
        std::uint32_t storage = 0;
        std::uint32_t parent = rootParent;
        bool operator==(const DirectoryKey&) const = default;
    };
    struct DirectoryKeyHash {
        std::size_t operator()(const DirectoryKey& key) const noexcept;
    };

    /// What a path names: the level above the storages, a storage, or an object on one.
    class Node {
    public:
        enum class Kind { root, storage, object };

        static Node root() { return Node(std::monostate{}); }
        static Node forStorage(StorageInfo storage) { return Node(std::move(storage)); }
        static Node forObject(MTPObject object) { return Node(std::move(object)); }

        Kind kind() const noexcept { return static_cast<Kind>(m_value.index()); }
        /// True for the root and storages; an object's own isDirectory otherwise.
        bool isDirectory() const noexcept;
        /// The storage of a storage node; throws std::bad_variant_access for the other kinds.
        const StorageInfo& storage() const { return std::get<StorageInfo>(m_value); }
        /// The object of an object node; throws std::bad_variant_access for the other kinds.
        const MTPObject& object() const { return std::get<MTPObject>(m_value); }

    private:
        explicit Node(std::variant<std::monostate, StorageInfo, MTPObject> value)
            : m_value(std::move(value)) {}

        std::variant<std::monostate, StorageInfo, MTPObject> m_value;
    };

    struct ParentAndName {
        Node parent;
        std::string name;
    };

    /// A new file that is on the device but not yet under its name: it lies there under a name that says
    /// it is incomplete until completeFile() puts it in place, so that a send cut short (the device
    /// unplugged, the program stopped) never leaves something that passes for the whole file. On a device
    /// that cannot rename it lies under its own name from the start.
    struct PartialFile {
        /// The object as the device holds it now.
        MTPObject object;
        /// The name it is to have.
        std::string name;
        /// What it replaces once complete; still on the device until then.
        std::optional<MTPObject> replacing;
    };

    /// A file system over a device made by MTPDevice::connect. Sends nothing. The clock times the wait for
    /// storages in open().
    explicit MTPFileSystem(std::shared_ptr<MTPDevice> device,
                           platform::Clock& clock = platform::Clock::system());
    ~MTPFileSystem();
    MTPFileSystem(const MTPFileSystem&) = delete;
    MTPFileSystem& operator=(const MTPFileSystem&) = delete;

    // State. Never blocks for the device.

    MTPDevice& device() const noexcept { return *m_device; }
    /// The storages as last read, in the device's order.
    std::vector<StorageInfo> storages() const;
    /// What the device said about itself when open() opened the session; nothing before.
    std::optional<DeviceInfo> deviceInfo() const;
    /// Counts invalidation steps; rises with every change of the caches that a listing in flight must not
    /// overwrite, and never falls.
    std::int64_t cacheGeneration() const;

    // Session. Block for the device.

    /// Opens the session, reads the storages, and while there are none (the phone waits for its user to
    /// allow access) reads them again every 1.5 s on the clock for 12 s before it throws accessNotGranted.
    /// A stop request during a wait ends it with cancelled.
    void open(std::stop_token stop = {});
    /// Closes the session and the transport; keeps the storages and the caches. Never throws.
    void close() noexcept;
    /// Reads the storages again; a different set of storage IDs empties every cache.
    void refreshStorages();
    /// The device's battery level (1 to 100), or nothing when it reports none. Nothing is cached.
    std::optional<int> batteryLevel();

    // Naming. Never block for the device.

    /// Forgets every listing, name index and object record.
    void invalidateAll();
    /// The name under which a storage appears as a top-level folder: its description, else its volume
    /// label, else "Storage" and its ID in hexadecimal; storages that share a description after the first
    /// get " 2", " 3"... after it.
    std::string storageName(const StorageInfo& storage) const;
    /// The first storage whose name is canonically equivalent to the given one.
    std::optional<StorageInfo> storage(std::string_view named) const;

    // Listings and look-ups. Block for the device only when a folder on the way is not cached.

    /// What the path names. Paths are components separated by "/"; empty components are ignored and the
    /// first names a storage. Throws invalidPath when a name is missing, notADirectory when a file
    /// stands in the middle.
    Node lookup(std::string_view path);
    /// The folder's children: from the cache, from the listing another caller is running, or from a new
    /// listing that this caller runs. The top of a storage is parent rootParent.
    DirectoryListing list(std::uint32_t storage, std::uint32_t parent);
    /// The folder's cached listing, or nothing; never blocks for the device.
    std::optional<DirectoryListing> cachedListing(std::uint32_t storage, std::uint32_t parent) const;
    /// child() as far as the cache answers it, never blocking for the device: nothing when the folder's
    /// listing is not cached, else the child or an empty record.
    std::optional<std::optional<MTPObject>> cachedChild(std::uint32_t storage, std::uint32_t parent,
                                                        std::string_view named) const;
    /// The first child whose name is canonically equivalent to named, or nothing.
    std::optional<MTPObject> child(std::uint32_t storage, std::uint32_t parent, std::string_view named);
    /// The children of the folder the path names; for the root, one folder record per storage.
    DirectoryListing list(std::string_view path);
    /// The object's record, from the cache or from the device.
    MTPObject object(std::uint32_t handle);
    /// Forgets the object's record and its folder's listing; for a folder also its own listing and
    /// everything cached below it. Never blocks for the device.
    void invalidate(const MTPObject& object);

    // Contents. Block for the device.

    /// Up to length bytes of the file at offset, never past its recorded size; nothing is sent for a
    /// range that is empty or starts at or after the end. The bytes are read into storage's memory when
    /// it is given, without clearing it first.
    std::vector<std::byte> read(const MTPObject& object, std::uint64_t offset, std::int64_t length,
                                std::vector<std::byte> storage = {});
    /// Copies the whole file to a local path. The bytes go to a temporary file beside it, which replaces
    /// the path only once the transfer has succeeded and is removed when it fails, so the path never holds
    /// a partial copy.
    void download(const MTPObject& object, const std::filesystem::path& to, const Progress& progress = {});

    // Changes. Block for the device. Each one that succeeds drops what it changed from the caches.

    /// Creates the folder the path names; alreadyExists when its parent holds that name.
    MTPObject createDirectory(std::string_view at);
    MTPObject createDirectory(std::uint32_t storage, std::uint32_t parent, std::string_view name);
    /// Creates an empty file; alreadyExists when the folder holds that name.
    MTPObject createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                         std::optional<TimePoint> modified = std::nullopt);
    /// Creates a file with these contents in place of replacing, or else of a file of the same name that
    /// the cached listing shows. The replaced file stays on the device until the new one has fully
    /// arrived, and the new one never shows under its name before then; one that replaces nothing and
    /// holds at most directSendLimit bytes is sent under its name at once. A folder is never replaced:
    /// alreadyExists. Nothing of a failed creation stays on the device but the replaced file.
    static constexpr std::uint64_t directSendLimit = 1 << 20;
    MTPObject createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                         std::span<const std::byte> contents,
                         std::optional<TimePoint> modified = std::nullopt,
                         const std::optional<MTPObject>& replacing = std::nullopt);
    /// Sends the first contents of a new file that is to grow in an edit session before it is complete:
    /// a PartialFile under a name that says so (on a device that cannot rename, under its own name, with
    /// replacing deleted first). Nothing of a failed send stays on the device.
    PartialFile createPartialFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                  std::span<const std::byte> contents, std::optional<TimePoint> modified,
                                  const std::optional<MTPObject>& replacing);
    /// Puts a partial file (its object as it is now) under its name: deletes what it replaces, then
    /// renames it. Returns its record. On failure the object stays under its incomplete name.
    MTPObject completeFile(const PartialFile& file);
    /// Sets the file's size inside an edit session of its own.
    void truncate(const MTPObject& object, std::uint64_t size);
    /// Opens an edit session on the file; the caller ends it with endEdit.
    void beginEdit(const MTPObject& object);
    /// Writes inside an edit session that beginEdit opened; the caches keep the old size until endEdit.
    void writeOpen(const MTPObject& object, std::uint64_t offset, std::span<const std::byte> data);
    /// Sets the file's size inside an edit session that beginEdit opened.
    void truncateOpen(const MTPObject& object, std::uint64_t size);
    void endEdit(const MTPObject& object);
    /// Copies a local file into the folder that the path names, under name or the file's own name, and
    /// returns the new object's record. A file of the same name is replaced, and stays on the device until
    /// the new one has fully arrived; a folder of the same name is never replaced: alreadyExists. Throws
    /// std::filesystem::filesystem_error unchanged when the local file's attributes cannot be read, and
    /// io when it cannot be opened or read.
    MTPObject upload(const std::filesystem::path& file, std::string_view to,
                     std::optional<std::string> name = std::nullopt, const Progress& progress = {});
    void remove(const MTPObject& object);
    /// The files that sends cut short left on the device, on every storage: those under a name that says
    /// they are incomplete, as only this library names them, left by another process or an earlier run
    /// (never one this process is sending). A stop request ends the search with what it found. Blocks for
    /// the device.
    std::vector<MTPObject> incompleteLeftovers(std::stop_token stop = {});
    /// Removes the object the path names; invalidPath for the root or a storage.
    void remove(std::string_view at);
    void rename(const MTPObject& object, std::string_view to);
    /// Whether the device is known to refuse new names: it lacks the operation, or refused one before.
    bool refusesRenames() const;
    /// Whether the device lets the modification date of objects of the format be set: it lists the
    /// property as settable. Asked of the device once per format.
    bool canSetModified(std::uint16_t format);
    /// Sets the object's modification date on the device; notSupported(setObjectPropValue) where the
    /// device does not let it be set, before anything is sent.
    void setModified(const MTPObject& object, TimePoint date);
    /// Moves the object into the folder (rootParent: the top of the storage).
    void move(const MTPObject& object, std::uint32_t toStorage, std::uint32_t parent);
    /// Moves the object into the folder the path names.
    void move(const MTPObject& object, std::string_view toDirectory);
    /// Puts the object into the folder under the name, with as few moves and renames as it takes, and
    /// returns its record. In place of replacing: the object lies in the folder under a temporary name
    /// before replacing is deleted, so that a refusal on the way never costs the replaced file; a device
    /// that cannot rename is refused with notSupported(setObjectPropValue) before anything changes.
    MTPObject place(const MTPObject& object, std::uint32_t storage, std::uint32_t parent,
                    std::string_view name, const std::optional<MTPObject>& replacing = std::nullopt);
    /// Writes bytes into the file inside an edit session of its own.
    void write(const MTPObject& object, std::uint64_t offset, std::span<const std::byte> data);
    /// The node of the path's parent and the path's last component; invalidPath for a path without
    /// components.
    ParentAndName parentAndName(std::string_view of);

    /// The path's non-empty components, in order and unchanged.
    static std::vector<std::string> components(std::string_view path);

private:
    /// One cached folder: its listing and, beside it, the position of the first child of each name under
    /// the name's canonical key. The two come and go together.
    struct CachedFolder {
        DirectoryListing listing;
        std::unordered_map<std::string, std::size_t> firstByName;
    };

    enum class Renames { unknown, work, refused };

    struct State {
        std::vector<StorageInfo> storages;
        std::optional<DeviceInfo> deviceInfo;
        std::unordered_map<DirectoryKey, CachedFolder, DirectoryKeyHash> folders;
        std::unordered_map<std::uint32_t, MTPObject> objects;
        std::unordered_map<DirectoryKey, std::shared_future<DirectoryListing>, DirectoryKeyHash> pendingLists;
        std::int64_t generation = 0;
        /// Whether the device gives objects new names: unknown until it has done so or refused.
        Renames renames = Renames::unknown;
        /// Whether the device lets modification dates be set, by object format, as far as asked.
        std::unordered_map<std::uint16_t, bool> settableDates;
    };

    /// Whether a file being sent is complete, or grows in an edit session afterwards.
    enum class Completion { now, later };
    /// Makes the data phase of a file's contents from their first byte, for each send of them: contents
    /// held in memory go from where they lie, without a copy through a provider's buffer.
    using ContentSource = std::function<DataPhase()>;

    static DirectoryKey folderOf(const Node& node, std::string_view path);
    /// The folder whose listing holds the object.
    static DirectoryKey folderKeyOf(const MTPObject& object);
    static std::unordered_map<std::string, std::size_t> nameIndexOf(const DirectoryListing& listing);
    static std::string storageNameIn(const StorageInfo& storage, const std::vector<StorageInfo>& storages);
    static void dropFolder(State& state, const DirectoryKey& key);
    static void invalidateIn(State& state, const MTPObject& object);
    static void dropDescendants(State& state, std::uint32_t folder);
    /// Puts the record into the cached listing of its folder (in place of the object of the same handle,
    /// or at the end) and into the object records, leaving the rest of the listing as it is.
    static void storeInFolder(State& state, const DirectoryKey& key, const MTPObject& record);
    /// Takes an object out of its cached folder and the object records.
    static void forgetInFolder(State& state, const DirectoryKey& key, std::uint32_t handle);

    /// Drops the folder's listing and raises the generation, after a change inside it.
    void folderChanged(const DirectoryKey& key);
    void requireSupport(PTPOperation operation) const;
    /// The object of that name that the folder's cached listing shows, if it is cached.
    std::optional<MTPObject> cachedChild(const DirectoryKey& key, std::string_view name) const;
    /// Sends a new object, SendObjectInfo and SendObject in one hold of the device; returns its handle.
    /// An object that was announced and not fully sent is deleted again where the device allows.
    std::uint32_t sendObject(const DirectoryKey& key, std::string_view name, std::uint64_t size,
                             std::optional<TimePoint> modified, const DataPhase& contents);
    /// Sends a new file as a PartialFile. When renames are not known to work yet and the file completes
    /// later, one rename is tried at once, so that its completion cannot meet a refusal without the
    /// contents at hand.
    PartialFile sendPartial(const DirectoryKey& key, std::string_view name, std::uint64_t size,
                            std::optional<TimePoint> modified, const ContentSource& source,
                            std::optional<MTPObject> replacing, Completion completion);
    /// completeFile with the contents at hand: a device that refuses the rename gets them again under the
    /// file's name. Deletes the partial object when the file cannot be completed.
    MTPObject completeSent(const PartialFile& file, const ContentSource& source);
    /// Deletes an object, taking a device's "no such object" as done.
    void deleteIfThere(const MTPObject& object);
    /// Renames the object, learning whether the device renames: null when it did, else its refusal.
    std::exception_ptr renameLearning(const MTPObject& object, std::string_view to);
    /// A name in the folder that no cached object has, made of the file's name and the word, which says
    /// what the file is waiting for ("incomplete", "replacing").
    std::string temporaryNameIn(const DirectoryKey& key, std::string_view name, std::string_view word);
    /// Waits, on the clock, until a listing that another caller runs has ended.
    DirectoryListing awaitListing(const std::shared_future<DirectoryListing>& running);
    /// Wakes the callers that wait for listings, after one has ended.
    void listingEnded();

    const std::shared_ptr<MTPDevice> m_device;
    platform::Clock& m_clock;
    platform::Guarded<State> m_state; // the one state lock: held only inside withLock, never across a
                                      // device call, a wait or a callback
    std::mutex m_listingWait;         // pairs with m_listingEnded; a leaf, held by nothing else
    std::condition_variable_any m_listingEnded;
};

} // namespace corvane
