// Folder listings shared between callers and cached, path look-up, and object records.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Unicode.h"

#include <chrono>
#include <exception>
#include <future>
#include <mutex>
#include <utility>

namespace corvane {

std::vector<std::string> MTPFileSystem::components(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > start) {
            parts.emplace_back(path.substr(start, end - start));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

MTPFileSystem::DirectoryKey MTPFileSystem::folderOf(const Node& node, std::string_view path) {
    switch (node.kind()) {
    case Node::Kind::storage:
        return {node.storage().id, rootParent};
    case Node::Kind::object:
        if (!node.object().isDirectory()) {
            throw PTPError::notADirectory(std::string(path));
        }
        return {node.object().storageID(), node.object().handle()};
    case Node::Kind::root:
        break;
    }
    throw PTPError::invalidPath(std::string(path));
}

std::unordered_map<std::string, std::size_t> MTPFileSystem::nameIndexOf(const DirectoryListing& listing) {
    std::unordered_map<std::string, std::size_t> index;
    index.reserve(listing.size());
    for (std::size_t position = 0; position < listing.size(); ++position) {
        // emplace keeps an existing entry, so a name that repeats maps to its first object.
        index.emplace(platform::unicode::canonicalKey(listing[position].name()), position);
    }
    return index;
}

MTPFileSystem::Node MTPFileSystem::lookup(std::string_view path) {
    const std::vector<std::string> parts = components(path);
    if (parts.empty()) {
        return Node::root();
    }
    std::optional<StorageInfo> found = storage(parts.front());
    if (!found) {
        throw PTPError::invalidPath(std::string(path));
    }
    Node node = Node::forStorage(std::move(*found));
    for (std::size_t index = 1; index < parts.size(); ++index) {
        const DirectoryKey key = folderOf(node, path);
        std::optional<MTPObject> next = child(key.storage, key.parent, parts[index]);
        if (!next) {
            throw PTPError::invalidPath(std::string(path));
        }
        node = Node::forObject(std::move(*next));
    }
    return node;
}

DirectoryListing MTPFileSystem::list(std::uint32_t storage, std::uint32_t parent) {
    const DirectoryKey key{storage, parent};
    struct Plan {
        std::optional<DirectoryListing> cached;
        std::shared_future<DirectoryListing> running;
        std::int64_t generation = 0;
    };
    std::promise<DirectoryListing> result;
    // Looking for the cache and a running listing, and registering a new one, is one step under the lock,
    // so two callers can never both start a listing of the same folder.
    const Plan plan = m_state.withLock([&](State& state) {
        Plan found;
        if (const auto cached = state.folders.find(key); cached != state.folders.end()) {
            found.cached = cached->second.listing;
        } else if (const auto running = state.pendingLists.find(key); running != state.pendingLists.end()) {
            found.running = running->second;
        } else {
            state.pendingLists.emplace(key, result.get_future().share());
            found.generation = state.generation;
        }
        return found;
    });
    if (plan.cached) {
        return *plan.cached;
    }
    if (plan.running.valid()) {
        return awaitListing(plan.running);
    }

    // This caller started the listing, so it runs it, and it alone removes the pending entry. Every path
    // out fulfils the promise: a waiting caller must never be left without an answer.
    try {
        DirectoryListing listing(m_device->hold()->listDirectory(storage, parent));
        auto index = nameIndexOf(listing);
        m_state.withLock([&](State& state) {
            // A change since the listing began may not be in it: hand it to the callers but keep it out of
            // the cache.
            if (state.generation == plan.generation) {
                for (const MTPObject& object : listing) {
                    state.objects.insert_or_assign(object.handle(), object);
                }
                state.folders.insert_or_assign(key, CachedFolder{listing, std::move(index)});
            }
            state.pendingLists.erase(key);
        });
        result.set_value(listing);
        listingEnded();
        return listing;
    } catch (...) {
        m_state.withLock([&](State& state) { state.pendingLists.erase(key); });
        result.set_exception(std::current_exception());
        listingEnded();
        throw;
    }
}

DirectoryListing MTPFileSystem::awaitListing(const std::shared_future<DirectoryListing>& running) {
    // The wait goes through the clock like every other wait, which also lets tests see who is waiting.
    const auto ended = [&] { return running.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    std::unique_lock lock(m_listingWait);
    while (!ended()) {
        // The listing's own transactions are bounded by the device's time-outs; this deadline only keeps
        // the wait finite on a clock that someone moves far ahead.
        m_clock.waitUntil(lock, m_listingEnded, m_clock.deadlineAfter(std::chrono::hours(1)), {}, ended);
    }
    lock.unlock();
    return running.get();
}

void MTPFileSystem::listingEnded() {
    // Taking the lock orders this wake-up after any waiter's last look at the result, so none is lost.
    { const std::lock_guard lock(m_listingWait); }
    m_listingEnded.notify_all();
}

std::optional<std::optional<MTPObject>>
MTPFileSystem::cachedChild(std::uint32_t storage, std::uint32_t parent, std::string_view named) const {
    const DirectoryKey key{storage, parent};
    const std::string wanted = platform::unicode::canonicalKey(named);
    return m_state.withLock([&](const State& state) -> std::optional<std::optional<MTPObject>> {
        const auto cached = state.folders.find(key);
        if (cached == state.folders.end()) {
            return std::nullopt;
        }
        const auto entry = cached->second.firstByName.find(wanted);
        if (entry == cached->second.firstByName.end()) {
            return std::optional<MTPObject>();
        }
        return std::optional<MTPObject>(cached->second.listing[entry->second]);
    });
}

std::optional<MTPObject> MTPFileSystem::child(std::uint32_t storage, std::uint32_t parent,
                                              std::string_view named) {
    const DirectoryKey key{storage, parent};
    const std::string wanted = platform::unicode::canonicalKey(named);
    struct Answer {
        bool cached = false;
        std::optional<MTPObject> object;
    };
    const auto fromCache = [&] {
        return m_state.withLock([&](const State& state) {
            Answer answer;
            if (const auto cached = state.folders.find(key); cached != state.folders.end()) {
                answer.cached = true;
                if (const auto entry = cached->second.firstByName.find(wanted);
                    entry != cached->second.firstByName.end()) {
                    answer.object = cached->second.listing[entry->second];
                }
            }
            return answer;
        });
    };
    if (Answer answer = fromCache(); answer.cached) {
        return std::move(answer.object);
    }
    const DirectoryListing listing = list(storage, parent);
    if (Answer answer = fromCache(); answer.cached) {
        return std::move(answer.object);
    }
    // The listing was kept out of the cache (a change overtook it), or dropped again already: the listing
    // itself answers.
    for (const MTPObject& object : listing) {
        if (platform::unicode::canonicalKey(object.name()) == wanted) {
            return object;
        }
    }
    return std::nullopt;
}

DirectoryListing MTPFileSystem::list(std::string_view path) {
    const Node node = lookup(path);
    if (node.kind() != Node::Kind::root) {
        const DirectoryKey key = folderOf(node, path);
        return list(key.storage, key.parent);
    }
    return m_state.withLock([](const State& state) {
        std::vector<MTPObject> folders;
        folders.reserve(state.storages.size());
        for (const StorageInfo& storage : state.storages) {
            folders.emplace_back(storage.id, storage.id, 0, storageNameIn(storage, state.storages), 0,
                                 PTPObjectFormat::association, std::nullopt, storage.isReadOnly());
        }
        return DirectoryListing(std::move(folders));
    });
}

MTPObject MTPFileSystem::object(std::uint32_t handle) {
    struct Found {
        std::optional<MTPObject> object;
        std::int64_t generation = 0;
    };
    const Found found = m_state.withLock([&](const State& state) {
        Found result;
        if (const auto cached = state.objects.find(handle); cached != state.objects.end()) {
            result.object = cached->second;
        }
        result.generation = state.generation;
        return result;
    });
    if (found.object) {
        return *found.object;
    }
    MTPObject fetched = m_device->hold()->object(handle);
    m_state.withLock([&](State& state) {
        // Like a listing, a record read while something changed may already be out of date.
        if (state.generation == found.generation) {
            state.objects.insert_or_assign(handle, fetched);
        }
    });
    return fetched;
}

} // namespace corvane
