// Changes to the device's tree: creating folders and files, edits in place, removing, renaming, moving,
// and keeping the caches truthful after each of them.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Unicode.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

namespace corvane {

namespace {

/// Runs one change inside an edit session of its own. The end edit is sent even when the change fails,
/// so the object is not left open on the device; the change's error is the one the caller sees then.
template <typename Change>
void changeInEditSession(MTPDevice::Session& session, std::uint32_t handle, Change&& change) {
    session.beginEdit(handle);
    try {
        std::forward<Change>(change)();
    } catch (...) {
        try {
            session.endEdit(handle);
        } catch (...) {
            // Deliberately dropped: the change's failure is what the caller must hear about.
        }
        throw;
    }
    session.endEdit(handle);
}

DataProvider bytesProvider(std::span<const std::byte> contents) {
    return [contents, offset = std::size_t{0}](std::span<std::byte> buffer) mutable -> std::size_t {
        const std::size_t count = std::min(buffer.size(), contents.size() - offset);
        if (count != 0) {
            std::memcpy(buffer.data(), contents.data() + offset, count);
        }
        offset += count;
        return count;
    };
}

} // namespace

// Creating

MTPObject MTPFileSystem::createDirectory(std::string_view at) {
    ParentAndName split = parentAndName(at);
    const DirectoryKey key = folderOf(split.parent, at);
    return createDirectory(key.storage, key.parent, split.name);
}

MTPObject MTPFileSystem::createDirectory(std::uint32_t storage, std::uint32_t parent, std::string_view name) {
    const DirectoryKey key{storage, parent};
    if (child(storage, parent, name)) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const std::uint32_t handle = m_device->createFolder(storage, parent, name);
    folderChanged(key);
    return object(handle);
}

MTPObject MTPFileSystem::createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                    std::optional<TimePoint> modified) {
    const DirectoryKey key{storage, parent};
    if (child(storage, parent, name)) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const std::uint32_t handle = sendFile(key, name, 0, modified, std::nullopt, bytesProvider({}));
    folderChanged(key);
    return object(handle);
}

MTPObject MTPFileSystem::createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                    std::span<const std::byte> contents, std::optional<TimePoint> modified) {
    const DirectoryKey key{storage, parent};
    const std::string wanted = platform::unicode::canonicalKey(name);
    // Only the cache is asked: the caller flushes a file it wrote in memory, and a listing just for this
    // check would cost a transaction on every flush.
    const std::optional<MTPObject> existing = m_state.withLock([&](const State& state) {
        std::optional<MTPObject> found;
        if (const auto cached = state.folders.find(key); cached != state.folders.end()) {
            if (const auto entry = cached->second.firstByName.find(wanted);
                entry != cached->second.firstByName.end()) {
                found = cached->second.listing[entry->second];
            }
        }
        return found;
    });
    if (existing && existing->isDirectory()) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const std::uint32_t handle =
        sendFile(key, name, contents.size(), modified, existing, bytesProvider(contents));

    MTPObject record(handle, storage, parent, std::string(name), contents.size(), PTPObjectFormat::undefined,
                     modified ? *modified : m_clock.wallNow(), false);
    m_state.withLock([&](State& state) {
        state.objects.insert_or_assign(handle, record);
        if (const auto cached = state.folders.find(key); cached != state.folders.end()) {
            CachedFolder& folder = cached->second;
            const auto& objects = folder.listing.objects();
            auto listed = std::find_if(objects.begin(), objects.end(),
                                       [&](const MTPObject& each) { return each.handle() == handle; });
            // A listing that ran after the file arrived already holds it.
            std::size_t position = static_cast<std::size_t>(listed - objects.begin());
            if (listed == objects.end()) {
                folder.listing = folder.listing.appending(record);
            }
            folder.firstByName.insert_or_assign(wanted, position);
        }
        // A listing that began before the file arrived must not be cached over the one just brought up to
        // date.
        ++state.generation;
    });
    return record;
}

// Sending a file

MTPFileSystem::Replacement MTPFileSystem::replacementFor(const std::optional<MTPObject>& existing) const {
    if (!existing) {
        return Replacement::none;
    }
    // Keeping the old file until the new one has arrived needs a rename afterwards; a device that cannot
    // rename can only have its old file deleted first.
    const std::optional<DeviceInfo> info = m_device->info();
    if (info && !info->supports(PTPOperation::setObjectPropValue)) {
        return Replacement::deleteFirst;
    }
    return Replacement::keepOldUntilSent;
}

std::string MTPFileSystem::temporaryNameIn(const DirectoryKey& key) {
    static std::atomic<std::uint32_t> counter{std::random_device{}()};
    for (;;) {
        char text[40];
        std::snprintf(text, sizeof text, ".tandalo-replacing-%08x", counter.fetch_add(1));
        const std::string candidate = text;
        const bool taken = m_state.withLock([&](const State& state) {
            const auto cached = state.folders.find(key);
            return cached != state.folders.end() &&
                   cached->second.firstByName.contains(platform::unicode::canonicalKey(candidate));
        });
        if (!taken) {
            return candidate;
        }
    }
}

std::uint32_t MTPFileSystem::sendFile(const DirectoryKey& key, std::string_view name, std::uint64_t size,
                                      std::optional<TimePoint> modified,
                                      const std::optional<MTPObject>& existing,
                                      const DataProvider& provider) {
    const Replacement replacement = replacementFor(existing);
    if (replacement == Replacement::deleteFirst) {
        m_device->deleteObject(existing->handle());
        invalidate(*existing);
    }
    const bool keepOld = replacement == Replacement::keepOldUntilSent;
    const std::string sentName = keepOld ? temporaryNameIn(key) : std::string(name);

    enum class Stage { announce, send, replace, rename };
    Stage stage = Stage::announce;
    std::uint32_t handle = 0;
    try {
        // One hold of the device: a phone drops an announced object when any other command comes between
        // SendObjectInfo and SendObject.
        m_device->exclusive([&](MTPDevice::Session& session) {
            handle = session.createFile(key.storage, key.parent, sentName, size, modified);
            stage = Stage::send;
            session.sendObject(size, provider);
            if (keepOld) {
                // Only now that the new file has fully arrived does the old one go.
                stage = Stage::replace;
                session.deleteObject(existing->handle());
                stage = Stage::rename;
                session.rename(handle, name);
            }
        });
    } catch (...) {
        switch (stage) {
        case Stage::announce:
            break; // nothing was created
        case Stage::send:
        case Stage::replace:
            if (keepOld) {
                // The half-sent or unplaced file is ours alone, under a name nobody asked for: take it away.
                try {
                    m_device->deleteObject(handle);
                } catch (...) {
                    // Deliberately dropped: the send's failure is what the caller must hear about.
                }
            }
            // The folder held a new object for a while, and may still: a listing taken meanwhile must not
            // be cached, and the next one reads what is there now.
            folderChanged(key);
            break;
        case Stage::rename:
            // The new contents are on the device under the temporary name and the old file is gone.
            invalidate(*existing);
            folderChanged(key);
            break;
        }
        throw;
    }
    if (keepOld) {
        invalidate(*existing);
    }
    return handle;
}

// Editing in place

void MTPFileSystem::requireSupport(PTPOperation operation) const {
    m_device->requireOperation(operation);
}

void MTPFileSystem::truncate(const MTPObject& object, std::uint64_t size) {
    requireSupport(PTPOperation::androidTruncateObject);
    m_device->exclusive([&](MTPDevice::Session& session) {
        changeInEditSession(session, object.handle(), [&] { session.truncate(object.handle(), size); });
    });
    invalidate(object);
}

void MTPFileSystem::write(const MTPObject& object, std::uint64_t offset, std::span<const std::byte> data) {
    requireSupport(PTPOperation::androidSendPartialObject);
    m_device->exclusive([&](MTPDevice::Session& session) {
        changeInEditSession(session, object.handle(),
                            [&] { session.writePartial(object.handle(), offset, data); });
    });
    invalidate(object);
}

void MTPFileSystem::beginEdit(const MTPObject& object) {
    requireSupport(PTPOperation::androidSendPartialObject);
    m_device->beginEdit(object.handle());
}

void MTPFileSystem::writeOpen(const MTPObject& object, std::uint64_t offset,
                              std::span<const std::byte> data) {
    m_device->writePartial(object.handle(), offset, data);
}

void MTPFileSystem::endEdit(const MTPObject& object) {
    m_device->endEdit(object.handle());
    invalidate(object);
}

// Removing, renaming and moving

void MTPFileSystem::remove(const MTPObject& object) {
    m_device->deleteObject(object.handle());
    invalidate(object);
}

void MTPFileSystem::remove(std::string_view at) {
    const Node node = lookup(at);
    if (node.kind() != Node::Kind::object) {
        throw PTPError::invalidPath(std::string(at));
    }
    remove(node.object());
}

void MTPFileSystem::rename(const MTPObject& object, std::string_view to) {
    m_device->rename(object.handle(), to);
    invalidate(object);
}

void MTPFileSystem::move(const MTPObject& object, std::uint32_t toStorage, std::uint32_t parent) {
    m_device->moveObject(object.handle(), toStorage, parent);
    m_state.withLock([&](State& state) {
        invalidateIn(state, object);
        dropFolder(state, {toStorage, parent});
        ++state.generation;
    });
}

void MTPFileSystem::move(const MTPObject& object, std::string_view toDirectory) {
    const Node node = lookup(toDirectory);
    const DirectoryKey key = folderOf(node, toDirectory);
    move(object, key.storage, key.parent);
}

MTPFileSystem::ParentAndName MTPFileSystem::parentAndName(std::string_view of) {
    std::vector<std::string> parts = components(of);
    if (parts.empty()) {
        throw PTPError::invalidPath(std::string(of));
    }
    std::string name = std::move(parts.back());
    parts.pop_back();
    std::string parentPath = "/";
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index != 0) {
            parentPath += '/';
        }
        parentPath += parts[index];
    }
    return {lookup(parentPath), std::move(name)};
}

} // namespace corvane
