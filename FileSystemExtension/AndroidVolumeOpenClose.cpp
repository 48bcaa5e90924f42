// Opening and closing: the open count of device files, and the last close, which finishes what the writes
// left open: the edit session ends, a new file goes to the device.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <exception>

namespace tandalo {

namespace {

/// Ends the edit session of an object. A failure is logged and returned rather than thrown: the close
/// still has its clean-up to do, and then tells the application that its writes may not have been kept.
std::exception_ptr endEdit(AndroidVolume& volume, const corvane::MTPObject& object) {
    try {
        volume.fs().endEdit(object);
        return nullptr;
    } catch (...) {
        const auto error = std::current_exception();
        volume.log().error("endEdit failed for %{public}s: %{public}s", object.name(), describe(error));
        return error;
    }
}

/// Sends what writes left waiting before the session ends; a failure is logged and returned like that of
/// the end of the session, and the bytes are dropped with the session.
template <typename Item>
std::exception_ptr sendUnsent(AndroidVolume& volume, Item& item, const corvane::MTPObject& object) {
    try {
        sendUnsentWrite(volume, item);
        return nullptr;
    } catch (...) {
        const auto error = std::current_exception();
        volume.log().error("write to %{public}s lost: %{public}s", object.name(), describe(error));
        volume.withLock([&](AndroidVolume::Tables& tables) { item.state(tables.lock).unsentWrite.reset(); });
        return error;
    }
}

void lastCloseOfDeviceItem(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item,
                           const fskit::StatusReply& reply) {
    // Writes and truncates hold the content lock while they use the session, so none of them lands
    // between the end of the session and the flag that says it ended.
    std::lock_guard content(item->contentLock());
    struct Snapshot {
        std::optional<corvane::MTPObject> object;
        bool isEditing;
    };
    const auto snapshot = volume.withLock([&](AndroidVolume::Tables& tables) {
        const auto& state = item->state(tables.lock);
        const auto* object = state.kind.object();
        return Snapshot{object ? std::optional(*object) : std::nullopt, state.isEditing};
    });
    std::exception_ptr failure;
    if (snapshot.isEditing && snapshot.object) {
        failure = sendUnsent(volume, *item, *snapshot.object);
        if (const auto ended = endEdit(volume, *snapshot.object); !failure) {
            failure = ended;
        }
        try {
            const auto reloaded = volume.fs().object(snapshot.object->handle());
            volume.withLock([&](AndroidVolume::Tables& tables) {
                auto& state = item->state(tables.lock);
                state.name = reloaded.name();
                state.kind = AndroidItem::Kind::object(reloaded);
                state.pendingSize.reset();
            });
        } catch (...) {
            // Deliberately dropped: the size written stays pending and the next look-up brings the record.
        }
        volume.withLock([](AndroidVolume::Tables& tables) { ++tables.generation; });
    }
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& state = item->state(tables.lock);
        state.isEditing = false;
        state.readCache.reset();
    });
    if (failure) {
        reply(fsError(failure));
    } else {
        reply(std::nullopt);
    }
}

void closeOfSentFile(AndroidVolume& volume, const std::shared_ptr<EphemeralItem>& item,
                     const fskit::StatusReply& reply) {
    std::lock_guard content(item->contentLock());
    const auto object =
        volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<corvane::MTPObject> {
            const auto& state = item->state(tables.lock);
            return state.isEditing ? state.deviceObject : std::nullopt;
        });
    if (!object) {
        reply(std::nullopt);
        return;
    }
    auto failure = sendUnsent(volume, *item, *object);
    if (const auto ended = endEdit(volume, *object); !failure) {
        failure = ended;
    }
    volume.withLock([&](AndroidVolume::Tables& tables) { item->state(tables.lock).isEditing = false; });
    try {
        const auto reloaded = volume.fs().object(object->handle());
        volume.withLock([&](AndroidVolume::Tables& tables) {
            auto& state = item->state(tables.lock);
            state.deviceObject = reloaded;
            state.pendingSize.reset();
        });
    } catch (...) {
        // Deliberately dropped: the size written stays pending until a reload succeeds.
    }
    volume.withLock([](AndroidVolume::Tables& tables) { ++tables.generation; });
    if (failure) {
        reply(fsError(failure));
    } else {
        reply(std::nullopt);
    }
}

} // namespace

void AndroidVolume::openItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                             fskit::StatusReply reply) {
    if (std::dynamic_pointer_cast<EphemeralItem>(item)) {
        reply(std::nullopt);
        return;
    }
    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        reply(posixError(EINVAL));
        return;
    }
    const bool forWriting = modes.contains(fskit::FSVolumeOpenMode::write);
    const bool refused = withLock([&](Tables& tables) {
        auto& state = device->state(tables.lock);
        if (forWriting && (readOnly() || isWriteProtected(state.kind))) {
            return true;
        }
        ++state.openCount;
        return false;
    });
    if (refused) {
        reply(posixError(EROFS));
    } else {
        reply(std::nullopt);
    }
}

void AndroidVolume::closeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes,
                              fskit::StatusReply reply) {
    if (const auto device = std::dynamic_pointer_cast<AndroidItem>(item)) {
        const auto remaining = withLock([&](Tables& tables) {
            auto& state = device->state(tables.lock);
            state.openCount = std::max<std::int64_t>(state.openCount - 1, 0);
            return state.openCount;
        });
        if (remaining > 0) {
            reply(std::nullopt);
            return;
        }
        startTask([this, device, reply] { lastCloseOfDeviceItem(*this, device, reply); });
        return;
    }
    const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item);
    if (!memory) {
        reply(posixError(EINVAL));
        return;
    }
    enum class Work { none, flush, endEdit };
    const auto work = withLock([&](Tables& tables) {
        const auto& state = memory->state(tables.lock);
        if (state.destination.isMemoryOnly()) {
            return Work::none;
        }
        return state.deviceObject ? Work::endEdit : Work::flush;
    });
    if (work == Work::none) {
        reply(std::nullopt);
        return;
    }
    startTask([this, memory, work, reply] {
        if (work == Work::endEdit) {
            closeOfSentFile(*this, memory, reply);
            return;
        }
        try {
            flush(memory);
        } catch (...) {
            const auto name = withLock([&](Tables& tables) { return memory->state(tables.lock).name; });
            log().error("flush of %{public}s failed: %{public}s", name, describe(std::current_exception()));
            reply(fsError(std::current_exception()));
            return;
        }
        // A file whose send finished while this close waited for it may have been written through an edit
        // session since; that session ends here.
        closeOfSentFile(*this, memory, reply);
    });
}

} // namespace tandalo
