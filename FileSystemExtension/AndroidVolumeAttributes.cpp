// Item attributes, and the one change of them that reaches the device: a file's size.
#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <unistd.h>

namespace tandalo {

namespace {

using fskit::FSItemAttribute;
using fskit::FSItemAttributeSet;

constexpr std::uint32_t directoryMode = 0755;
constexpr std::uint32_t fileMode = 0644;
constexpr std::uint32_t writeBits = 0222;

/// What set-attributes accepts without doing anything: the device keeps no owners, modes or flags, and of
/// the times only the modification date, which every time shown is.
constexpr FSItemAttributeSet ignored = FSItemAttribute::mode | FSItemAttribute::uid | FSItemAttribute::gid |
                                       FSItemAttribute::flags | FSItemAttribute::accessTime |
                                       FSItemAttribute::changeTime | FSItemAttribute::birthTime |
                                       FSItemAttribute::backupTime | FSItemAttribute::addedTime;

/// How close a time the caller gave must lie to the volume's clock to be taken for "now": a kernel that
/// dates a touch itself sends its own current time instead of asking for "now", a moment earlier.
constexpr platform::Clock::Duration givenNowTolerance = std::chrono::milliseconds(50);
/// How close to now the date the device gave a file must lie for the file to count as dated just now.
constexpr platform::Clock::Duration datedNowTolerance = std::chrono::seconds(2);

bool within(platform::Clock::WallTime time, platform::Clock::WallTime other,
            platform::Clock::Duration limit) {
    return time - other <= limit && other - time <= limit;
}

/// Whether the request sets the modification date to "now" (touch, utimensat's UTIME_NOW).
bool asksForNow(AndroidVolume& volume, const fskit::FSItemSetAttributesRequest& request) {
    return request.isValid(FSItemAttribute::modifyTime) &&
           (request.modifyTimeIsNow() ||
            within(wallTime(request.modifyTime()), volume.clock().wallNow(), givenNowTolerance));
}

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
/// content lock keeps every write out meanwhile, so no write opens or ends a session in between.
void resizeOnDevice(AndroidVolume& volume, AndroidItem& item, std::uint64_t size) {
    std::lock_guard content(item.contentLock());
    struct Snapshot {
        corvane::MTPObject object;
        std::uint64_t size;
        bool isEditing;
    };
    const auto snapshot = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item.state(tables.lock);
        const auto& object = *state.kind.object();
        return Snapshot{object, state.pendingSize.value_or(object.size()), state.isEditing};
    });
    if (size == snapshot.size) {
        return;
    }
    sendUnsentWrite(volume, item);
    if (snapshot.isEditing) {
        volume.fs().truncateOpen(snapshot.object, size);
    } else {
        volume.fs().truncate(snapshot.object, size);
    }
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        state.pendingSize = size;
        state.readCache.reset();
    });
}

/// Applies a request to a file or folder on the device: its size, and its modification date where the
/// device keeps one. A date the device cannot keep stays unconsumed, so the caller hears that it was not
/// set. "Now" is true without asking of a file the device dates itself now: one being written, which it
/// dates when the writes end, or one it dated just now (a new file sent at its close). The caller refused
/// a size for a folder already.
void applyOnDevice(AndroidVolume& volume, AndroidItem& item, fskit::FSItemSetAttributesRequest& request,
                   bool beingWritten) {
    if (request.isValid(FSItemAttribute::size)) {
        resizeOnDevice(volume, item, request.size());
        consume(request, FSItemAttribute::size);
    }
    const auto datedNow = [&] {
        const auto modified = volume.withLock([&](AndroidVolume::Tables& tables) {
            const auto* object = item.state(tables.lock).kind.object();
            return object ? object->modified() : std::nullopt;
        });
        return modified && within(*modified, volume.clock().wallNow(), datedNowTolerance);
    };
    if (asksForNow(volume, request) && (beingWritten || datedNow())) {
        const auto date = wallTime(request.modifyTime());
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item.state(tables.lock);
            if (const auto* current = state.kind.object()) {
                state.kind = AndroidItem::Kind::object(withModified(*current, date));
            }
        });
        consume(request, FSItemAttribute::modifyTime);
    }
    if (request.isValid(FSItemAttribute::modifyTime) &&
        !request.wasAttributeConsumed(FSItemAttribute::modifyTime)) {
        const auto object =
            volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<corvane::MTPObject> {
                const auto* found = item.state(tables.lock).kind.object();
                return found ? std::optional(*found) : std::nullopt;
            });
        if (object) {
            const auto date = wallTime(request.modifyTime());
            try {
                volume.fs().setModified(*object, date);
                volume.withLock([&](AndroidVolume::Tables& tables) {
                    auto& state = item.state(tables.lock);
                    if (const auto* current = state.kind.object()) {
                        state.kind = AndroidItem::Kind::object(withModified(*current, date));
                    }
                });
                consume(request, FSItemAttribute::modifyTime);
            } catch (const corvane::PTPError& error) {
                if (error.kind() != corvane::PTPError::Kind::notSupported) {
                    throw;
                }
            }
        }
    }
    consume(request, ignored);
}

enum class MemoryResize { done, sent, tooLarge, sendFirst };

/// Resizes the contents of a file held in memory; the caller holds its content lock. A file that went to
/// the device meanwhile is resized there instead, and growing the file past what memory may hold of it is
/// never done in memory: a size that a program sets at will must not become an allocation.
MemoryResize resizeInMemory(AndroidVolume& volume, EphemeralItem& item, std::uint64_t size) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (state.sent) {
            return MemoryResize::sent;
        }
        // Writes collect behind a buffer that is on its way: the size is set on the device once it is there.
        if (state.takesTail || size > std::max<std::uint64_t>(flushThreshold, state.data.size())) {
            return state.destination.isDevice() ? MemoryResize::sendFirst : MemoryResize::tooLarge;
        }
        state.data.resize(static_cast<std::size_t>(size));
        state.modified = volume.clock().wallNow();
        return MemoryResize::done;
    });
}

/// Sets the size of an in-memory file, on the device when it has been sent there or is sent now because
/// the size asked for cannot be held in memory.
void resizeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item, std::uint64_t size) {
    for (bool sentOnce = false;;) {
        std::unique_lock content(item->contentLock());
        const auto outcome = resizeInMemory(volume, *item, size);
        content.unlock();
        switch (outcome) {
        case MemoryResize::done:
            return;
        case MemoryResize::tooLarge:
            throw posixError(EFBIG);
        case MemoryResize::sendFirst:
            // A file removed meanwhile stays in memory and is refused there.
            if (sentOnce) {
                throw posixError(EFBIG);
            }
            volume.flush(item, SendCompletion::growsLater);
            sentOnce = true;
            continue;
        case MemoryResize::sent:
            break;
        }
        resizeOnDevice(volume, *volume.sentItem(*item), size);
        return;
    }
}

/// Sets the modification date of an in-memory file. One that stays in memory keeps it there; one bound
/// for the device takes it along when it is sent, where the device lets a date be set at all.
void dateEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item,
                   fskit::FSItemSetAttributesRequest& request) {
    if (!request.isValid(FSItemAttribute::modifyTime)) {
        return;
    }
    const bool bound = volume.withLock(
        [&](AndroidVolume::Tables& tables) { return item->state(tables.lock).destination.isDevice(); });
    // A new file is dated "now" when it is sent, by the device or by its information, so that date needs
    // nothing of the device.
    const bool setOnDevice = bound && !asksForNow(volume, request);
    if (setOnDevice && !volume.fs().canSetModified(corvane::PTPObjectFormat::undefined)) {
        return;
    }
    std::lock_guard content(item->contentLock());
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item->state(tables.lock);
        state.modified = wallTime(request.modifyTime());
        state.modifiedSet = setOnDevice;
    });
    consume(request, FSItemAttribute::modifyTime);
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
        std::shared_ptr<AndroidItem> sent;
    };
    const auto snapshot = withLock([&](Tables& tables) {
        const auto& state = item.state(tables.lock);
        return Snapshot{state.parentID, state.data.size() + state.tail.size(), state.modified, state.sent};
    });
    if (snapshot.sent) {
        // A file sent to the device is its object, under this item's own identity.
        auto attributes = this->attributes(*snapshot.sent);
        attributes.setFileID(item.id());
        attributes.setParentID(snapshot.parentID);
        return attributes;
    }
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
    const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item);
    auto device = memory ? sentItem(*memory) : std::dynamic_pointer_cast<AndroidItem>(item);
    const auto answer = [this, memory, device] { return memory ? attributes(*memory) : attributes(*device); };
    if (memory && !device) {
        const bool bound =
            withLock([&](Tables& tables) { return memory->state(tables.lock).destination.isDevice(); });
        consume(*request, ignored);
        const bool keptHere =
            !request->isValid(FSItemAttribute::modifyTime) || !bound || asksForNow(*this, *request);
        if (keptHere) {
            // The common case, a metadata file or a new file still in memory, answers at once. A send in
            // progress holds the content lock, and the file is then changed from a task.
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                if (request->isValid(FSItemAttribute::modifyTime)) {
                    withLock([&](Tables& tables) {
                        auto& state = memory->state(tables.lock);
                        state.modified = wallTime(request->modifyTime());
                        state.modifiedSet = false;
                    });
                    consume(*request, FSItemAttribute::modifyTime);
                }
                const auto outcome = request->isValid(FSItemAttribute::size)
                                         ? resizeInMemory(*this, *memory, request->size())
                                         : MemoryResize::done;
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
        startTask([this, memory, request, reply] {
            try {
                dateEphemeral(*this, memory, *request);
                if (request->isValid(FSItemAttribute::size)) {
                    resizeEphemeral(*this, memory, request->size());
                    consume(*request, FSItemAttribute::size);
                }
            } catch (...) {
                reply(std::nullopt, fsError(std::current_exception()));
                return;
            }
            reply(attributes(*memory), std::nullopt);
        });
        return;
    }
    if (!device) {
        reply(std::nullopt, posixError(EINVAL));
        return;
    }
    if (readOnly()) {
        reply(std::nullopt, posixError(EROFS));
        return;
    }
    const bool isFile = withLock([&](Tables& tables) {
        const auto* object = device->state(tables.lock).kind.object();
        return object && !object->isDirectory();
    });
    // A folder, the root and a storage have no size to set, and no transaction is sent to find that out.
    if (request->isValid(FSItemAttribute::size) && !isFile) {
        reply(std::nullopt, posixError(EISDIR));
        return;
    }
    startTask([this, memory, device, request, answer, reply] {
        try {
            // A new file sent while it still grows, or a file with writes in an edit session, is dated by
            // the device when those writes end.
            const bool beingWritten = withLock([&](Tables& tables) {
                const auto& state = device->state(tables.lock);
                return (memory && !memory->state(tables.lock).complete) || state.isEditing ||
                       state.hasUnsentWrites();
            });
            applyOnDevice(*this, *device, *request, beingWritten);
        } catch (...) {
            reply(std::nullopt, fsError(std::current_exception()));
            return;
        }
        reply(answer(), std::nullopt);
    });
}

} // namespace tandalo
