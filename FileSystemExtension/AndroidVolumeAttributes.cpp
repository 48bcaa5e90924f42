// Item attributes, and the one change of them that reaches the device: a file's size.
#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/device/MTPDevice.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace tandalo {

namespace {

using fskit::FSItemAttribute;
using fskit::FSItemAttributeSet;

constexpr std::uint32_t directoryMode = 0755;
constexpr std::uint32_t fileMode = 0644;
constexpr std::uint32_t writeBits = 0222;

/// What set-attributes accepts without doing anything: the device keeps no owners, modes, flags or
/// settable times.
constexpr FSItemAttributeSet ignoredOnMemoryItems =
    FSItemAttribute::mode | FSItemAttribute::uid | FSItemAttribute::gid | FSItemAttribute::flags |
    FSItemAttribute::modifyTime | FSItemAttribute::accessTime | FSItemAttribute::changeTime |
    FSItemAttribute::birthTime;
constexpr FSItemAttributeSet ignoredOnDeviceItems =
    ignoredOnMemoryItems | FSItemAttribute::backupTime | FSItemAttribute::addedTime;

void setCommon(fskit::FSItemAttributes& attributes, std::uint64_t id, std::uint64_t parentID) {
    attributes.setLinkCount(1);
    attributes.setUid(static_cast<std::uint32_t>(::getuid()));
    attributes.setGid(static_cast<std::uint32_t>(::getgid()));
    attributes.setFlags(0);
    attributes.setFileID(id);
    attributes.setParentID(parentID);
}

/// Sets the size of a file that lives on the device. Inside an open edit session the device's own
/// truncate joins that session; outside one the file system opens a session of its own around it. The
/// caller holds the item's content lock, so no write opens or ends a session meanwhile.
void truncateOnDevice(AndroidVolume& volume, const corvane::MTPObject& object, bool isEditing,
                      std::uint64_t size) {
    if (isEditing) {
        volume.fs().device().truncate(object.handle(), size);
    } else {
        volume.fs().truncate(object, size);
    }
}

enum class MemoryResize { done, onDevice, tooLarge, flushFirst };

/// Resizes the contents of a file held in memory; the caller holds its content lock. A file that went to
/// the device meanwhile is resized there instead, and growing the file by more than the buffer may hold
/// is never done in memory: a size that a program sets at will must not become an allocation.
MemoryResize resizeInMemory(AndroidVolume& volume, EphemeralItem& item, std::uint64_t size) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (state.deviceObject) {
            return MemoryResize::onDevice;
        }
        if (size > std::max<std::uint64_t>(flushThreshold, state.data.size())) {
            return state.destination.isDevice() ? MemoryResize::flushFirst : MemoryResize::tooLarge;
        }
        state.data.resize(static_cast<std::size_t>(size));
        state.modified = volume.clock().wallNow();
        return MemoryResize::done;
    });
}

/// Sets the size of an in-memory item that has been sent to the device, or is sent now because the size
/// asked for cannot be held in memory.
void resizeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item, std::uint64_t size) {
    std::unique_lock content(item->contentLock());
    switch (resizeInMemory(volume, *item, size)) {
    case MemoryResize::done:
        return;
    case MemoryResize::tooLarge:
        throw posixError(EFBIG);
    case MemoryResize::flushFirst:
        content.unlock();
        volume.flush(item);
        content.lock();
        break;
    case MemoryResize::onDevice:
        break;
    }
    struct OnDevice {
        corvane::MTPObject object;
        bool isEditing;
    };
    const auto target = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        return OnDevice{*state.deviceObject, state.isEditing};
    });
    sendUnsentWrite(volume, *item);
    truncateOnDevice(volume, target.object, target.isEditing, size);
    volume.withLock([&](AndroidVolume::Tables& tables) { item->state(tables.lock).pendingSize = size; });
}

} // namespace

fskit::FSItemAttributes AndroidVolume::attributes(const AndroidItem& item) {
    struct Snapshot {
        AndroidItem::Kind kind;
        std::uint64_t parentID;
        std::optional<std::uint64_t> pendingSize;
    };
    const auto snapshot = withLock([&](Tables& tables) {
        const auto& state = item.state(tables.lock);
        return Snapshot{state.kind, state.parentID, state.pendingSize};
    });
    bool isDirectory = true;
    std::uint64_t size = 0;
    auto time = mountTime();
    if (const auto* object = snapshot.kind.object()) {
        isDirectory = object->isDirectory();
        if (!isDirectory) {
            size = snapshot.pendingSize.value_or(object->size());
        }
        if (object->modified()) {
            time = *object->modified();
        }
    }
    std::uint32_t mode = isDirectory ? directoryMode : fileMode;
    if (readOnly() || isWriteProtected(snapshot.kind)) {
        mode &= ~writeBits;
    }

    fskit::FSItemAttributes attributes;
    attributes.setType(isDirectory ? fskit::FSItemType::directory : fskit::FSItemType::file);
    attributes.setMode(mode);
    setCommon(attributes, item.id(), snapshot.parentID);
    attributes.setSize(size);
    attributes.setAllocSize(allocationSize(size));
    const auto stamp = timeSpec(time);
    attributes.setModifyTime(stamp);
    attributes.setChangeTime(stamp);
    attributes.setAccessTime(stamp);
    attributes.setBirthTime(stamp);
    attributes.setSupportsLimitedXAttrs(true);
    return attributes;
}

fskit::FSItemAttributes AndroidVolume::attributes(const EphemeralItem& item) {
    struct Snapshot {
        std::uint64_t parentID;
        std::uint64_t size;
        platform::Clock::WallTime modified;
    };
    const auto snapshot = withLock([&](Tables& tables) {
        const auto& state = item.state(tables.lock);
        std::uint64_t size = state.data.size();
        if (state.pendingSize) {
            size = *state.pendingSize;
        } else if (state.deviceObject) {
            size = state.deviceObject->size();
        }
        return Snapshot{state.parentID, size, state.modified};
    });
    fskit::FSItemAttributes attributes;
    attributes.setType(fskit::FSItemType::file);
    // Finder writes its metadata even on a read-only volume; it stays in memory, so that is harmless.
    attributes.setMode(fileMode);
    setCommon(attributes, item.id(), snapshot.parentID);
    attributes.setSize(snapshot.size);
    attributes.setAllocSize(allocationSize(snapshot.size));
    const auto modified = timeSpec(snapshot.modified);
    attributes.setModifyTime(modified);
    attributes.setChangeTime(modified);
    attributes.setAccessTime(modified);
    attributes.setBirthTime(timeSpec(item.created()));
    return attributes;
}

void AndroidVolume::getAttributes(fskit::FSItemGetAttributesRequest, std::shared_ptr<fskit::FSItem> item,
                                  fskit::AttributesReply reply) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        reply(attributes(*memory), std::nullopt);
    } else if (const auto device = std::dynamic_pointer_cast<AndroidItem>(item)) {
        reply(attributes(*device), std::nullopt);
    } else {
        reply(std::nullopt, posixError(EINVAL));
    }
}

void AndroidVolume::setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> request,
                                  std::shared_ptr<fskit::FSItem> item, fskit::AttributesReply reply) {
    if (!request) {
        request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    }
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        consume(*request, ignoredOnMemoryItems);
        if (!request->isValid(FSItemAttribute::size)) {
            reply(attributes(*memory), std::nullopt);
            return;
        }
        const auto size = request->size();
        {
            // The common case, a metadata file or a new file still in memory, answers at once. A flush in
            // progress holds the content lock, and the file is then resized on the device, from a task.
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                const auto outcome = resizeInMemory(*this, *memory, size);
                if (outcome == MemoryResize::tooLarge) {
                    reply(std::nullopt, posixError(EFBIG));
                    return;
                }
                if (outcome == MemoryResize::done) {
                    consume(*request, FSItemAttribute::size);
                    content.unlock();
                    reply(attributes(*memory), std::nullopt);
                    return;
                }
            }
        }
        startTask([this, memory, request, size, reply] {
            try {
                resizeEphemeral(*this, memory, size);
            } catch (...) {
                reply(std::nullopt, fsError(std::current_exception()));
                return;
            }
            consume(*request, FSItemAttribute::size);
            reply(attributes(*memory), std::nullopt);
        });
        return;
    }
    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        reply(std::nullopt, posixError(EINVAL));
        return;
    }
    if (readOnly()) {
        reply(std::nullopt, posixError(EROFS));
        return;
    }
    startTask([this, device, request, reply] {
        try {
            if (request->isValid(FSItemAttribute::size)) {
                const auto size = request->size();
                std::unique_lock content(device->contentLock());
                struct Snapshot {
                    std::optional<corvane::MTPObject> object;
                    std::optional<std::uint64_t> pendingSize;
                    bool isEditing;
                };
                const auto snapshot = withLock([&](Tables& tables) {
                    const auto& state = device->state(tables.lock);
                    const auto* object = state.kind.object();
                    return Snapshot{object ? std::optional(*object) : std::nullopt, state.pendingSize,
                                    state.isEditing};
                });
                // The root and the storages have no size to set; FSKit sees that nothing was applied.
                if (snapshot.object) {
                    if (size != snapshot.pendingSize.value_or(snapshot.object->size())) {
                        sendUnsentWrite(*this, *device);
                        truncateOnDevice(*this, *snapshot.object, snapshot.isEditing, size);
                        withLock([&](Tables& tables) {
                            auto& state = device->state(tables.lock);
                            state.pendingSize = size;
                            state.readCache.reset();
                        });
                    }
                    consume(*request, FSItemAttribute::size);
                }
            }
        } catch (...) {
            reply(std::nullopt, fsError(std::current_exception()));
            return;
        }
        consume(*request, ignoredOnDeviceItems);
        reply(attributes(*device), std::nullopt);
    });
}

} // namespace tandalo
