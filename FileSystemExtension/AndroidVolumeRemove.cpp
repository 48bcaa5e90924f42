// Removing items: device objects (a folder only when it shows no children), and in-memory items, with the
// object that a new file was sent as.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/EphemeralItem.h"
#include "FileSystemExtension/ErrorMapping.h"

#include <cerrno>

namespace tandalo {

namespace {

/// The device ends an edit session with its object: nothing is left to send or to end at the last close.
void forgetSession(AndroidVolume& volume, AndroidItem& item) {
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        state.isEditing = false;
        state.dropUnsentWrites();
    });
}

/// Takes an in-memory item out of its folder. One never sent stays a file of its opener's until the last
/// close, in memory only: nothing would show it on the device, so it never goes there, and it may hold no
/// more than the write buffer. One sent, and not yet whole, takes what reached the device with it.
/// The content lock keeps a send in progress from finishing after the item is gone, which would leave a
/// file on the device that nothing shows. Returns whether an object was deleted.
bool removeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item) {
    std::lock_guard content(item->contentLock());
    const auto device = volume.withLock([&](AndroidVolume::Tables& tables) -> std::shared_ptr<AndroidItem> {
        tables.takeOut(item);
        auto& state = item->state(tables.lock);
        if (!state.sent) {
            state.destination = EphemeralItem::Destination::memoryOnly();
        }
        return state.sent;
    });
    if (!device) {
        return false;
    }
    const auto object = volume.withLock(
        [&](AndroidVolume::Tables& tables) { return *device->state(tables.lock).kind.object(); });
    volume.fs().remove(object);
    forgetSession(volume, *device);
    return true;
}

/// Throws ENOTEMPTY for a folder that shows children; Finder's metadata and in-memory items do not count.
void requireEmpty(AndroidVolume& volume, const AndroidItem& folder, const corvane::MTPObject& object) {
    if (!object.isDirectory()) {
        return;
    }
    if (!volume.children(folder).empty()) {
        throw posixError(ENOTEMPTY);
    }
    // The children hide a device object behind an in-memory item of the same name, which is what a file
    // written through the volume and not yet whole looks like: it still makes the folder non-empty, or
    // removing the folder would delete the user's file with it.
    for (const auto& child : volume.fs().list(object.storageID(), object.handle())) {
        if (!isEphemeralName(child.name())) {
            throw posixError(ENOTEMPTY);
        }
    }
}

std::optional<corvane::MTPObject> objectOf(AndroidVolume& volume, const AndroidItem& item) {
    return volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<corvane::MTPObject> {
        const auto* found = item.state(tables.lock).kind.object();
        return found ? std::optional(*found) : std::nullopt;
    });
}

} // namespace

void AndroidVolume::removeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                               std::shared_ptr<fskit::FSItem> directory, fskit::StatusReply reply) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        const bool standsInFolder = withLock([&](Tables& tables) {
            const auto& state = memory->state(tables.lock);
            return tables.ephemeralChild(state.name, state.parentID) == memory;
        });
        // A file that is whole on the device is its object's item.
        if (const auto device = sentItem(*memory); device && !standsInFolder) {
            removeItem(device, std::move(name), std::move(directory), std::move(reply));
            return;
        }
        {
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                const bool sent = withLock([&](Tables& tables) {
                    auto& state = memory->state(tables.lock);
                    if (state.sent) {
                        return true;
                    }
                    tables.takeOut(memory);
                    state.destination = EphemeralItem::Destination::memoryOnly();
                    return false;
                });
                if (!sent) {
                    reply(std::nullopt);
                    return;
                }
            }
        }
        startTask([this, memory, reply] {
            try {
                if (removeEphemeral(*this, memory)) {
                    withLock([](Tables& tables) { ++tables.generation; });
                }
            } catch (...) {
                reply(fsError(std::current_exception()));
                return;
            }
            reply(std::nullopt);
        });
        return;
    }
    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        reply(posixError(EINVAL));
        return;
    }
    if (readOnly()) {
        reply(posixError(EROFS));
        return;
    }
    const auto object = objectOf(*this, *device);
    if (!object) {
        reply(posixError(EPERM));
        return;
    }
    startTask([this, device, object = *object, reply] {
        try {
            requireEmpty(*this, *device, object);
            fs().remove(object);
        } catch (...) {
            reply(fsError(std::current_exception()));
            return;
        }
        forgetSession(*this, *device);
        withLock([](Tables& tables) { ++tables.generation; });
        spaceChanged();
        reply(std::nullopt);
    });
}

void AndroidVolume::requireReplaceable(const std::shared_ptr<fskit::FSItem>& item) {
    if (const auto device = std::dynamic_pointer_cast<AndroidItem>(item)) {
        if (const auto object = objectOf(*this, *device)) {
            requireEmpty(*this, *device, *object);
        }
    }
}

void AndroidVolume::removeReplacedItem(const std::shared_ptr<fskit::FSItem>& item) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        if (const auto device = sentItem(*memory);
            device && withLock([&](Tables& tables) { return memory->state(tables.lock).complete; })) {
            removeReplacedItem(device);
            return;
        }
        removeEphemeral(*this, memory);
        return;
    }
    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        return;
    }
    const auto object = objectOf(*this, *device);
    if (!object) {
        return;
    }
    requireEmpty(*this, *device, *object);
    fs().remove(*object);
    forgetSession(*this, *device);
}

} // namespace tandalo
