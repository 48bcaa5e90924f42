// Writing files: device files in place through one Android edit session that lasts until the last close;
// new files in memory, sent whole once they reach 16 MiB or are closed.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tandalo {

namespace {

using Bytes = std::vector<std::byte>;

/// Adds the bytes to the run that waits to be sent, when they continue it and it has room; the caller
/// holds the item's content lock. Sequential writes of 1 MiB thus reach the device as one partial write of
/// up to 16 MiB: each transaction costs the phone's turnaround and a round of hand-overs between the
/// threads that carry it, which a large write pays only once.
bool appendToUnsent(AndroidVolume& volume, AndroidItem& item, std::uint64_t start,
                    std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        const auto* object = state.kind.object();
        if (!state.isEditing || !state.unsentWrite || object == nullptr) {
            return false;
        }
        auto& run = state.unsentWrite->data;
        if (start != state.unsentWrite->offset + run.size() || run.size() + bytes.size() > writeBehindLimit) {
            return false;
        }
        run.insert(run.end(), bytes.begin(), bytes.end());
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(object->size()));
        state.readCache.reset();
        return true;
    });
}

/// Writes the bytes into the item's object on the device inside the item's edit session, opening the
/// session on the first write; short writes wait in the item's unsent run. The content lock serialises the
/// writes of one item, so two writes never both open a session and the pending size only grows in order.
void writeInEditSession(AndroidVolume& volume, AndroidItem& item, std::uint64_t start,
                        std::span<const std::byte> bytes) {
    std::lock_guard content(item.contentLock());
    struct Target {
        std::optional<corvane::MTPObject> object;
        bool isEditing;
    };
    const auto target = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item.state(tables.lock);
        const auto* object = state.kind.object();
        return Target{object ? std::optional(*object) : std::nullopt, state.isEditing};
    });
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
        volume.fs().truncateOpen(*target.object, start);
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item.state(tables.lock);
            state.pendingSize = start;
            state.readCache.reset();
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
        state.readCache.reset();
    });
}

enum class MemoryWrite { done, doneAndFull, sent, tooLarge, sendFirst };

/// Writes the bytes into the contents of a file held in memory; the caller holds its content lock. A file
/// that went to the device meanwhile is written there instead. Memory holds at most the write buffer's
/// size of a file that stays there (a metadata file, or a new file removed while open, which can never
/// reach the device), and an offset chosen at will never becomes an allocation: a new file bound for the
/// device goes there first instead.
MemoryWrite writeInMemory(AndroidVolume& volume, EphemeralItem& item, std::uint64_t start,
                          std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (state.sent) {
            return MemoryWrite::sent;
        }
        auto& data = state.data;
        const auto end = start + bytes.size();
        const bool bound = state.destination.isDevice();
        if (end > flushThreshold && end > data.size() && (!bound || start > data.size())) {
            return bound ? MemoryWrite::sendFirst : MemoryWrite::tooLarge;
        }
        if (data.size() < end) {
            data.resize(static_cast<std::size_t>(end));
        }
        std::memcpy(data.data() + start, bytes.data(), bytes.size());
        state.modified = volume.clock().wallNow();
        return bound && data.size() >= flushThreshold ? MemoryWrite::doneAndFull : MemoryWrite::done;
    });
}

/// Remembers that a write to a new file failed: the file is not what its writer meant.
void markFailed(AndroidVolume& volume, EphemeralItem& item, std::exception_ptr failure) {
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        if (!state.failedWrite) {
            state.failedWrite = std::move(failure);
        }
    });
}

/// The whole write of a new or metadata file, from a task: it may wait for a send in progress, send the
/// file itself, and then write on the device.
void writeEphemeral(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item, std::uint64_t start,
                    std::span<const std::byte> bytes) {
    for (bool sentOnce = false;;) {
        std::unique_lock content(item->contentLock());
        const auto outcome = writeInMemory(volume, *item, start, bytes);
        content.unlock();
        switch (outcome) {
        case MemoryWrite::done:
            return;
        case MemoryWrite::doneAndFull:
            volume.flush(item, SendCompletion::growsLater);
            return;
        case MemoryWrite::tooLarge:
            throw posixError(EFBIG);
        case MemoryWrite::sendFirst:
            if (sentOnce) {
                throw posixError(EFBIG);
            }
            volume.flush(item, SendCompletion::growsLater);
            sentOnce = true;
            continue;
        case MemoryWrite::sent:
            break;
        }
        writeInEditSession(volume, *volume.sentItem(*item), start, bytes);
        return;
    }
}

} // namespace

void sendUnsentWrite(AndroidVolume& volume, AndroidItem& item) {
    auto unsent =
        volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<AndroidItem::ReadCache> {
            auto& state = item.state(tables.lock);
            if (!state.unsentWrite || !state.kind.object()) {
                return std::nullopt;
            }
            auto taken = std::move(state.unsentWrite);
            state.unsentWrite.reset();
            return taken;
        });
    if (!unsent) {
        return;
    }
    const auto object = volume.withLock(
        [&](AndroidVolume::Tables& tables) { return *item.state(tables.lock).kind.object(); });
    try {
        volume.fs().writeOpen(object, unsent->offset, unsent->data);
    } catch (...) {
        // The run stays, so that the next write, the close or a synchronize tries again and reports it.
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item.state(tables.lock);
            if (!state.unsentWrite) {
                state.unsentWrite = std::move(unsent);
            }
        });
        throw;
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

    std::shared_ptr<EphemeralItem> upload;
    auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        const bool bound =
            withLock([&](Tables& tables) { return memory->state(tables.lock).destination.isDevice(); });
        // Writing nothing changes nothing: a file never grows by an empty write at an offset past its end.
        if (length == 0) {
            reply(0, std::nullopt);
            return;
        }
        if (bound) {
            recordWrite();
        }
        device = sentItem(*memory);
        if (!device) {
            // Most writes of a new file only add to its buffer and answer at once. One that finds a send in
            // progress waits for it in a task rather than on FSKit's thread.
            std::unique_lock content(memory->contentLock(), std::try_to_lock);
            if (content.owns_lock()) {
                const auto outcome = writeInMemory(*this, *memory, start, contents);
                content.unlock();
                if (outcome == MemoryWrite::done) {
                    reply(length, std::nullopt);
                    return;
                }
                if (outcome == MemoryWrite::tooLarge) {
                    reply(0, posixError(EFBIG));
                    return;
                }
                if (outcome == MemoryWrite::doneAndFull) {
                    startTask([this, memory, length, reply] {
                        try {
                            flush(memory, SendCompletion::growsLater);
                        } catch (...) {
                            markFailed(*this, *memory, std::current_exception());
                            reply(0, fsError(std::current_exception()));
                            return;
                        }
                        reply(length, std::nullopt);
                    });
                    return;
                }
            }
            startTask([this, memory, start, bytes = Bytes(contents.begin(), contents.end()), reply] {
                try {
                    writeEphemeral(*this, memory, start, bytes);
                } catch (...) {
                    markFailed(*this, *memory, std::current_exception());
                    reply(0, fsError(std::current_exception()));
                    return;
                }
                reply(bytes.size(), std::nullopt);
            });
            return;
        }
        upload = memory;
    } else {
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
        if (length == 0) {
            reply(0, std::nullopt);
            return;
        }
        recordWrite();
    }
    {
        // A write that continues the run waiting to be sent answers at once.
        std::unique_lock content(device->contentLock(), std::try_to_lock);
        if (content.owns_lock() && appendToUnsent(*this, *device, start, contents)) {
            content.unlock();
            reply(length, std::nullopt);
            return;
        }
    }
    startTask([this, device, upload, start, bytes = Bytes(contents.begin(), contents.end()), reply] {
        try {
            writeInEditSession(*this, *device, start, bytes);
        } catch (...) {
            if (upload) {
                markFailed(*this, *upload, std::current_exception());
            }
            reply(0, fsError(std::current_exception()));
            return;
        }
        reply(bytes.size(), std::nullopt);
    });
}

} // namespace tandalo
