// Renaming and moving: device objects through the device's move and rename, in-memory items in the
// volume's tables (and their object, once they have been sent), replacing the item at the destination
// only once the item renamed is in place.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <cerrno>

namespace tandalo {

namespace {

using DirectoryKey = corvane::MTPFileSystem::DirectoryKey;

/// The device object that a rename over the item replaces: a device file or folder, or a new file that
/// is whole on the device. An in-memory item that stands in its folder is replaced in the tables alone.
std::optional<corvane::MTPObject> replacedObject(AndroidVolume& volume,
                                                 const std::shared_ptr<fskit::FSItem>& item) {
    auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        const bool whole = volume.withLock(
            [&](AndroidVolume::Tables& tables) { return memory->state(tables.lock).complete; });
        device = whole ? volume.sentItem(*memory) : nullptr;
    }
    if (!device) {
        return std::nullopt;
    }
    return volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<corvane::MTPObject> {
        const auto* object = device->state(tables.lock).kind.object();
        return object ? std::optional(*object) : std::nullopt;
    });
}

/// Whether the item is the same file as the renamed one: FSKit names the item itself as the one
/// replaced when only the case or form of its name changes, and removing it would delete the file.
bool sameFile(AndroidVolume& volume, const std::shared_ptr<fskit::FSItem>& over,
              const std::shared_ptr<AndroidItem>& device) {
    if (over == device) {
        return true;
    }
    const auto memory = std::dynamic_pointer_cast<EphemeralItem>(over);
    return memory && volume.sentItem(*memory) == device;
}

/// What a rename over the item must do before the renamed item takes its place: a folder that shows
/// children stops it; an in-memory item leaves its folder (with what of it reached the device). Returns
/// the device object that is to go once the renamed item is in place.
std::optional<corvane::MTPObject> prepareReplacement(AndroidVolume& volume,
                                                     const std::shared_ptr<fskit::FSItem>& over) {
    if (!over) {
        return std::nullopt;
    }
    volume.requireReplaceable(over);
    auto replaced = replacedObject(volume, over);
    if (!replaced && std::dynamic_pointer_cast<EphemeralItem>(over)) {
        volume.removeReplacedItem(over);
    }
    return replaced;
}

void renameEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item,
                     const std::shared_ptr<AndroidItem>& toFolder, const std::string& newName,
                     std::optional<DirectoryKey> destination, bool becomesDeviceFile,
                     const std::shared_ptr<fskit::FSItem>& overItem) {
    const auto replaced = prepareReplacement(volume, overItem);
    // Taken after the replaced item is gone, so two renames over each other cannot wait on each other; it
    // keeps a send from going out under the old name while the tables already show the new one.
    std::unique_lock content(item->contentLock());
    struct Before {
        std::string name;
        std::uint64_t parentID;
        EphemeralItem::Destination destination;
        std::shared_ptr<AndroidItem> sent;
        std::optional<corvane::MTPObject> replacing;
    };
    const auto before = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        return Before{state.name, state.parentID, state.destination, state.sent, state.replacing};
    });
    // A device file that an earlier rename put this one over went with that rename; it only waited on the
    // device for this file to be whole, and this file now goes elsewhere.
    if (before.replacing && !(replaced && replaced->handle() == before.replacing->handle())) {
        volume.fs().remove(*before.replacing);
    }
    std::optional<corvane::MTPObject> placed;
    if (before.sent && destination) {
        const auto object = volume.withLock(
            [&](AndroidVolume::Tables& tables) { return *before.sent->state(tables.lock).kind.object(); });
        const auto parent = object.parent() == 0 ? corvane::MTPFileSystem::rootParent : object.parent();
        // It keeps the name that says it is incomplete until it is whole.
        if (!(DirectoryKey{object.storageID(), parent} == *destination)) {
            placed = volume.fs().place(object, destination->storage, destination->parent, object.name());
        }
    }
    const auto apply = [&](const std::string& name, std::uint64_t parentID,
                           std::optional<EphemeralItem::Destination> to,
                           std::optional<corvane::MTPObject> replacing) {
        volume.withLock([&](AndroidVolume::Tables& tables) {
            tables.takeOut(item);
            auto& state = item->state(tables.lock);
            state.rename(name, parentID, to, volume.clock().wallNow());
            state.replacing = std::move(replacing);
            tables.addEphemeral(item);
            ++tables.generation;
        });
    };
    std::optional<EphemeralItem::Destination> newDestination;
    if (destination) {
        newDestination = EphemeralItem::Destination::device(destination->storage, destination->parent);
    }
    if (placed) {
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = before.sent->state(tables.lock);
            state.kind = AndroidItem::Kind::object(*placed);
            state.parentID = toFolder->id();
        });
    }
    apply(newName, toFolder->id(), newDestination, replaced);
    if (!becomesDeviceFile) {
        return;
    }
    // Nothing else would send it before unmount: the file is usually closed by now. Until it is on the
    // device the rename has not happened, and a failure leaves the item as it was.
    content.unlock();
    try {
        volume.flush(item, SendCompletion::whole);
    } catch (...) {
        apply(before.name, before.parentID, before.destination, before.replacing);
        throw;
    }
}

void renameDevice(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item,
                  const std::shared_ptr<AndroidItem>& toFolder, const std::string& newName,
                  const DirectoryKey& destination, const std::shared_ptr<fskit::FSItem>& overItem) {
    const auto replaced =
        sameFile(volume, overItem, item) ? std::nullopt : prepareReplacement(volume, overItem);
    const auto object = volume.withLock(
        [&](AndroidVolume::Tables& tables) { return *item->state(tables.lock).kind.object(); });
    const auto latest = volume.fs().place(object, destination.storage, destination.parent, newName, replaced);
    if (replaced) {
        if (const auto gone = volume.withLock([&](AndroidVolume::Tables& tables) {
                const auto entry =
                    tables.items.find(AndroidItem::identifier(AndroidItem::Kind::object(*replaced)));
                return entry == tables.items.end() ? nullptr : entry->second;
            })) {
            // The device ended the replaced file's edit session with it.
            volume.withLock([&](AndroidVolume::Tables& tables) {
                auto& state = gone->state(tables.lock);
                state.isEditing = false;
                state.dropUnsentWrites();
            });
        }
    }
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
                               std::shared_ptr<fskit::FSItem> sourceDirectory, fskit::FSFileName sourceName,
                               fskit::FSFileName destinationName,
                               std::shared_ptr<fskit::FSItem> destinationDirectory,
                               std::shared_ptr<fskit::FSItem> overItem, fskit::NameReply reply) {
    const auto newName = destinationName.string();
    const auto toFolder = std::dynamic_pointer_cast<AndroidItem>(destinationDirectory);
    if (newName && !fitsOnDevice(*newName)) {
        reply(std::nullopt, posixError(ENAMETOOLONG));
        return;
    }

    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        // A file that is whole on the device is its object's item.
        const bool whole = withLock([&](Tables& tables) { return memory->state(tables.lock).complete; });
        if (const auto device = whole ? sentItem(*memory) : nullptr) {
            renameItem(device, std::move(sourceDirectory), std::move(sourceName), std::move(destinationName),
                       std::move(destinationDirectory), overItem == item ? device : std::move(overItem),
                       std::move(reply));
            return;
        }
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
                renameEphemeral(*this, memory, toFolder, name, destination, becomesDeviceFile, overItem);
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
    startTask([this, device, toFolder, name = *newName, destination, overItem, destinationName, reply] {
        try {
            renameDevice(*this, device, toFolder, name, destination, overItem);
        } catch (...) {
            reply(std::nullopt, fsError(std::current_exception()));
            return;
        }
        reply(destinationName, std::nullopt);
    });
}

} // namespace tandalo
