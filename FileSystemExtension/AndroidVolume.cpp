#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/DeviceName.h"
#include "FileSystemExtension/DeviceStatus.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/ExtensionLog.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <exception>

namespace tandalo {

void AndroidVolume::Tables::setItem(std::shared_ptr<AndroidItem> item, std::uint64_t id) {
    if (item) {
        items[id] = std::move(item);
    } else {
        items.erase(id);
    }
}

std::shared_ptr<EphemeralItem> AndroidVolume::Tables::ephemeralChild(const std::string& name,
                                                                     std::uint64_t parentID) const {
    const auto folder = ephemeral.find(parentID);
    if (folder == ephemeral.end()) {
        return nullptr;
    }
    const auto child = folder->second.find(name);
    return child == folder->second.end() ? nullptr : child->second;
}

void AndroidVolume::Tables::addEphemeral(std::shared_ptr<EphemeralItem> item) {
    const auto& state = item->state(lock);
    ephemeral[state.parentID][state.name] = std::move(item);
}

void AndroidVolume::Tables::takeOut(const std::shared_ptr<EphemeralItem>& item) {
    const auto& state = item->state(lock);
    const auto folder = ephemeral.find(state.parentID);
    if (folder == ephemeral.end()) {
        return;
    }
    if (const auto entry = folder->second.find(state.name);
        entry != folder->second.end() && entry->second == item) {
        folder->second.erase(entry);
        if (folder->second.empty()) {
            ephemeral.erase(folder);
        }
    }
}

std::shared_ptr<AndroidVolume> AndroidVolume::make(std::shared_ptr<corvane::MTPFileSystem> fs,
                                                   corvane::USBDeviceDescriptor descriptor,
                                                   VolumeAccess access, Context context) {
    return std::shared_ptr<AndroidVolume>(
        new AndroidVolume(std::move(fs), std::move(descriptor), access, context));
}

AndroidVolume::AndroidVolume(std::shared_ptr<corvane::MTPFileSystem> fs,
                             corvane::USBDeviceDescriptor descriptor, VolumeAccess access, Context context)
    : fskit::FSVolume(fskit::FSVolumeIdentifier(),
                      fskit::FSFileName(corvane::DeviceName::clean(
                          descriptor.productName, descriptor.vendorName, descriptor.serialNumber))),
      m_fs(std::move(fs)), m_descriptor(std::move(descriptor)), m_access(access), m_context(context),
      m_log(extensionLog(*context.logStore)),
      m_deviceKey(context.deviceKey.value_or(deviceKey(m_descriptor))),
      m_root(
          std::make_shared<AndroidItem>(AndroidItem::Kind::root(), "/", AndroidItem::parentOfRootIdentifier)),
      m_mountTime(context.clock->wallNow()), m_tasks("volume " + m_deviceKey, m_log) {
    m_tables.setItem(m_root, AndroidItem::rootIdentifier);
}

AndroidVolume::~AndroidVolume() = default;

std::string AndroidVolume::deviceKey(const corvane::USBDeviceDescriptor& descriptor) {
    return descriptor.serialNumber.empty() ? std::to_string(descriptor.registryEntryID)
                                           : descriptor.serialNumber;
}

std::shared_ptr<AndroidItem> AndroidVolume::item(AndroidItem::Kind kind, std::string name,
                                                 const AndroidItem& parent) {
    const auto id = AndroidItem::identifier(kind);
    return withLock([&](Tables& tables) {
        if (const auto existing = tables.items.find(id); existing != tables.items.end()) {
            auto& state = existing->second->state(tables.lock);
            // Only an object's record changes under the same identifier; a storage or the root stays as
            // it was first seen.
            if (const auto* object = kind.object()) {
                state.name = object->name();
                state.kind = std::move(kind);
                // Inside an edit session the device still reports the size from before it, so the size
                // written so far stays until the session ends.
                if (!state.isEditing) {
                    state.pendingSize.reset();
                }
            }
            return existing->second;
        }
        auto created = std::make_shared<AndroidItem>(std::move(kind), std::move(name), parent.id());
        tables.setItem(created, id);
        return created;
    });
}

std::vector<std::shared_ptr<EphemeralItem>> AndroidVolume::ephemeralChildren(std::uint64_t parentID) {
    return withLock([&](Tables& tables) {
        std::vector<std::shared_ptr<EphemeralItem>> children;
        if (const auto folder = tables.ephemeral.find(parentID); folder != tables.ephemeral.end()) {
            // The inner map is ordered by name already, which is the order listings want.
            for (const auto& [name, child] : folder->second) {
                children.push_back(child);
            }
        }
        return children;
    });
}

std::shared_ptr<AndroidItem> AndroidVolume::sentItem(EphemeralItem& item) {
    return withLock([&](Tables& tables) -> std::shared_ptr<AndroidItem> {
        auto& sent = item.state(tables.lock).sent;
        if (!sent) {
            return nullptr;
        }
        // FSKit may have let the device item go meanwhile, or a look-up made a new one for the object:
        // either way the table's item is the object's one item.
        if (const auto entry = tables.items.find(sent->id()); entry == tables.items.end()) {
            tables.setItem(sent, sent->id());
        } else {
            sent = entry->second;
        }
        return sent;
    });
}

void AndroidVolume::startTask(std::function<void()> body) {
    m_tasks.start([self = shared_from_this(), body = std::move(body)](std::stop_token) { body(); });
}

void AndroidVolume::refreshSpace(SpaceRefresh refresh) {
    const auto now = clock().now();
    const bool due = withLock([&](Tables& tables) {
        if (refresh == SpaceRefresh::ifStale && tables.spaceRefreshedAt &&
            now - *tables.spaceRefreshedAt < spaceRefreshInterval) {
            return false;
        }
        // Stamped before the device is asked, so that a refresh that starts while this one runs is
        // skipped too.
        tables.spaceRefreshedAt = now;
        return true;
    });
    if (!due) {
        return;
    }
    try {
        fs().refreshStorages();
    } catch (const std::exception& error) {
        // The figures stay those of the storages as last read; statistics never fail for this.
        m_log.error("storage refresh failed: %{public}s", error.what());
    }
    std::uint64_t total = 0;
    std::uint64_t free = 0;
    for (const auto& storage : fs().storages()) {
        total += storage.maxCapacity;
        free += storage.freeSpaceBytes;
    }
    withLock([&](Tables& tables) {
        tables.cachedTotalBytes = total;
        tables.cachedFreeBytes = free;
    });
}

void AndroidVolume::spaceChanged() {
    const bool start = withLock([](Tables& tables) {
        if (tables.spaceRefreshScheduled || tables.isShutDown) {
            return false;
        }
        tables.spaceRefreshScheduled = true;
        return true;
    });
    if (!start) {
        return;
    }
    // Holds the volume only weakly while it waits, so that a volume let go of is not kept for the wait.
    m_tasks.start([weak = weak_from_this(), clock = m_context.clock](std::stop_token stop) {
        std::optional<platform::Clock::TimePoint> due;
        if (const auto self = weak.lock()) {
            due = self->withLock([](Tables& tables) -> std::optional<platform::Clock::TimePoint> {
                return tables.spaceRefreshedAt ? std::optional(*tables.spaceRefreshedAt + spaceChangeInterval)
                                               : std::nullopt;
            });
        }
        if (due && *due > clock->now() && !clock->sleepFor(*due - clock->now(), stop)) {
            return;
        }
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        // Cleared before the device is asked: a change from now on is not in the figures read next.
        self->withLock([](Tables& tables) { tables.spaceRefreshScheduled = false; });
        self->refreshSpace(SpaceRefresh::always);
    });
}

void AndroidVolume::endOpenEdits() {
    const auto editing = withLock([&](Tables& tables) {
        std::vector<std::shared_ptr<AndroidItem>> found;
        for (const auto& [id, item] : tables.items) {
            if (item->state(tables.lock).isEditing) {
                found.push_back(item);
            }
        }
        return found;
    });
    for (const auto& item : editing) {
        // Held from the last bytes sent to the flag that says the session ended: a write that comes
        // meanwhile lands before (and is sent here) or after (and opens a session of its own).
        std::lock_guard content(item->contentLock());
        const auto object = withLock([&](Tables& tables) -> std::optional<corvane::MTPObject> {
            const auto& state = item->state(tables.lock);
            const auto* found = state.kind.object();
            return state.isEditing && found ? std::optional(*found) : std::nullopt;
        });
        std::exception_ptr lost;
        if (object) {
            try {
                sendUnsentWrite(*this, *item);
            } catch (...) {
                lost = std::current_exception();
                m_log.error("write to %{public}s lost: %{public}s", object->name(), describe(lost));
            }
            try {
                fs().endEdit(*object);
            } catch (const std::exception& error) {
                m_log.error("endEdit failed for %{public}s: %{public}s", object->name(), error.what());
            }
        }
        withLock([&](Tables& tables) {
            auto& state = item->state(tables.lock);
            state.isEditing = false;
            state.dropUnsentWrites();
            if (lost && !state.lostWrite) {
                state.lostWrite = lost;
            }
        });
    }
}

void AndroidVolume::flush(const std::shared_ptr<EphemeralItem>& item, SendCompletion completion) {
    const std::unique_lock content(item->contentLock());
    flush(item, completion, content);
}

void AndroidVolume::flush(const std::shared_ptr<EphemeralItem>& item, SendCompletion completion,
                          const std::unique_lock<std::mutex>& content) {
    struct Pending {
        EphemeralItem::Destination destination;
        std::string name;
        platform::Clock::WallTime modified;
        bool modifiedSet;
        std::optional<corvane::MTPObject> replacing;
    };
    const auto pending = withLock([&](Tables& tables) -> std::optional<Pending> {
        auto& state = item->state(tables.lock);
        // A file removed (or replaced by a rename) before it was sent must not reach the device, where
        // nothing would show it any more.
        const bool sends = state.destination.isDevice() && !state.sent &&
                           tables.ephemeralChild(state.name, state.parentID) == item;
        // The writer of a file that grows goes on while its start is on the wire, so that the two work at
        // once rather than by turns. Anything else takes what collected behind the buffer into it: the
        // file stays in memory, or goes whole.
        state.takesTail = sends && completion == SendCompletion::growsLater;
        if (!state.takesTail && !state.tail.empty()) {
            state.data.insert(state.data.end(), state.tail.begin(), state.tail.end());
            std::vector<std::byte>().swap(state.tail);
        }
        if (!sends) {
            return std::nullopt;
        }
        return Pending{state.destination, state.name, state.modified, state.modifiedSet, state.replacing};
    });
    if (!pending) {
        return;
    }
    // The content lock keeps every writer out of the contents, so the bytes can go to the device straight
    // from the item without the volume's lock.
    const auto storage = pending->destination.storageID();
    const auto parent = pending->destination.parentHandle();
    const auto contents = item->contents(content);
    const auto send = [&] {
        return completion == SendCompletion::whole
                   ? corvane::MTPFileSystem::PartialFile{fs().createFile(storage, parent, pending->name,
                                                                         contents, pending->modified,
                                                                         pending->replacing),
                                                         pending->name, std::nullopt}
                   : fs().createPartialFile(storage, parent, pending->name, contents, pending->modified,
                                            pending->replacing);
    };
    std::optional<corvane::MTPFileSystem::PartialFile> sending;
    try {
        sending = send();
    } catch (...) {
        // Nothing of the file is on the device: what collected behind it joins its contents again, in one
        // step, so that its size never reads short meanwhile.
        withLock([&](Tables& tables) {
            auto& state = item->state(tables.lock);
            state.takesTail = false;
            state.data.insert(state.data.end(), state.tail.begin(), state.tail.end());
            std::vector<std::byte>().swap(state.tail);
        });
        throw;
    }
    auto& sent = *sending;
    if (pending->modifiedSet) {
        // The date a caller set goes with the object's information; where the device lets it be set, it
        // is set again, since devices may stamp a new object with their own clock.
        try {
            fs().setModified(sent.object, pending->modified);
            sent.object = withModified(sent.object, pending->modified);
        } catch (const std::exception& error) {
            m_log.error("modification date of %{public}s not set: %{public}s", pending->name, error.what());
        }
    }
    // The writes that collected behind the start are the first run of the file's edit session, which
    // opens now: they are sent with the next run, a read, a synchronize or the close. They stay in the
    // item, and more may join them, until the device item takes them over, so that the file's size never
    // reads short meanwhile; without any, none may come before that.
    const bool tailWaits = withLock([&](Tables& tables) {
        auto& state = item->state(tables.lock);
        state.takesTail = state.takesTail && !state.tail.empty();
        return state.takesTail;
    });
    std::exception_ptr tailLost;
    if (tailWaits) {
        try {
            fs().beginEdit(sent.object);
        } catch (...) {
            tailLost = std::current_exception();
            m_log.error("writes to %{public}s lost: %{public}s", pending->name, describe(tailLost));
        }
    }
    const bool complete = sent.object.name() == pending->name && !sent.replacing;
    withLock([&](Tables& tables) {
        auto& state = item->state(tables.lock);
        state.takesTail = false;
        auto tail = std::exchange(state.tail, {});
        // From now on the file is its object: one device item carries its contents, its edit session and
        // the opens that are still to be closed.
        auto device = std::make_shared<AndroidItem>(AndroidItem::Kind::object(sent.object),
                                                    sent.object.name(), state.parentID);
        auto& edits = device->state(tables.lock);
        edits.openCount = state.openCount;
        edits.runsLikeStart = completion == SendCompletion::growsLater;
        if (tailLost) {
            // Acknowledged bytes that cannot reach the device: the file is not what its writer meant.
            edits.lostWrite = tailLost;
            state.failedWrite = state.failedWrite ? state.failedWrite : tailLost;
        } else if (!tail.empty()) {
            edits.isEditing = true;
            edits.pendingSize = contents.size() + tail.size();
            edits.unsentWrite = AndroidItem::ReadCache{contents.size(), std::move(tail)};
        }
        tables.setItem(device, device->id());
        state.openCount = 0;
        state.sent = std::move(device);
        state.complete = complete;
        state.replacing = sent.replacing;
        // Holding the contents too would make memory grow with every file copied onto the volume. A file
        // that grows reuses their buffer for its next run, rather than memory the system clears first.
        if (edits.runsLikeStart) {
            edits.spareRun = std::exchange(state.data, {});
            edits.spareRun.clear();
        } else {
            std::vector<std::byte>().swap(state.data);
        }
        // A whole file is the device's object from now on: the folder lists it, and changes on the phone
        // show. One that grows stands in the folder under its name until it is complete.
        if (complete) {
            tables.takeOut(item);
        }
        ++tables.generation;
    });
    spaceChanged();
}

void AndroidVolume::completeUpload(const std::shared_ptr<EphemeralItem>& item) {
    std::lock_guard content(item->contentLock());
    struct Upload {
        std::shared_ptr<AndroidItem> device;
        std::string name;
        std::optional<corvane::MTPObject> replacing;
        std::exception_ptr failedWrite;
    };
    const auto upload = withLock([&](Tables& tables) -> std::optional<Upload> {
        const auto& state = item->state(tables.lock);
        if (!state.sent || state.complete || tables.ephemeralChild(state.name, state.parentID) != item) {
            return std::nullopt;
        }
        return Upload{state.sent, state.name, state.replacing, state.failedWrite};
    });
    if (!upload) {
        return;
    }
    const auto object =
        withLock([&](Tables& tables) { return *upload->device->state(tables.lock).kind.object(); });
    if (upload->failedWrite) {
        // A write the file needed never arrived: what is on the device is not the file, and goes.
        withLock([&](Tables& tables) {
            tables.takeOut(item);
            item->state(tables.lock).complete = true;
            ++tables.generation;
        });
        try {
            fs().remove(object);
        } catch (const std::exception& error) {
            m_log.error("the incomplete %{public}s stays on the device as %{public}s: %{public}s",
                        upload->name, object.name(), error.what());
        }
        std::rethrow_exception(upload->failedWrite);
    }
    const auto placed = fs().completeFile({object, upload->name, upload->replacing});
    withLock([&](Tables& tables) {
        auto& device = upload->device->state(tables.lock);
        device.kind = AndroidItem::Kind::object(placed);
        device.name = placed.name();
        auto& state = item->state(tables.lock);
        state.complete = true;
        state.replacing.reset();
        tables.takeOut(item);
        ++tables.generation;
    });
}

std::exception_ptr AndroidVolume::sendEverything() {
    std::exception_ptr first;
    const auto remember = [&] {
        if (!first) {
            first = std::current_exception();
        }
    };
    const auto waiting = withLock([](Tables& tables) {
        std::vector<std::shared_ptr<AndroidItem>> found;
        for (const auto& [id, item] : tables.items) {
            if (item->state(tables.lock).hasUnsentWrites()) {
                found.push_back(item);
            }
        }
        return found;
    });
    for (const auto& item : waiting) {
        std::lock_guard content(item->contentLock());
        try {
            sendUnsentWrite(*this, *item);
        } catch (...) {
            remember();
        }
    }
    struct Unsent {
        std::shared_ptr<EphemeralItem> item;
        bool open;
    };
    const auto unsent = withLock([](Tables& tables) {
        std::vector<Unsent> found;
        for (const auto& [parent, children] : tables.ephemeral) {
            for (const auto& [name, item] : children) {
                const auto& state = item->state(tables.lock);
                if (state.destination.isDevice() && !state.sent) {
                    found.push_back({item, state.openCount > 0});
                }
            }
        }
        return found;
    });
    for (const auto& each : unsent) {
        try {
            flush(each.item, each.open ? SendCompletion::growsLater : SendCompletion::whole);
            // Writes that collected behind the file while it was on its way wait in its edit session.
            if (const auto device = sentItem(*each.item)) {
                std::lock_guard content(device->contentLock());
                sendUnsentWrite(*this, *device);
            }
        } catch (...) {
            remember();
        }
    }
    return first;
}

void AndroidVolume::settleNewFiles() {
    struct NewFile {
        std::shared_ptr<EphemeralItem> item;
        std::string name;
        std::shared_ptr<AndroidItem> device;
        bool open;
    };
    const auto candidates = withLock([](Tables& tables) {
        std::vector<std::shared_ptr<EphemeralItem>> found;
        for (const auto& [parent, children] : tables.ephemeral) {
            for (const auto& [name, item] : children) {
                if (item->state(tables.lock).destination.isDevice()) {
                    found.push_back(item);
                }
            }
        }
        return found;
    });
    for (const auto& candidate : candidates) {
        // A send that a write started behind itself ends first: what it put on the device belongs to the
        // file, and one that has not begun finds the file gone and sends nothing.
        std::unique_lock content(candidate->contentLock());
        const auto file = withLock([&](Tables& tables) {
            const auto& state = candidate->state(tables.lock);
            const bool open = state.sent ? state.sent->state(tables.lock).openCount > 0 : state.openCount > 0;
            return NewFile{candidate, state.name, state.sent, open};
        });
        if (file.open) {
            // Its writer never closed it: the copy was cut short (the mount helper stopped, the mount was
            // forced away). What reached of it the device is not the file.
            withLock([&](Tables& tables) {
                tables.takeOut(file.item);
                ++tables.generation;
            });
            content.unlock();
            if (!file.device) {
                m_log.error("%{public}s was still being written and is dropped", file.name);
                continue;
            }
            const auto object =
                withLock([&](Tables& tables) { return *file.device->state(tables.lock).kind.object(); });
            try {
                fs().remove(object);
                m_log.error("%{public}s was still being written; its incomplete copy was removed", file.name);
            } catch (const std::exception& error) {
                m_log.error("%{public}s was still being written; its incomplete copy stays as %{public}s: "
                            "%{public}s",
                            file.name, object.name(), error.what());
            }
            continue;
        }
        content.unlock();
        try {
            if (file.device) {
                completeUpload(file.item);
            } else {
                flush(file.item, SendCompletion::whole);
            }
        } catch (...) {
            m_log.error("%{public}s could not be sent to the device and is lost: %{public}s", file.name,
                        describe(std::current_exception()));
        }
    }
}

void AndroidVolume::shutdown() {
    if (m_shutdownStarted.exchange(true)) {
        return;
    }
    withLock([](Tables& tables) { tables.isShutDown = true; });
    // Only the waits of deferred work look at the stop request; an operation in flight runs to its end.
    m_tasks.requestStop();
    // Operations still in flight (the tail of an activation among them) end before the device goes; an
    // activation that ends now starts no poller. One that waits on a device that has stopped answering
    // would hold the unmount for its full time-outs: the device is given up instead, which ends it.
    while (!m_tasks.waitAll(clock(), std::chrono::seconds(1))) {
        const auto waiting = fs().device().transferInProgressFor();
        if (waiting && *waiting >= stuckTransferLimit) {
            m_log.error("%{public}s does not answer; giving it up", name().data());
            fs().device().abandon();
        }
    }
    auto poller = withLock([](Tables& tables) { return std::move(tables.batteryTask); });
    if (poller.valid()) {
        poller.cancel();
        poller.wait();
    }
    // Unmount normally did both already; a volume unloaded without an unmount must not lose data either.
    endOpenEdits();
    settleNewFiles();
    fs().close();
    DeviceStatus::clear(m_deviceKey, *m_context.environment);
}

fskit::FSVolumeSupportedCapabilities AndroidVolume::supportedVolumeCapabilities() const {
    fskit::FSVolumeSupportedCapabilities capabilities;
    capabilities.supportsPersistentObjectIDs = true;
    capabilities.supportsSymbolicLinks = false;
    capabilities.supportsHardLinks = false;
    capabilities.supportsJournal = false;
    capabilities.supportsActiveJournal = false;
    capabilities.doesNotSupportRootTimes = true;
    capabilities.supportsSparseFiles = false;
    capabilities.supportsZeroRuns = false;
    capabilities.supportsFastStatFS = true;
    capabilities.supports2TBFiles = true;
    capabilities.supportsOpenDenyModes = false;
    capabilities.supportsHiddenFiles = false;
    capabilities.doesNotSupportVolumeSizes = false;
    capabilities.supports64BitObjectIDs = true;
    capabilities.supportsDocumentID = false;
    capabilities.doesNotSupportImmutableFiles = true;
    capabilities.doesNotSupportSettingFilePermissions = true;
    capabilities.caseFormat = fskit::FSVolumeCaseFormat::sensitive;
    return capabilities;
}

fskit::FSStatFSResult AndroidVolume::volumeStatistics() const {
    std::uint64_t total = 0;
    std::uint64_t free = 0;
    {
        std::lock_guard guard(m_lock);
        total = m_tables.cachedTotalBytes;
        free = m_tables.cachedFreeBytes;
    }
    fskit::FSStatFSResult result("tandalo");
    result.blockSize = blockSize;
    result.ioSize = 0x100000;
    result.totalBytes = total;
    result.freeBytes = free;
    result.availableBytes = free;
    result.usedBytes = total - std::min(total, free);
    result.totalBlocks = total >> 12;
    result.freeBlocks = free >> 12;
    result.availableBlocks = free >> 12;
    result.usedBlocks = result.freeBlocks > result.totalBlocks ? 0 : result.totalBlocks - result.freeBlocks;
    // A device sets no limit on the number of files; 0 says "unknown", as other file systems without one.
    result.totalFiles = 0;
    result.freeFiles = 0;
    return result;
}

void AndroidVolume::mount(fskit::FSTaskOptions, fskit::StatusReply reply) {
    m_log.info("mount %{public}s", name().data());
    reply(std::nullopt);
}

void AndroidVolume::unmount(fskit::UnmountReply reply) {
    m_log.info("unmount %{public}s", name().data());
    startTask([this, reply] {
        endOpenEdits();
        // A new file that was closed but could not be sent would otherwise vanish with the volume.
        settleNewFiles();
        reply();
    });
}

void AndroidVolume::activate(fskit::FSTaskOptions, fskit::ItemReply reply) {
    startTask([this, reply] {
        refreshSpace(SpaceRefresh::always);
        reply(m_root, std::nullopt);
        startBatteryTask();
    });
}

void AndroidVolume::removeLeftovers(std::stop_token stop) {
    if (readOnly()) {
        return;
    }
    std::vector<corvane::MTPObject> leftovers;
    try {
        leftovers = fs().incompleteLeftovers(stop);
    } catch (const std::exception& error) {
        m_log.error("looking for what cut-short copies left failed: %{public}s", error.what());
        return;
    }
    bool removed = false;
    for (const auto& object : leftovers) {
        if (stop.stop_requested()) {
            break;
        }
        try {
            fs().remove(object);
            removed = true;
            m_log.notice("removed %{public}s, left incomplete by a copy that was cut short", object.name());
        } catch (const std::exception& error) {
            m_log.error("%{public}s, left incomplete by a copy that was cut short, stays: %{public}s",
                        object.name(), error.what());
        }
    }
    if (removed) {
        withLock([](Tables& tables) { ++tables.generation; });
        spaceChanged();
    }
}

void AndroidVolume::deactivate(fskit::FSDeactivateOptions, fskit::StatusReply reply) {
    startTask([this, reply] {
        endOpenEdits();
        reply(std::nullopt);
    });
}

void AndroidVolume::synchronize(fskit::FSSyncFlags, fskit::StatusReply reply) {
    startTask([this, reply] {
        // A barrier: what writes were told went well is on the device when this answers, or the answer
        // says it is not.
        const auto failure = sendEverything();
        refreshSpace(SpaceRefresh::ifStale);
        if (failure) {
            reply(fsError(failure));
        } else {
            reply(std::nullopt);
        }
    });
}

} // namespace tandalo
