// Removing items: device objects (a folder only when it shows no children), and in-memory items, with the
// object that a new file was sent as.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/EphemeralItem.h"
#include "FileSystemExtension/ErrorMapping.h"

#include <cerrno>

namespace tandalo {

namespace {

/// Takes the in-memory item out of its folder's table, if it is still there under its name.
void takeOut(AndroidVolume::Tables& tables, const std::shared_ptr<EphemeralItem>& item) {
    const auto& state = item->state(tables.lock);
    const auto folder = tables.ephemeral.find(state.parentID);
    if (folder == tables.ephemeral.end()) {
        return;
    }
    if (const auto entry = folder->second.find(state.name);
        entry != folder->second.end() && entry->second == item) {
        folder->second.erase(entry);
        if (folder->second.empty()) {
            tables.ephemeral.erase(folder);
        }
    }
}

/// The device ends an edit session with its object: nothing is left to send or to end at the last close.
template <typename Item> void forgetSession(AndroidVolume& volume, Item& item) {
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        state.isEditing = false;
        state.unsentWrite.reset();
    });
}

/// Removes an in-memory item and, when it has been sent, its object. The content lock keeps a send in
/// progress from finishing after the item is gone, which would leave a file on the device that nothing
/// shows; a send that has not started finds the item gone and sends nothing. Returns whether an object
/// was deleted.
bool removeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item) {
    std::lock_guard content(item->contentLock());
    const auto object = volume.withLock([&](AndroidVolume::Tables& tables) {
        takeOut(tables, item);
        return item->state(tables.lock).deviceObject;
    });
    if (!object) {
        return false;
    }
    volume.fs().remove(*object);
    forgetSession(volume, *item);
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
    // written through the volume and already sent looks like: it still makes the folder non-empty, or
    // removing the folder would delete the user's file with it.
    for (const auto& child : volume.fs().list(object.storageID(), object.handle())) {
        if (!isEphemeralName(child.name())) {
            throw posixError(ENOTEMPTY);
        }
    }
}

} // namespace

void AndroidVolume::removeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName,
                               std::shared_ptr<fskit::FSItem>, fskit::StatusReply reply) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        {
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                const bool sent = withLock([&](Tables& tables) {
                    const auto& state = memory->state(tables.lock);
                    if (state.deviceObject) {
                        return true;
                    }
                    takeOut(tables, memory);
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
    const auto object = withLock([&](Tables& tables) -> std::optional<corvane::MTPObject> {
        const auto* found = device->state(tables.lock).kind.object();
        return found ? std::optional(*found) : std::nullopt;
    });
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
        reply(std::nullopt);
    });
}

void AndroidVolume::removeReplacedItem(const std::shared_ptr<fskit::FSItem>& item) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        removeEphemeral(*this, memory);
        return;
    }
    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        return;
    }
    const auto object = withLock([&](Tables& tables) -> std::optional<corvane::MTPObject> {
        const auto* found = device->state(tables.lock).kind.object();
        return found ? std::optional(*found) : std::nullopt;
    });
    if (!object) {
        return;
    }
    requireEmpty(*this, *device, *object);
    fs().remove(*object);
    forgetSession(*this, *device);
}

} // namespace tandalo
