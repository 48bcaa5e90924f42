// Writing files: device files in place through one Android edit session that lasts until the last close;
// new files in memory, sent whole once they reach 16 MiB or are closed.
#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/device/MTPDevice.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tandalo {

namespace {

using Bytes = std::vector<std::byte>;

/// The fields of an item that a write in an edit session reads and sets. Both kinds of item keep them.
struct EditTarget {
    std::optional<corvane::MTPObject> object;
    std::optional<std::uint64_t> pendingSize;
    bool isEditing;
};

EditTarget editTarget(const AndroidItem::State& state) {
    const auto* object = state.kind.object();
    return {object ? std::optional(*object) : std::nullopt, state.pendingSize, state.isEditing};
}

EditTarget editTarget(const EphemeralItem::State& state) {
    return {state.deviceObject, state.pendingSize, state.isEditing};
}

void forgetWindow(AndroidItem::State& state) {
    state.readCache.reset();
}

void forgetWindow(EphemeralItem::State&) {}

/// Adds the bytes to the run that waits to be sent, when they continue it and it has room; the caller
/// holds the item's content lock. Sequential writes of 1 MiB thus reach the device as one partial write of
/// up to 16 MiB: each transaction costs the phone's turnaround and a round of hand-overs between the
/// threads that carry it, which a large write pays only once.
template <typename Item>
bool appendToUnsent(AndroidVolume& volume, Item& item, std::uint64_t start,
                    std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        const auto target = editTarget(state);
        if (!state.isEditing || !state.unsentWrite || !target.object) {
            return false;
        }
        auto& run = state.unsentWrite->data;
        if (start != state.unsentWrite->offset + run.size() || run.size() + bytes.size() > writeBehindLimit) {
            return false;
        }
        run.insert(run.end(), bytes.begin(), bytes.end());
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(target.object->size()));
        forgetWindow(state);
        return true;
    });
}

/// Writes the bytes into the item's object on the device inside the item's edit session, opening the
/// session on the first write; short writes wait in the item's unsent run. The content lock serialises the
/// writes of one item, so two writes never both open a session and the pending size only grows in order.
template <typename Item>
void writeInEditSession(AndroidVolume& volume, Item& item, std::uint64_t start,
                        std::span<const std::byte> bytes) {
    std::lock_guard content(item.contentLock());
    const auto target =
        volume.withLock([&](AndroidVolume::Tables& tables) { return editTarget(item.state(tables.lock)); });
    if (!target.object) {
        throw posixError(EINVAL);
    }
    if (!target.isEditing) {
        volume.fs().beginEdit(*target.object);
        volume.withLock([&](AndroidVolume::Tables& tables) { item.state(tables.lock).isEditing = true; });
    }
    if (appendToUnsent(volume, item, start, bytes)) {
        return;
    }
    sendUnsentWrite(volume, item);
    const auto previous = volume.withLock([&](AndroidVolume::Tables& tables) {
        return item.state(tables.lock).pendingSize.value_or(target.object->size());
    });
    // Android refuses a partial write that starts past the end of the file; the gap is made first, as
    // zeros, by growing the file inside the same session.
    if (start > previous) {
        volume.fs().device().truncate(target.object->handle(), start);
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item.state(tables.lock);
            state.pendingSize = start;
            forgetWindow(state);
        });
    }
    const bool waits = bytes.size() < writeBehindLimit;
    if (!waits) {
        volume.fs().writeOpen(*target.object, start, bytes);
    }
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (waits) {
            state.unsentWrite.emplace();
            state.unsentWrite->offset = start;
            state.unsentWrite->data.reserve(writeBehindLimit);
            state.unsentWrite->data.assign(bytes.begin(), bytes.end());
        }
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(previous));
        forgetWindow(state);
    });
}

/// Sends the item's unsent run; the caller holds the content lock. A run that fails to go stays, so that
/// the next write or the close tries again and reports it.
template <typename Item> void sendUnsent(AndroidVolume& volume, Item& item) {
    struct Unsent {
        corvane::MTPObject object;
        std::uint64_t offset;
        std::vector<std::byte> data;
    };
    auto unsent = volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<Unsent> {
        auto& state = item.state(tables.lock);
        const auto target = editTarget(state);
        if (!state.unsentWrite || !target.object) {
            return std::nullopt;
        }
        Unsent taken{*target.object, state.unsentWrite->offset, std::move(state.unsentWrite->data)};
        state.unsentWrite.reset();
        return taken;
    });
    if (!unsent) {
        return;
    }
    try {
        volume.fs().writeOpen(unsent->object, unsent->offset, unsent->data);
    } catch (...) {
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item.state(tables.lock);
            if (!state.unsentWrite) {
                state.unsentWrite.emplace();
                state.unsentWrite->offset = unsent->offset;
                state.unsentWrite->data = std::move(unsent->data);
            }
        });
        throw;
    }
}

enum class MemoryWrite { done, doneAndFull, onDevice, tooLarge, flushFirst };

/// Writes the bytes into the contents of a file held in memory; the caller holds its content lock. A file
/// that went to the device meanwhile is written there instead. A write that would have the buffer fill a
/// gap with zeros beyond what it may hold is not done in memory: an offset chosen at will must not become
/// an allocation. A new file then goes to the device first; a metadata file refuses it.
MemoryWrite writeInMemory(AndroidVolume& volume, EphemeralItem& item, std::uint64_t start,
                          std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (state.deviceObject) {
            return MemoryWrite::onDevice;
        }
        auto& data = state.data;
        const auto end = start + bytes.size();
        if (end > flushThreshold && start > data.size()) {
            return state.destination.isDevice() ? MemoryWrite::flushFirst : MemoryWrite::tooLarge;
        }
        if (data.size() < end) {
            data.resize(static_cast<std::size_t>(end));
        }
        if (!bytes.empty()) {
            std::memcpy(data.data() + start, bytes.data(), bytes.size());
        }
        state.modified = volume.clock().wallNow();
        return state.destination.isDevice() && data.size() >= flushThreshold ? MemoryWrite::doneAndFull
                                                                             : MemoryWrite::done;
    });
}

/// The whole write of a new or metadata file, from a task: it may wait for a send in progress, send the
/// file itself, and then write on the device.
void writeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item, std::uint64_t start,
                    std::span<const std::byte> bytes) {
    std::unique_lock content(item->contentLock());
    switch (writeInMemory(volume, *item, start, bytes)) {
    case MemoryWrite::done:
        return;
    case MemoryWrite::doneAndFull:
        content.unlock();
        volume.flush(item);
        return;
    case MemoryWrite::tooLarge:
        throw posixError(EFBIG);
    case MemoryWrite::flushFirst:
        content.unlock();
        volume.flush(item);
        break;
    case MemoryWrite::onDevice:
        content.unlock();
        break;
    }
    writeInEditSession(volume, *item, start, bytes);
}

} // namespace

void sendUnsentWrite(AndroidVolume& volume, AndroidItem& item) {
    sendUnsent(volume, item);
}

void sendUnsentWrite(AndroidVolume& volume, EphemeralItem& item) {
    sendUnsent(volume, item);
}

void AndroidVolume::sendUnsentWrites(const std::shared_ptr<fskit::FSItem>& item) {
    if (const auto device = std::dynamic_pointer_cast<AndroidItem>(item)) {
        std::lock_guard content(device->contentLock());
        sendUnsent(*this, *device);
    } else if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        std::lock_guard content(memory->contentLock());
        sendUnsent(*this, *memory);
    }
}

void AndroidVolume::writeContents(std::span<const std::byte> contents, std::shared_ptr<fskit::FSItem> item,
                                  off_t offset, fskit::ByteCountReply reply) {
    // A negative offset is a caller's error; writing it at 0 would overwrite the start of the file.
    if (offset < 0) {
        reply(0, posixError(EINVAL));
        return;
    }
    const auto start = static_cast<std::uint64_t>(offset);
    const auto length = contents.size();

    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        const bool bound =
            withLock([&](Tables& tables) { return memory->state(tables.lock).destination.isDevice(); });
        if (bound) {
            recordWrite();
        }
        {
            // Most writes of a new file only add to its buffer and answer at once. One that finds a send in
            // progress waits for it in a task rather than on FSKit's thread.
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                const auto outcome = writeInMemory(*this, *memory, start, contents);
                if (outcome == MemoryWrite::done) {
                    content.unlock();
                    reply(length, std::nullopt);
                    return;
                }
                if (outcome == MemoryWrite::tooLarge) {
                    content.unlock();
                    reply(0, posixError(EFBIG));
                    return;
                }
                if (outcome == MemoryWrite::onDevice && appendToUnsent(*this, *memory, start, contents)) {
                    content.unlock();
                    reply(length, std::nullopt);
                    return;
                }
                if (outcome == MemoryWrite::doneAndFull) {
                    content.unlock();
                    startTask([this, memory, length, reply] {
                        try {
                            flush(memory);
                        } catch (...) {
                            reply(0, fsError(std::current_exception()));
                            return;
                        }
                        reply(length, std::nullopt);
                    });
                    return;
                }
            }
        }
        startTask([this, memory, start, bytes = Bytes(contents.begin(), contents.end()), reply] {
            try {
                writeEphemeral(*this, memory, start, bytes);
            } catch (...) {
                reply(0, fsError(std::current_exception()));
                return;
            }
            reply(bytes.size(), std::nullopt);
        });
        return;
    }

    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        reply(0, posixError(EINVAL));
        return;
    }
    const int refusal = withLock([&](Tables& tables) {
        const auto* object = device->state(tables.lock).kind.object();
        if (!object) {
            return EINVAL;
        }
        if (readOnly() || object->isReadOnly()) {
            return EROFS;
        }
        if (object->isDirectory()) {
            return EISDIR;
        }
        return 0;
    });
    if (refusal != 0) {
        reply(0, posixError(refusal));
        return;
    }
    recordWrite();
    {
        // A write that continues the run waiting to be sent answers at once.
        std::unique_lock content(device->contentLock(), std::try_to_lock);
        if (content.owns_lock() && appendToUnsent(*this, *device, start, contents)) {
            content.unlock();
            reply(length, std::nullopt);
            return;
        }
    }
    startTask([this, device, start, bytes = Bytes(contents.begin(), contents.end()), reply] {
        try {
            writeInEditSession(*this, *device, start, bytes);
        } catch (...) {
            reply(0, fsError(std::current_exception()));
            return;
        }
        reply(bytes.size(), std::nullopt);
    });
}

} // namespace tandalo
