// Renaming and moving: device objects through the device's move and rename, in-memory items in the
// volume's tables (and their object, once they have been sent), replacing the item at the destination.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <cerrno>

namespace tandalo {

namespace {

using DirectoryKey = corvane::MTPFileSystem::DirectoryKey;

/// Puts the object at the destination under the new name, with as few device calls as it takes, and
/// returns its record as the device now reports it.
corvane::MTPObject placeObject(AndroidVolume& volume, const corvane::MTPObject& object, bool moves,
                               const DirectoryKey& destination, const std::string& newName) {
    auto latest = object;
    if (moves) {
        volume.fs().move(latest, destination.storage, destination.parent);
        latest = volume.fs().object(latest.handle());
    }
    if (latest.name() != newName) {
        volume.fs().rename(latest, newName);
        latest = volume.fs().object(latest.handle());
    }
    return latest;
}

/// The device folder an object lies in, with the top of a storage as the library names it.
DirectoryKey folderOf(const corvane::MTPObject& object) {
    const auto parent = object.parent() == 0 ? corvane::MTPFileSystem::rootParent : object.parent();
    return {object.storageID(), parent};
}

void renameEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item,
                     const std::shared_ptr<AndroidItem>& toFolder, const std::string& newName,
                     std::optional<DirectoryKey> destination,
                     const std::shared_ptr<fskit::FSItem>& overItem) {
    volume.removeReplacedItem(overItem);
    // Taken after the replaced item is gone, so two renames over each other cannot wait on each other; it
    // keeps a send from going out under the old name while the tables already show the new one.
    std::lock_guard content(item->contentLock());
    const auto object =
        volume.withLock([&](AndroidVolume::Tables& tables) { return item->state(tables.lock).deviceObject; });
    std::optional<corvane::MTPObject> placed;
    if (object && destination) {
        placed = placeObject(volume, *object, !(folderOf(*object) == *destination), *destination, newName);
    }
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item->state(tables.lock);
        if (placed) {
            state.deviceObject = placed;
        }
        if (const auto folder = tables.ephemeral.find(state.parentID); folder != tables.ephemeral.end()) {
            if (const auto entry = folder->second.find(state.name);
                entry != folder->second.end() && entry->second == item) {
                folder->second.erase(entry);
            }
        }
        std::optional<EphemeralItem::Destination> newDestination;
        if (destination) {
            newDestination = EphemeralItem::Destination::device(destination->storage, destination->parent);
        }
        state.rename(newName, toFolder->id(), newDestination, volume.clock().wallNow());
        tables.addEphemeral(item);
        ++tables.generation;
    });
}

void renameDevice(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item, bool moves,
                  const std::shared_ptr<AndroidItem>& toFolder, const std::string& newName,
                  const DirectoryKey& destination, const std::shared_ptr<fskit::FSItem>& overItem) {
    // FSKit names the item itself as the one replaced when only the case or form of its name changes;
    // removing it would delete the very file being renamed.
    if (overItem != item) {
        volume.removeReplacedItem(overItem);
    }
    const auto object = volume.withLock(
        [&](AndroidVolume::Tables& tables) { return *item->state(tables.lock).kind.object(); });
    const auto latest = placeObject(volume, object, moves, destination, newName);
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item->state(tables.lock);
        state.kind = AndroidItem::Kind::object(latest);
        state.name = newName;
        // The item now lies in the destination folder; ".." and its attributes must say so.
        state.parentID = toFolder->id();
        // Inside an edit session the record still carries the size from before it.
        if (!state.isEditing) {
            state.pendingSize.reset();
        }
        ++tables.generation;
    });
}

} // namespace

void AndroidVolume::renameItem(std::shared_ptr<fskit::FSItem> item,
                               std::shared_ptr<fskit::FSItem> sourceDirectory, fskit::FSFileName,
                               fskit::FSFileName destinationName,
                               std::shared_ptr<fskit::FSItem> destinationDirectory,
                               std::shared_ptr<fskit::FSItem> overItem, fskit::NameReply reply) {
    const auto newName = destinationName.string();
    const auto toFolder = std::dynamic_pointer_cast<AndroidItem>(destinationDirectory);

    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        if (!newName || !toFolder) {
            reply(std::nullopt, posixError(EINVAL));
            return;
        }
        if (overItem == item) {
            reply(std::move(destinationName), std::nullopt);
            return;
        }
        const bool bound =
            withLock([&](Tables& tables) { return memory->state(tables.lock).destination.isDevice(); });
        // A metadata file renamed to an ordinary name is a file the user means to keep: it goes to the
        // device, or it would be gone at unmount while the folder still shows it.
        const bool becomesDeviceFile = !bound && !isEphemeralName(*newName);
        std::optional<DirectoryKey> destination;
        if (bound || becomesDeviceFile) {
            // A file bound for the device under a metadata name would go there and never be shown again.
            if (isEphemeralName(*newName)) {
                reply(std::nullopt, posixError(EPERM));
                return;
            }
            try {
                const auto kind = withLock([&](Tables& tables) { return toFolder->state(tables.lock).kind; });
                destination = tandalo::destinationFolder(kind);
            } catch (...) {
                reply(std::nullopt, fsError(std::current_exception()));
                return;
            }
        }
        startTask([this, memory, toFolder, name = *newName, destination, overItem, becomesDeviceFile,
                   destinationName, reply] {
            if (readOnly() && destination) {
                reply(std::nullopt, posixError(EROFS));
                return;
            }
            try {
                renameEphemeral(*this, memory, toFolder, name, destination, overItem);
                // Nothing else would send it before unmount: the file is usually closed by now.
                if (becomesDeviceFile) {
                    flush(memory);
                }
            } catch (...) {
                reply(std::nullopt, fsError(std::current_exception()));
                return;
            }
            reply(destinationName, std::nullopt);
        });
        return;
    }

    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    const auto sourceFolder = std::dynamic_pointer_cast<AndroidItem>(sourceDirectory);
    const auto isObject = device && withLock([&](Tables& tables) {
                              return device->state(tables.lock).kind.object() != nullptr;
                          });
    if (!isObject || !sourceFolder || !toFolder || !newName) {
        reply(std::nullopt, posixError(EINVAL));
        return;
    }
    if (readOnly()) {
        reply(std::nullopt, posixError(EROFS));
        return;
    }
    // A device object under a metadata name would vanish from every listing and look-up.
    if (isEphemeralName(*newName)) {
        reply(std::nullopt, posixError(EPERM));
        return;
    }
    DirectoryKey destination;
    try {
        const auto kind = withLock([&](Tables& tables) { return toFolder->state(tables.lock).kind; });
        destination = tandalo::destinationFolder(kind);
    } catch (...) {
        reply(std::nullopt, fsError(std::current_exception()));
        return;
    }
    const bool moves = sourceFolder->id() != toFolder->id();
    startTask(
        [this, device, moves, toFolder, name = *newName, destination, overItem, destinationName, reply] {
            try {
                renameDevice(*this, device, moves, toFolder, name, destination, overItem);
            } catch (...) {
                reply(std::nullopt, fsError(std::current_exception()));
                return;
            }
            reply(destinationName, std::nullopt);
        });
}

} // namespace tandalo
