// The file system's state: opening and closing, the storages and their names, and invalidation.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Unicode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <utility>

namespace corvane {

namespace {

/// A phone that has not yet been allowed to share its files reports no storages; it is asked again at
/// this interval until the wait below has passed.
constexpr std::chrono::milliseconds storagePollInterval{1500};
constexpr std::chrono::milliseconds storageWaitLimit{12000};

std::set<std::uint32_t> storageIDs(const std::vector<StorageInfo>& storages) {
    std::set<std::uint32_t> ids;
    for (const StorageInfo& storage : storages) {
        ids.insert(storage.id);
    }
    return ids;
}

} // namespace

std::size_t MTPFileSystem::DirectoryKeyHash::operator()(const DirectoryKey& key) const noexcept {
    return std::hash<std::uint64_t>{}((static_cast<std::uint64_t>(key.storage) << 32) | key.parent);
}

bool MTPFileSystem::Node::isDirectory() const noexcept {
    if (const auto* object = std::get_if<MTPObject>(&m_value)) {
        return object->isDirectory();
    }
    return true;
}

MTPFileSystem::MTPFileSystem(std::shared_ptr<MTPDevice> device, platform::Clock& clock)
    : m_device(std::move(device)), m_clock(clock) {}

MTPFileSystem::~MTPFileSystem() = default;

std::vector<StorageInfo> MTPFileSystem::storages() const {
    return m_state.withLock([](const State& state) { return state.storages; });
}

std::optional<DeviceInfo> MTPFileSystem::deviceInfo() const {
    return m_state.withLock([](const State& state) { return state.deviceInfo; });
}

std::int64_t MTPFileSystem::cacheGeneration() const {
    return m_state.withLock([](const State& state) { return state.generation; });
}

// Session

void MTPFileSystem::open(std::stop_token stop) {
    DeviceInfo info = m_device->hold()->open();
    m_state.withLock([&](State& state) { state.deviceInfo = std::move(info); });
    refreshStorages();
    const auto hasStorages = [this] {
        return m_state.withLock([](const State& state) { return !state.storages.empty(); });
    };
    if (hasStorages()) {
        return;
    }
    for (auto waited = std::chrono::milliseconds(0); waited < storageWaitLimit;) {
        if (!m_clock.sleepFor(storagePollInterval, stop)) {
            throw PTPError::cancelled();
        }
        refreshStorages();
        if (hasStorages()) {
            return;
        }
        waited += storagePollInterval;
    }
    throw PTPError::accessNotGranted();
}

void MTPFileSystem::close() noexcept {
    m_device->close();
}

void MTPFileSystem::refreshStorages() {
    std::vector<StorageInfo> fresh = m_device->hold()->getStorages();
    m_state.withLock([&](State& state) {
        const bool sameSet = storageIDs(fresh) == storageIDs(state.storages);
        // Replaced even when the set is the same, so that free space and names stay current.
        state.storages = std::move(fresh);
        if (!sameSet) {
            state.folders.clear();
            state.objects.clear();
            ++state.generation;
        }
    });
}

std::optional<int> MTPFileSystem::batteryLevel() {
    return m_device->hold()->batteryLevel();
}

// Naming

void MTPFileSystem::invalidateAll() {
    m_state.withLock([](State& state) {
        state.folders.clear();
        state.objects.clear();
        ++state.generation;
    });
}

std::string MTPFileSystem::storageNameIn(const StorageInfo& storage,
                                         const std::vector<StorageInfo>& storages) {
    std::string base;
    if (!storage.description.empty()) {
        base = storage.description;
    } else if (!storage.volumeLabel.empty()) {
        base = storage.volumeLabel;
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "Storage %08X", storage.id);
        base = text;
    }
    // Storages are grouped by their raw description, empty ones included, so that two cards with the
    // same description (or none) still get two names.
    std::vector<std::uint32_t> group;
    for (const StorageInfo& each : storages) {
        if (each.description == storage.description) {
            group.push_back(each.id);
        }
    }
    if (group.size() < 2) {
        return base;
    }
    for (std::size_t position = 0; position < group.size(); ++position) {
        if (group[position] == storage.id) {
            return position == 0 ? base : base + " " + std::to_string(position + 1);
        }
    }
    return base;
}

std::string MTPFileSystem::storageName(const StorageInfo& storage) const {
    return m_state.withLock([&](const State& state) { return storageNameIn(storage, state.storages); });
}

std::optional<StorageInfo> MTPFileSystem::storage(std::string_view named) const {
    const std::vector<StorageInfo> all = storages();
    for (const StorageInfo& each : all) {
        if (platform::unicode::canonicallyEquivalent(storageNameIn(each, all), named)) {
            return each;
        }
    }
    return std::nullopt;
}

// Invalidation

void MTPFileSystem::dropFolder(State& state, const DirectoryKey& key) {
    state.folders.erase(key);
}

void MTPFileSystem::folderChanged(const DirectoryKey& key) {
    m_state.withLock([&](State& state) {
        dropFolder(state, key);
        ++state.generation;
    });
}

void MTPFileSystem::invalidate(const MTPObject& object) {
    m_state.withLock([&](State& state) { invalidateIn(state, object); });
}

void MTPFileSystem::invalidateIn(State& state, const MTPObject& object) {
    state.objects.erase(object.handle());
    dropFolder(state, folderKeyOf(object));
    ++state.generation;
    if (object.isDirectory()) {
        // The walk below reads the folder's own listing, so it runs before that listing goes.
        dropDescendants(state, object.handle());
        dropFolder(state, {object.storageID(), object.handle()});
        ++state.generation;
    }
}

void MTPFileSystem::dropDescendants(State& state, std::uint32_t folder) {
    // Records below a removed or moved folder would otherwise outlive it: a later look-up by handle would
    // find an object that is gone, or one whose path has changed. The tree is known only through what is
    // cached, and a record may be cached while the folders between it and the top are not: so what stays
    // is only what the cache proves to lie outside the folder, by a chain of known parents up to the top
    // of a storage. Everything else goes, and is read again when it is asked for.
    std::unordered_map<std::uint32_t, std::uint32_t> parentOf;
    for (const auto& [handle, record] : state.objects) {
        parentOf.emplace(handle, record.parent());
    }
    for (const auto& [key, cached] : state.folders) {
        for (const MTPObject& child : cached.listing) {
            parentOf.emplace(child.handle(), key.parent);
        }
    }
    std::unordered_map<std::uint32_t, bool> outside; // by handle: whether it provably lies outside
    const auto liesOutside = [&](std::uint32_t handle) {
        std::vector<std::uint32_t> chain;
        bool result = false;
        for (std::uint32_t at = handle;;) {
            if (at == folder) {
                break;
            }
            if (at == 0 || at == rootParent) {
                result = true;
                break;
            }
            if (const auto known = outside.find(at); known != outside.end()) {
                result = known->second;
                break;
            }
            const auto parent = parentOf.find(at);
            // An unknown parent, or a chain that comes back on itself, proves nothing.
            if (parent == parentOf.end() || std::find(chain.begin(), chain.end(), at) != chain.end()) {
                break;
            }
            chain.push_back(at);
            at = parent->second;
        }
        for (const std::uint32_t each : chain) {
            outside.insert_or_assign(each, result);
        }
        return result;
    };
    std::erase_if(state.objects, [&](const auto& entry) { return !liesOutside(entry.first); });
    std::erase_if(state.folders, [&](const auto& entry) { return !liesOutside(entry.first.parent); });
}

namespace {

/// The position of the object in the listing; the listing's size when it is not there.
std::size_t positionIn(const DirectoryListing& listing, std::uint32_t handle) {
    const auto& objects = listing.objects();
    return static_cast<std::size_t>(
        std::find_if(objects.begin(), objects.end(),
                     [&](const MTPObject& each) { return each.handle() == handle; }) -
        objects.begin());
}

} // namespace

void MTPFileSystem::storeInFolder(State& state, const DirectoryKey& key, const MTPObject& record) {
    state.objects.insert_or_assign(record.handle(), record);
    const auto cached = state.folders.find(key);
    if (cached == state.folders.end()) {
        return;
    }
    CachedFolder& folder = cached->second;
    const std::size_t position = positionIn(folder.listing, record.handle());
    if (position == folder.listing.size()) {
        folder.listing = folder.listing.appending(record);
        folder.firstByName.emplace(platform::unicode::canonicalKey(record.name()), position);
        return;
    }
    const std::string oldKey = platform::unicode::canonicalKey(folder.listing[position].name());
    const std::string newKey = platform::unicode::canonicalKey(record.name());
    folder.listing = folder.listing.replacing(position, record);
    if (oldKey == newKey) {
        return;
    }
    // A renamed object: the index follows it by its two names alone, as each file sent costs a rename.
    if (const auto entry = folder.firstByName.find(oldKey);
        entry != folder.firstByName.end() && entry->second == position) {
        folder.firstByName.erase(entry);
        // Another object of the old name, later in the listing, is now the first of it.
        const auto& renamed = folder.listing.objects();
        for (std::size_t later = position + 1; later < renamed.size(); ++later) {
            if (platform::unicode::canonicalKey(renamed[later].name()) == oldKey) {
                folder.firstByName.emplace(oldKey, later);
                break;
            }
        }
    }
    if (const auto [entry, added] = folder.firstByName.emplace(newKey, position);
        !added && entry->second > position) {
        entry->second = position;
    }
}

void MTPFileSystem::forgetInFolder(State& state, const DirectoryKey& key, std::uint32_t handle) {
    state.objects.erase(handle);
    const auto cached = state.folders.find(key);
    if (cached == state.folders.end()) {
        return;
    }
    CachedFolder& folder = cached->second;
    if (const std::size_t position = positionIn(folder.listing, handle); position < folder.listing.size()) {
        folder.listing = folder.listing.removing(position);
        folder.firstByName = nameIndexOf(folder.listing);
    }
}

} // namespace corvane
