// Writing files: device files in place through one Android edit session that lasts until the last close;
// new files in memory, sent whole once they reach 16 MiB or are closed.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"
#include "platform/foundation/LargeBuffer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <utility>
#include <vector>

namespace tandalo {

namespace {

using Bytes = std::vector<std::byte>;

/// The size from which a new file is taken for a large one on its way to the device.
constexpr std::uint64_t largeFileHint = 0x100000;

/// The most bytes one run of the item collects before it is sent.
std::uint64_t runLimitOf(const AndroidItem::State& state) {
    return state.runsLikeStart ? flushThreshold : writeBehindLimit;
}

/// Adds the bytes to the run that waits to be sent, when they continue it and it has room; the caller
/// holds the item's content lock. Sequential writes of 1 MiB thus reach the device as one partial write of
/// up to 4 MiB: each transaction costs the phone's turnaround and a round of hand-overs between the
/// threads that carry it, which a large write pays only once.
bool appendToUnsent(AndroidVolume& volume, AndroidItem& item, std::uint64_t start,
                    std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        const auto* object = state.kind.object();
        // A run the device refused goes again first, and its failure reaches this writer.
        if (!state.isEditing || !state.unsentWrite || state.refusedWrite || object == nullptr) {
            return false;
        }
        auto& run = state.unsentWrite->data;
        if (start != state.unsentWrite->offset + run.size() ||
            run.size() + bytes.size() > runLimitOf(state)) {
            return false;
        }
        run.insert(run.end(), bytes.begin(), bytes.end());
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(object->size()));
        state.readCache.reset();
        return true;
    });
}

/// Starts the run that waits to be sent with the bytes, in the spare buffer when there is one.
void startRun(AndroidItem::State& state, std::uint64_t start, std::span<const std::byte> bytes) {
    auto& run = state.unsentWrite.emplace();
    run.offset = start;
    run.data = std::exchange(state.spareRun, {});
    platform::reserveLarge(run.data, static_cast<std::size_t>(runLimitOf(state)));
    run.data.assign(bytes.begin(), bytes.end());
}

/// Waits, holding the item's content lock, until no run of it is on its way to the device.
void awaitSendingWrite(AndroidVolume& volume, AndroidItem& item) {
    while (true) {
        const auto ended = volume.withLock([&](AndroidVolume::Tables& tables) {
            const auto& sending = item.state(tables.lock).sendingWrite;
            return sending ? sending->ended : std::shared_future<void>();
        });
        if (!ended.valid()) {
            return;
        }
        ended.wait();
    }
}

/// Sends the run that waits in the slot, if any; the caller holds the item's content lock and no run of it
/// is on its way. On failure the run stays, so that the next write, the close or a synchronize tries again
/// and reports it.
void sendWaitingRun(AndroidVolume& volume, AndroidItem& item,
                    std::optional<AndroidItem::ReadCache> AndroidItem::State::*slot) {
    struct Taken {
        AndroidItem::ReadCache run;
        corvane::MTPObject object;
    };
    auto taken = volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<Taken> {
        auto& state = item.state(tables.lock);
        auto& waiting = state.*slot;
        if (!waiting || !state.kind.object()) {
            return std::nullopt;
        }
        Taken found{std::move(*waiting), *state.kind.object()};
        waiting.reset();
        return found;
    });
    if (!taken) {
        return;
    }
    try {
        volume.fs().writeOpen(taken->object, taken->run.offset, taken->run.data);
    } catch (...) {
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& waiting = item.state(tables.lock).*slot;
            if (!waiting) {
                waiting = std::move(taken->run);
            }
        });
        throw;
    }
}

/// Whether the write continues the run that waits to be sent (which has no room left for it).
bool continuesUnsent(AndroidVolume& volume, AndroidItem& item, std::uint64_t start) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& unsent = item.state(tables.lock).unsentWrite;
        return unsent && start == unsent->offset + unsent->data.size();
    });
}

/// Numbers of the runs sent behind the writes.
std::atomic<std::uint64_t> sendNumbers{0};

/// Hands the item's unsent run to a send on a task of its own and starts the next run with the bytes, so
/// that the writer goes on while the run is on the wire. The caller holds the content lock, and no run of
/// the item is on its way or refused: one file thus holds at most two runs in memory. A refused send puts
/// its run back as the refused run, for the next write, read, synchronize or close to send again.
void sendBehind(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item, std::uint64_t start,
                std::span<const std::byte> bytes) {
    const auto ended = std::make_shared<std::promise<void>>();
    const auto number = ++sendNumbers;
    struct Taken {
        std::shared_ptr<AndroidItem::ReadCache> run;
        corvane::MTPObject object;
    };
    const auto taken = volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<Taken> {
        auto& state = item->state(tables.lock);
        const auto* object = state.kind.object();
        if (!object) {
            return std::nullopt;
        }
        std::optional<Taken> found;
        // A removal may have ended the session and its run meanwhile; the bytes then start a run alone.
        if (state.unsentWrite) {
            found = Taken{std::make_shared<AndroidItem::ReadCache>(std::move(*state.unsentWrite)), *object};
            state.sendingWrite =
                AndroidItem::SendingWrite{found->run->offset, found->run->offset + found->run->data.size(),
                                          ended->get_future().share(), number};
        }
        startRun(state, start, bytes);
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(object->size()));
        state.readCache.reset();
        return found;
    });
    if (!taken) {
        return;
    }
    const auto send = [&volume, item, taken = *taken, ended, number] {
        std::exception_ptr failure;
        try {
            volume.fs().writeOpen(taken.object, taken.run->offset, taken.run->data);
        } catch (...) {
            failure = std::current_exception();
        }
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item->state(tables.lock);
            // A session that ended meanwhile took its bytes with it.
            if (!state.sendingWrite || state.sendingWrite->number != number) {
                return;
            }
            state.sendingWrite.reset();
            if (failure) {
                state.refusedWrite = std::move(*taken.run);
            } else {
                state.spareRun = std::move(taken.run->data);
                state.spareRun.clear();
            }
        });
        if (!failure) {
            volume.spaceChanged();
        }
        ended->set_value();
    };
    try {
        volume.startTask(send);
    } catch (...) {
        // Without a task of its own the run is sent here; a refusal is reported as for a run sent behind.
        send();
    }
}

/// Sends the item's full unsent run behind the writes and starts the next run with the bytes, when they
/// continue it and no run of the item is on its way or refused; the caller holds the content lock. The
/// write that passes from one run to the next then answers at once, as the others do, rather than from a
/// task of its own with a copy of its bytes.
bool startNextRun(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item, std::uint64_t start,
                  std::span<const std::byte> bytes) {
    const bool ready = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        return state.isEditing && state.unsentWrite && !state.sendingWrite && !state.refusedWrite &&
               state.kind.object() != nullptr && bytes.size() < writeBehindLimit &&
               start == state.unsentWrite->offset + state.unsentWrite->data.size();
    });
    if (ready) {
        sendBehind(volume, item, start, bytes);
    }
    return ready;
}

/// Writes the bytes into the item's object on the device inside the item's edit session, opening the
/// session on the first write; short writes wait in the item's unsent run. The content lock serialises the
/// writes of one item, so two writes never both open a session and the pending size only grows in order.
void writeInEditSession(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& shared,
                        std::uint64_t start, std::span<const std::byte> bytes) {
    auto& item = *shared;
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
    if (bytes.size() < writeBehindLimit && continuesUnsent(volume, item, start)) {
        // The run is full: it goes on its way once the one before it has landed.
        awaitSendingWrite(volume, item);
        sendWaitingRun(volume, item, &AndroidItem::State::refusedWrite);
        if (!appendToUnsent(volume, item, start, bytes)) {
            sendBehind(volume, shared, start, bytes);
        }
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
            startRun(state, start, bytes);
        }
        state.pendingSize = std::max(start + bytes.size(), state.pendingSize.value_or(previous));
        state.readCache.reset();
    });
}

enum class MemoryWrite { done, doneAndFull, sent, tooLarge, sendFirst, failed };

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
        // The file lost bytes its writer was told were written; more writes cannot mend it.
        if (state.failedWrite) {
            return MemoryWrite::failed;
        }
        // Its buffer is on its way, or about to be, and later writes follow it there.
        if (state.takesTail) {
            return MemoryWrite::sendFirst;
        }
        auto& data = state.data;
        const auto end = start + bytes.size();
        const bool bound = state.destination.isDevice();
        if (end > flushThreshold && end > data.size() && (!bound || start > data.size())) {
            return bound ? MemoryWrite::sendFirst : MemoryWrite::tooLarge;
        }
        if (start == data.size()) {
            // A copy's writes each add to the end: copied there once, rather than cleared and then copied,
            // and a file that grows past a megabyte gets room for the whole buffer at once instead of
            // being moved at every doubling.
            if (bound && end > data.capacity() && end >= largeFileHint) {
                platform::reserveLarge(data, static_cast<std::size_t>(std::max(end, flushThreshold)));
            }
            data.insert(data.end(), bytes.begin(), bytes.end());
        } else {
            if (data.size() < end) {
                data.resize(static_cast<std::size_t>(end));
            }
            std::memcpy(data.data() + start, bytes.data(), bytes.size());
        }
        state.modified = volume.clock().wallNow();
        if (bound && data.size() >= flushThreshold) {
            // The full buffer is sent next; the writes that continue it meanwhile collect behind it.
            state.takesTail = true;
            return MemoryWrite::doneAndFull;
        }
        return MemoryWrite::done;
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

/// The first failed write of a new file.
std::exception_ptr failureOf(AndroidVolume& volume, EphemeralItem& item) {
    return volume.withLock(
        [&](AndroidVolume::Tables& tables) { return item.state(tables.lock).failedWrite; });
}

/// Adds the bytes behind a new file whose start is on its way to the device, when they continue it and
/// the run behind it has room; the file's content lock is the send's meanwhile. The run may grow as large
/// as the start, so that a writer faster than the link never waits for it: the file then holds two
/// buffers, as a file in its edit session does.
bool appendToTail(AndroidVolume& volume, EphemeralItem& item, std::uint64_t start,
                  std::span<const std::byte> bytes) {
    return volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item.state(tables.lock);
        auto& tail = state.tail;
        if (!state.takesTail || state.sent || state.failedWrite || start != state.data.size() + tail.size() ||
            tail.size() + bytes.size() > flushThreshold) {
            return false;
        }
        if (tail.empty()) {
            platform::reserveLarge(tail, flushThreshold);
        }
        tail.insert(tail.end(), bytes.begin(), bytes.end());
        state.modified = volume.clock().wallNow();
        return true;
    });
}

/// Sends a new file whose buffer is full while its writer goes on; a failure is recorded before the
/// writer can reach the file again, so that its next write or its close reports it.
void flushBehind(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item) {
    const std::unique_lock content(item->contentLock());
    try {
        volume.flush(item, SendCompletion::growsLater, content);
    } catch (...) {
        markFailed(volume, *item, std::current_exception());
    }
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
        case MemoryWrite::failed:
            std::rethrow_exception(failureOf(volume, *item));
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
        writeInEditSession(volume, volume.sentItem(*item), start, bytes);
        return;
    }
}

} // namespace

void sendUnsentWrite(AndroidVolume& volume, AndroidItem& item) {
    awaitSendingWrite(volume, item);
    sendWaitingRun(volume, item, &AndroidItem::State::refusedWrite);
    sendWaitingRun(volume, item, &AndroidItem::State::unsentWrite);
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
            recordWriteBehind();
        }
        device = sentItem(*memory);
        if (!device) {
            // Most writes of a new file only add to its buffer, or to the run behind it while the buffer is
            // sent, and answer at once. One that finds a send in progress and no room behind it waits for
            // it in a task rather than on FSKit's thread.
            if (appendToTail(*this, *memory, start, contents)) {
                reply(length, std::nullopt);
                return;
            }
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
                if (outcome == MemoryWrite::failed) {
                    reply(0, fsError(failureOf(*this, *memory)));
                    return;
                }
                if (outcome == MemoryWrite::doneAndFull) {
                    // The bytes are held, as those of every write before; the writer goes on while the
                    // buffer is sent, and the send's failure reaches its next write or its close.
                    startTask([this, memory] { flushBehind(*this, memory); });
                    reply(length, std::nullopt);
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
        recordWriteBehind();
    }
    {
        // A write that continues the run waiting to be sent answers at once.
        std::unique_lock content(device->contentLock(), std::try_to_lock);
        if (content.owns_lock() && (appendToUnsent(*this, *device, start, contents) ||
                                    startNextRun(*this, device, start, contents))) {
            content.unlock();
            reply(length, std::nullopt);
            return;
        }
    }
    startTask([this, device, upload, start, bytes = Bytes(contents.begin(), contents.end()), reply] {
        try {
            writeInEditSession(*this, device, start, bytes);
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
