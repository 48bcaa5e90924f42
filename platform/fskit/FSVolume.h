#pragma once

#include "platform/fskit/Error.h"
#include "platform/fskit/FSEntityIdentifier.h"
#include "platform/fskit/FSFileName.h"
#include "platform/fskit/FSItem.h"
#include "platform/fskit/FSItemAttributes.h"
#include "platform/fskit/FSKitTypes.h"
#include "platform/fskit/FSReply.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fskit {

/// What a host keeps of a volume's names and attributes between its requests: told of every change the
/// volume learns of that the host did not make through it (a change on the device), so that the host
/// drops what it kept. Both members may be called from any thread, also while the volume answers a
/// request, and return without waiting for anything the host is serving.
class FSVolumeChangeObserver {
public:
    virtual ~FSVolumeChangeObserver() = default;
    /// The item's attributes or contents changed.
    virtual void itemChanged(const FSItem& item) = 0;
    /// The name in the folder names another item now, or none.
    virtual void nameChanged(const FSItem& directory, const std::string& name) = 0;
};

/// A mounted file system's identity: its identifier and its name. Volumes subclass it together with
/// the operation groups below that they implement.
class FSVolume {
public:
    FSVolume(FSVolumeIdentifier volumeID, FSFileName volumeName)
        : m_volumeID(std::move(volumeID)), m_name(std::move(volumeName)) {}
    virtual ~FSVolume() = default;
    FSVolume(const FSVolume&) = delete;
    FSVolume& operator=(const FSVolume&) = delete;

    const FSVolumeIdentifier& volumeID() const noexcept { return m_volumeID; }
    const FSFileName& name() const noexcept { return m_name; }

    /// The host that is told of changes while it lives; null for none. Any thread.
    void setChangeObserver(const std::shared_ptr<FSVolumeChangeObserver>& observer) {
        std::lock_guard guard(m_observerLock);
        m_observer = observer;
    }

protected:
    /// Tell the host, if one listens. Any thread; never waits for the host.
    void itemChanged(const FSItem& item) const {
        if (const auto observer = changeObserver()) {
            observer->itemChanged(item);
        }
    }
    void nameChanged(const FSItem& directory, const std::string& name) const {
        if (const auto observer = changeObserver()) {
            observer->nameChanged(directory, name);
        }
    }

private:
    std::shared_ptr<FSVolumeChangeObserver> changeObserver() const {
        std::lock_guard guard(m_observerLock);
        return m_observer.lock();
    }

    FSVolumeIdentifier m_volumeID;
    FSFileName m_name;
    mutable std::mutex m_observerLock; // a leaf: guards m_observer only
    std::weak_ptr<FSVolumeChangeObserver> m_observer;
};

/// A volume's statistics, as statfs reports them.
struct FSStatFSResult {
    explicit FSStatFSResult(std::string typeName) : fileSystemTypeName(std::move(typeName)) {}

    std::string fileSystemTypeName;
    std::uint64_t blockSize = 0;
    std::uint64_t ioSize = 0;
    std::uint64_t totalBlocks = 0;
    std::uint64_t availableBlocks = 0;
    std::uint64_t freeBlocks = 0;
    std::uint64_t usedBlocks = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t availableBytes = 0;
    std::uint64_t freeBytes = 0;
    std::uint64_t usedBytes = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t freeFiles = 0;
};

enum class FSVolumeCaseFormat { sensitive, insensitive, insensitiveCasePreserving };

/// What a volume can do; every flag starts false and the case format case-sensitive.
struct FSVolumeSupportedCapabilities {
    bool supportsPersistentObjectIDs = false;
    bool supportsSymbolicLinks = false;
    bool supportsHardLinks = false;
    bool supportsJournal = false;
    bool supportsActiveJournal = false;
    bool doesNotSupportRootTimes = false;
    bool supportsSparseFiles = false;
    bool supportsZeroRuns = false;
    bool supportsFastStatFS = false;
    bool supports2TBFiles = false;
    bool supportsOpenDenyModes = false;
    bool supportsHiddenFiles = false;
    bool doesNotSupportVolumeSizes = false;
    bool supports64BitObjectIDs = false;
    bool supportsDocumentID = false;
    bool doesNotSupportImmutableFiles = false;
    bool doesNotSupportSettingFilePermissions = false;
    FSVolumeCaseFormat caseFormat = FSVolumeCaseFormat::sensitive;
};

/// The buffer a read fills. The platform owns it and keeps it alive until the read's reply; the reply's
/// count says how many of its leading bytes the volume wrote, never more than length().
class FSMutableFileDataBuffer {
public:
    // Left uninitialised: only the bytes the volume writes are ever read, and clearing a megabyte for
    // every read cost as much as copying it.
    explicit FSMutableFileDataBuffer(std::size_t length)
        : m_bytes(std::make_unique_for_overwrite<std::byte[]>(length)), m_length(length) {}
    FSMutableFileDataBuffer(const FSMutableFileDataBuffer&) = delete;
    FSMutableFileDataBuffer& operator=(const FSMutableFileDataBuffer&) = delete;

    std::size_t length() const noexcept { return m_length; }
    std::span<std::byte> mutableBytes() noexcept { return {m_bytes.get(), m_length}; }
    /// The bytes read: those lent, when the volume lent some, else the buffer's own.
    std::span<const std::byte> bytes() const noexcept {
        return m_lent ? m_lentBytes : std::span<const std::byte>(m_bytes.get(), m_length);
    }

    /// Instead of copying them in, the volume may lend bytes that `keeper` holds unchanged until the
    /// platform lets go of the buffer; the platform then answers from them, which saves a copy of every
    /// read. At most length() bytes are taken.
    void lend(std::shared_ptr<const void> keeper, std::span<const std::byte> lent) noexcept {
        m_lent = std::move(keeper);
        m_lentBytes = lent.first(std::min(lent.size(), m_length));
    }

private:
    std::unique_ptr<std::byte[]> m_bytes;
    std::size_t m_length;
    std::shared_ptr<const void> m_lent;
    std::span<const std::byte> m_lentBytes;
};

/// Where a volume puts the entries of one page of a directory listing. Each entry carries the cookie
/// at which the next page starts if this entry is the last one packed.
class FSDirectoryEntryPacker {
public:
    virtual ~FSDirectoryEntryPacker() = default;

    /// Returns false when the page is full: the entry was not taken and the volume should reply.
    /// attributes is null unless the enumeration asked for attributes. Not thread-safe: one
    /// enumeration packs from one thread at a time, and never after its reply.
    virtual bool packEntry(const FSFileName& name, FSItemType itemType, FSItemID itemID,
                           FSDirectoryCookie nextCookie, const FSItemAttributes* attributes) = 0;
};

// The replies of the volume operations. Each carries the error last; no error means success.
using StatusReply = Reply<std::optional<Error>>;
using UnmountReply = Reply<>;
using ItemReply = Reply<std::shared_ptr<FSItem>, std::optional<Error>>;
using ItemNameReply = Reply<std::shared_ptr<FSItem>, std::optional<FSFileName>, std::optional<Error>>;
using NameReply = Reply<std::optional<FSFileName>, std::optional<Error>>;
using AttributesReply = Reply<std::optional<FSItemAttributes>, std::optional<Error>>;
using EnumerateReply = Reply<FSDirectoryVerifier, std::optional<Error>>;
using ByteCountReply = Reply<std::size_t, std::optional<Error>>;

/// Constant limits that a volume reports for pathconf.
class FSVolumePathConfOperations {
public:
    virtual ~FSVolumePathConfOperations() = default;
    virtual std::uint32_t maximumLinkCount() const = 0;
    virtual std::uint32_t maximumNameLength() const = 0;
    virtual bool restrictsOwnershipChanges() const = 0;
    virtual bool truncatesLongNames() const = 0;
    virtual std::uint64_t maximumFileSize() const = 0;
};

/// The core operations of a volume. The platform calls them on any of its threads, several at once;
/// each answers through its reply exactly once, possibly later and from another thread. Items are the
/// ones this volume handed out. Properties (statistics, capabilities) answer at once on the caller's
/// thread.
class FSVolumeOperations : public FSVolumePathConfOperations {
public:
    virtual FSVolumeSupportedCapabilities supportedVolumeCapabilities() const = 0;
    virtual FSStatFSResult volumeStatistics() const = 0;

    virtual void mount(FSTaskOptions options, StatusReply reply) = 0;
    virtual void unmount(UnmountReply reply) = 0;
    /// Replies with the root item.
    virtual void activate(FSTaskOptions options, ItemReply reply) = 0;
    virtual void deactivate(FSDeactivateOptions options, StatusReply reply) = 0;
    virtual void synchronize(FSSyncFlags flags, StatusReply reply) = 0;

    virtual void getAttributes(FSItemGetAttributesRequest desired, std::shared_ptr<FSItem> item,
                               AttributesReply reply) = 0;
    /// Marks what it applied in the request's consumed attributes before replying.
    virtual void setAttributes(std::shared_ptr<FSItemSetAttributesRequest> newAttributes,
                               std::shared_ptr<FSItem> item, AttributesReply reply) = 0;

    /// Replies with the item and its name as the volume spells it.
    virtual void lookupItem(FSFileName name, std::shared_ptr<FSItem> directory, ItemNameReply reply) = 0;
    /// The platform no longer refers to the item.
    virtual void reclaimItem(std::shared_ptr<FSItem> item, StatusReply reply) = 0;
    virtual void readSymbolicLink(std::shared_ptr<FSItem> item, NameReply reply) = 0;

    virtual void createItem(FSFileName name, FSItemType type, std::shared_ptr<FSItem> directory,
                            std::shared_ptr<FSItemSetAttributesRequest> newAttributes,
                            ItemNameReply reply) = 0;
    virtual void createSymbolicLink(FSFileName name, std::shared_ptr<FSItem> directory,
                                    std::shared_ptr<FSItemSetAttributesRequest> newAttributes,
                                    FSFileName linkContents, ItemNameReply reply) = 0;
    /// Replies with the link's name.
    virtual void createLink(std::shared_ptr<FSItem> item, FSFileName name, std::shared_ptr<FSItem> directory,
                            NameReply reply) = 0;
    virtual void removeItem(std::shared_ptr<FSItem> item, FSFileName name, std::shared_ptr<FSItem> directory,
                            StatusReply reply) = 0;
    /// Moves and renames item; overItem, when present, is the item that the destination name names now
    /// and that the rename replaces. Replies with the new name.
    virtual void renameItem(std::shared_ptr<FSItem> item, std::shared_ptr<FSItem> sourceDirectory,
                            FSFileName sourceName, FSFileName destinationName,
                            std::shared_ptr<FSItem> destinationDirectory, std::shared_ptr<FSItem> overItem,
                            NameReply reply) = 0;

    /// Packs one page of the directory's entries, starting at the cookie (0: from the start), and
    /// replies with the verifier that the next page must be asked with. attributes is present when each
    /// entry should carry its attributes. The packer stays valid until the reply.
    virtual void enumerateDirectory(std::shared_ptr<FSItem> directory, FSDirectoryCookie startingAtCookie,
                                    FSDirectoryVerifier verifier,
                                    std::optional<FSItemGetAttributesRequest> attributes,
                                    std::shared_ptr<FSDirectoryEntryPacker> packer, EnumerateReply reply) = 0;
};

/// Reading and writing file contents.
class FSVolumeReadWriteOperations {
public:
    virtual ~FSVolumeReadWriteOperations() = default;
    /// Fills the start of buffer and replies with the number of bytes placed (0 at end of file).
    virtual void readFromFile(std::shared_ptr<FSItem> item, off_t offset, std::size_t length,
                              std::shared_ptr<FSMutableFileDataBuffer> buffer, ByteCountReply reply) = 0;
    /// contents is valid only during the call: a volume that replies later copies it first. Replies with
    /// the number of bytes written.
    virtual void writeContents(std::span<const std::byte> contents, std::shared_ptr<FSItem> item,
                               off_t offset, ByteCountReply reply) = 0;
};

/// Opening and closing items; a volume without it has every open and close succeed.
class FSVolumeOpenCloseOperations {
public:
    virtual ~FSVolumeOpenCloseOperations() = default;
    virtual void openItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) = 0;
    /// modes are the ones that stay open after this close.
    virtual void closeItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) = 0;
};

} // namespace fskit
