// Opening and closing: the open count of every file, and the last close, which finishes what the writes
// left open: the edit session ends, a new file goes to the device or takes its name there.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <exception>

namespace tandalo {

namespace {

/// Takes one open off the count; returns the opens left.
std::int64_t closeOne(std::int64_t& openCount) {
    openCount = std::max<std::int64_t>(openCount - 1, 0);
    return openCount;
}

void replyWith(const fskit::StatusReply& reply, const std::exception_ptr& failure) {
    if (failure) {
        reply(fsError(failure));
    } else {
        reply(std::nullopt);
    }
}

} // namespace

std::exception_ptr AndroidVolume::finishEdits(const std::shared_ptr<AndroidItem>& item) {
    // Writes and truncates hold the content lock while they use the session, so none of them lands
    // between the end of the session and the flag that says it ended.
    std::lock_guard content(item->contentLock());
    struct Snapshot {
        std::optional<corvane::MTPObject> object;
        bool isEditing;
        std::exception_ptr lostWrite;
    };
    const auto snapshot = withLock([&](Tables& tables) {
        auto& state = item->state(tables.lock);
        const auto* object = state.kind.object();
        return Snapshot{object ? std::optional(*object) : std::nullopt, state.isEditing,
                        std::exchange(state.lostWrite, nullptr)};
    });
    std::exception_ptr failure = snapshot.lostWrite;
    if (snapshot.isEditing && snapshot.object) {
        const auto& name = snapshot.object->name();
        try {
            sendUnsentWrite(*this, *item);
        } catch (...) {
            // The bytes go with the session; the application hears that its writes were not kept.
            const auto error = std::current_exception();
            m_log.error("write to %{public}s lost: %{public}s", name, describe(error));
            withLock([&](Tables& tables) { item->state(tables.lock).dropUnsentWrites(); });
            failure = failure ? failure : error;
        }
        try {
            fs().endEdit(*snapshot.object);
        } catch (...) {
            const auto error = std::current_exception();
            m_log.error("endEdit failed for %{public}s: %{public}s", name, describe(error));
            failure = failure ? failure : error;
        }
        try {
            const auto reloaded = fs().object(snapshot.object->handle());
            withLock([&](Tables& tables) {
                auto& state = item->state(tables.lock);
                state.name = reloaded.name();
                state.kind = AndroidItem::Kind::object(reloaded);
                state.pendingSize.reset();
            });
            // The host may have cached the size and time from before the edits reached the device.
            noticeRecord(*item, *snapshot.object, reloaded);
        } catch (...) {
            // Deliberately dropped: the size written stays pending and the next look-up brings the record.
        }
        withLock([](Tables& tables) { ++tables.generation; });
        spaceChanged();
    }
    withLock([&](Tables& tables) {
        auto& state = item->state(tables.lock);
        state.isEditing = false;
        state.dropUnsentWrites();
        state.readCache.reset();
    });
    return failure;
}

void AndroidVolume::openItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                             fskit::StatusReply reply) {
    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        if (const auto device = sentItem(*memory)) {
            withLock([&](Tables& tables) { ++device->state(tables.lock).openCount; });
        } else {
            withLock([&](Tables& tables) { ++memory->state(tables.lock).openCount; });
        }
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
    const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item);
    auto device = memory ? sentItem(*memory) : std::dynamic_pointer_cast<AndroidItem>(item);
    if (!memory && !device) {
        reply(posixError(EINVAL));
        return;
    }
    // Every open counts, the readers' too: only the last close may send a new file or end a session, or a
    // reader's close would send a file while its writer still has bytes to add.
    const auto remaining = withLock([&](Tables& tables) {
        return device ? closeOne(device->state(tables.lock).openCount)
                      : closeOne(memory->state(tables.lock).openCount);
    });
    const bool bound =
        memory && withLock([&](Tables& tables) { return memory->state(tables.lock).destination.isDevice(); });
    if (remaining > 0 || (memory && !bound && !device)) {
        reply(std::nullopt);
        return;
    }
    // The close of a file that was only read (every file of a copy out) has nothing for the device: it
    // answers at once, without a task of its own, unless a write or read holds the file's contents.
    if (!memory) {
        std::unique_lock content(device->contentLock(), std::try_to_lock);
        const bool idle = content.owns_lock() && withLock([&](Tables& tables) {
                              auto& state = device->state(tables.lock);
                              if (state.isEditing || state.lostWrite || state.hasUnsentWrites()) {
                                  return false;
                              }
                              state.dropUnsentWrites();
                              state.readCache.reset();
                              return true;
                          });
        if (idle) {
            reply(std::nullopt);
            return;
        }
    }
    startTask([this, memory, device, reply]() mutable {
        if (memory && !device) {
            // A send that a write started behind itself ends first, and so does the record of its failure.
            std::unique_lock content(memory->contentLock());
            // A write the file needed failed, and its writer heard so: what memory holds is not the file,
            // and it does not go to the device under the file's name.
            const auto failedWrite = withLock([&](Tables& tables) {
                auto& state = memory->state(tables.lock);
                if (state.failedWrite && !state.sent) {
                    tables.takeOut(memory);
                    state.destination = EphemeralItem::Destination::memoryOnly();
                    ++tables.generation;
                }
                return state.sent ? nullptr : state.failedWrite;
            });
            if (failedWrite) {
                content.unlock();
                reply(fsError(failedWrite));
                return;
            }
            try {
                flush(memory, SendCompletion::whole, content);
                content.unlock();
            } catch (...) {
                content.unlock();
                const auto name = withLock([&](Tables& tables) { return memory->state(tables.lock).name; });
                log().error("flush of %{public}s failed: %{public}s", name,
                            describe(std::current_exception()));
                reply(fsError(std::current_exception()));
                return;
            }
            // A send that another write started may have finished while this close waited for it, and
            // the file then grew through an edit session that ends here.
            device = sentItem(*memory);
            if (!device) {
                reply(std::nullopt);
                return;
            }
        }
        auto failure = finishEdits(device);
        if (memory) {
            if (failure) {
                withLock([&](Tables& tables) {
                    auto& state = memory->state(tables.lock);
                    state.failedWrite = state.failedWrite ? state.failedWrite : failure;
                });
            }
            try {
                completeUpload(memory);
            } catch (...) {
                failure = failure ? failure : std::current_exception();
            }
        }
        replyWith(reply, failure);
    });
}

} // namespace tandalo
