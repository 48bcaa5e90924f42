// Finding items: the children of a folder, one child by name, lookup, and FSKit letting go of items.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <cerrno>
#include <set>

namespace tandalo {

namespace {

AndroidItem::Kind kindOf(AndroidVolume& volume, const AndroidItem& item) {
    return volume.withLock([&](AndroidVolume::Tables& tables) { return item.state(tables.lock).kind; });
}

} // namespace

std::vector<AndroidVolume::FolderChild> AndroidVolume::children(const AndroidItem& folder) {
    const auto kind = kindOf(*this, folder);
    const auto place = deviceFolder(kind);
    if (!place) {
        return storageChildren();
    }
    return listedChildren(folder, fs().list(place->storage, place->parent));
}

std::optional<std::vector<AndroidVolume::FolderChild>>
AndroidVolume::cachedChildren(const AndroidItem& folder) {
    const auto kind = kindOf(*this, folder);
    const auto place = deviceFolder(kind);
    if (!place) {
        return storageChildren();
    }
    auto listing = fs().cachedListing(place->storage, place->parent);
    if (!listing) {
        return std::nullopt;
    }
    return listedChildren(folder, *listing);
}

std::vector<AndroidVolume::FolderChild> AndroidVolume::storageChildren() const {
    std::vector<FolderChild> found;
    for (const auto& storage : fs().storages()) {
        found.push_back({AndroidItem::Kind::storage(storage), fs().storageName(storage)});
    }
    return found;
}

std::vector<AndroidVolume::FolderChild>
AndroidVolume::listedChildren(const AndroidItem& folder, const corvane::DirectoryListing& listing) {
    noticeListing(folder, listing);
    struct Shadowing {
        std::set<std::string, std::less<>> names;
        /// The objects of new files that are not whole yet: they stand in the folder under their own name.
        std::set<std::uint32_t> handles;
    };
    const auto shadowing = withLock([&](Tables& tables) {
        Shadowing found;
        if (const auto inMemory = tables.ephemeral.find(folder.id()); inMemory != tables.ephemeral.end()) {
            for (const auto& [name, item] : inMemory->second) {
                found.names.insert(name);
                if (const auto& sent = item->state(tables.lock).sent) {
                    found.handles.insert(sent->state(tables.lock).kind.object()->handle());
                }
            }
        }
        return found;
    });
    std::vector<FolderChild> found;
    found.reserve(listing.size());
    for (const auto& object : listing) {
        // Metadata that another computer left on the device stays out of sight: Finder would take it for
        // its own and read or overwrite it.
        if (isEphemeralName(object.name()) || shadowing.names.contains(object.name()) ||
            shadowing.handles.contains(object.handle())) {
            continue;
        }
        found.push_back({AndroidItem::Kind::object(object), object.name()});
    }
    return found;
}

std::shared_ptr<AndroidItem> AndroidVolume::deviceChild(const std::string& name, const AndroidItem& folder) {
    const auto kind = kindOf(*this, folder);
    if (kind.isRoot()) {
        for (auto& child : children(folder)) {
            if (child.name == name) {
                return item(std::move(child.kind), child.name, folder);
            }
        }
        return nullptr;
    }
    const auto place = deviceFolder(kind);
    if (isEphemeralName(name)) {
        return nullptr;
    }
    const auto object = fs().child(place->storage, place->parent, name);
    if (const auto listing = fs().cachedListing(place->storage, place->parent)) {
        noticeListing(folder, *listing);
    }
    if (!object) {
        return nullptr;
    }
    return item(AndroidItem::Kind::object(*object), object->name(), folder);
}

namespace {

bool recordDiffers(const corvane::MTPObject& before, const corvane::MTPObject& after) {
    return before.name() != after.name() || before.size() != after.size() ||
           before.modified() != after.modified();
}

} // namespace

void AndroidVolume::noticeListing(const AndroidItem& folder, const corvane::DirectoryListing& listing) {
    struct Changes {
        std::vector<std::string> names;
        std::vector<std::shared_ptr<AndroidItem>> items;
    };
    const auto changes = withLock([&](Tables& tables) {
        Changes found;
        auto [seen, first] = tables.seenListings.try_emplace(folder.id(), listing);
        if (first || seen->second.isSameSnapshot(listing)) {
            return found;
        }
        std::unordered_map<std::uint32_t, const corvane::MTPObject*> now;
        now.reserve(listing.size());
        for (const auto& object : listing) {
            now.emplace(object.handle(), &object);
        }
        for (const auto& before : seen->second) {
            const auto after = now.find(before.handle());
            const bool gone = after == now.end();
            if (gone || after->second->name() != before.name()) {
                found.names.push_back(before.name());
            }
            if (gone || recordDiffers(before, *after->second)) {
                const auto item = tables.items.find(AndroidItem::objectIdentifierBit | before.handle());
                if (item != tables.items.end()) {
                    found.items.push_back(item->second);
                }
            }
        }
        seen->second = listing;
        return found;
    });
    for (const auto& name : changes.names) {
        nameChanged(folder, name);
    }
    for (const auto& item : changes.items) {
        itemChanged(*item);
    }
}

void AndroidVolume::noticeRecord(const AndroidItem& item, const corvane::MTPObject& before,
                                 const corvane::MTPObject& after) {
    if (recordDiffers(before, after)) {
        itemChanged(item);
    }
}

void AndroidVolume::lookupItem(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                               fskit::ItemNameReply reply) {
    const auto folder = std::dynamic_pointer_cast<AndroidItem>(directory);
    const auto text = name.string();
    if (!folder || !text) {
        reply(nullptr, std::nullopt, posixError(EINVAL));
        return;
    }
    struct Local {
        std::shared_ptr<fskit::FSItem> item;
        std::string name;
    };
    const auto local = withLock([&](Tables& tables) -> std::optional<Local> {
        if (auto inMemory = tables.ephemeralChild(*text, folder->id())) {
            auto itemName = inMemory->state(tables.lock).name;
            return Local{std::move(inMemory), std::move(itemName)};
        }
        return std::nullopt;
    });
    if (local) {
        reply(local->item, fskit::FSFileName(local->name), std::nullopt);
        return;
    }
    if (isEphemeralName(*text)) {
        reply(nullptr, std::nullopt, posixError(ENOENT));
        return;
    }
    if (*text == ".") {
        reply(folder, std::move(name), std::nullopt);
        return;
    }
    if (*text == "..") {
        auto parent = withLock([&](Tables& tables) -> std::shared_ptr<AndroidItem> {
            const auto found = tables.items.find(folder->state(tables.lock).parentID);
            return found == tables.items.end() ? nullptr : found->second;
        });
        if (!parent) {
            reply(nullptr, std::nullopt, posixError(ENOENT));
        } else {
            reply(std::move(parent), std::move(name), std::nullopt);
        }
        return;
    }
    // A folder whose listing is cached answers on the calling thread: a task's thread costs more than
    // the look-up itself.
    std::shared_ptr<AndroidItem> cached;
    try {
        if (const auto place = deviceFolder(kindOf(*this, *folder))) {
            if (const auto listed = fs().cachedChild(place->storage, place->parent, *text)) {
                if (const auto listing = fs().cachedListing(place->storage, place->parent)) {
                    noticeListing(*folder, *listing);
                }
                if (!*listed) {
                    reply(nullptr, std::nullopt, posixError(ENOENT));
                    return;
                }
                cached = item(AndroidItem::Kind::object(**listed), (*listed)->name(), *folder);
            }
        }
    } catch (...) {
        reply(nullptr, std::nullopt, fsError(std::current_exception()));
        return;
    }
    if (cached) {
        const auto itemName = withLock([&](Tables& tables) { return cached->state(tables.lock).name; });
        reply(cached, fskit::FSFileName(itemName), std::nullopt);
        return;
    }
    startTask([this, folder, wanted = *text, reply] {
        std::shared_ptr<AndroidItem> found;
        try {
            found = deviceChild(wanted, *folder);
        } catch (...) {
            reply(nullptr, std::nullopt, fsError(std::current_exception()));
            return;
        }
        if (!found) {
            reply(nullptr, std::nullopt, posixError(ENOENT));
            return;
        }
        const auto itemName = withLock([&](Tables& tables) { return found->state(tables.lock).name; });
        reply(found, fskit::FSFileName(itemName), std::nullopt);
    });
}

void AndroidVolume::reclaimItem(std::shared_ptr<fskit::FSItem> item, fskit::StatusReply reply) {
    // In-memory items stay until remove or rename takes them out: they are the only copy of their contents.
    if (const auto device = std::dynamic_pointer_cast<AndroidItem>(item); device && device != root()) {
        withLock([&](Tables& tables) {
            const auto& state = device->state(tables.lock);
            // An open item, or one in an edit session, must keep its state until its last close.
            if (state.openCount != 0 || state.isEditing) {
                return;
            }
            if (const auto entry = tables.items.find(device->id());
                entry != tables.items.end() && entry->second == device) {
                tables.setItem(nullptr, device->id());
            }
        });
    }
    reply(std::nullopt);
}

void AndroidVolume::readSymbolicLink(std::shared_ptr<fskit::FSItem>, fskit::NameReply reply) {
    reply(std::nullopt, posixError(EINVAL));
}

} // namespace tandalo
