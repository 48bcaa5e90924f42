#include "FileSystemExtension/AndroidVolume.h"

#include "Corvane/usb/DeviceName.h"
#include "FileSystemExtension/DeviceStatus.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/ExtensionLog.h"

#include <algorithm>
#include <exception>

namespace tandalo {

namespace {

constexpr std::uint64_t totalFiles = 0x1'0000'0000;
constexpr std::uint64_t freeFiles = 0x8000'0000;

} // namespace

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
      m_log(extensionLog(*context.logStore)), m_deviceKey(deviceKey(m_descriptor)),
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

void AndroidVolume::endOpenEdits() {
    struct Editing {
        std::shared_ptr<fskit::FSItem> item;
        std::optional<corvane::MTPObject> object;
    };
    const auto editing = withLock([&](Tables& tables) {
        std::vector<Editing> found;
        for (const auto& [id, item] : tables.items) {
            const auto& state = item->state(tables.lock);
            if (state.isEditing) {
                const auto* object = state.kind.object();
                found.push_back({item, object ? std::optional(*object) : std::nullopt});
            }
        }
        // A new file already sent to the device is written through an edit session like any other, and
        // its session must end too, or the bytes written in it may never be committed.
        for (const auto& [parent, children] : tables.ephemeral) {
            for (const auto& [name, item] : children) {
                const auto& state = item->state(tables.lock);
                if (state.isEditing) {
                    found.push_back({item, state.deviceObject});
                }
            }
        }
        return found;
    });
    for (const auto& each : editing) {
        if (each.object) {
            try {
                // Bytes that writes left waiting for the session go before it ends.
                sendUnsentWrites(each.item);
            } catch (const std::exception& error) {
                m_log.error("write to %{public}s lost: %{public}s", each.object->name(), error.what());
            }
            try {
                fs().endEdit(*each.object);
            } catch (const std::exception& error) {
                m_log.error("endEdit failed for %{public}s: %{public}s", each.object->name(), error.what());
            }
        }
        withLock([&](Tables& tables) {
            if (auto device = std::dynamic_pointer_cast<AndroidItem>(each.item)) {
                device->state(tables.lock).isEditing = false;
            } else if (auto memory = std::dynamic_pointer_cast<EphemeralItem>(each.item)) {
                memory->state(tables.lock).isEditing = false;
            }
        });
    }
}

void AndroidVolume::flush(const std::shared_ptr<EphemeralItem>& item) {
    std::unique_lock content(item->contentLock());
    struct Pending {
        EphemeralItem::Destination destination;
        std::string name;
        platform::Clock::WallTime modified;
    };
    const auto pending = withLock([&](Tables& tables) -> std::optional<Pending> {
        const auto& state = item->state(tables.lock);
        if (!state.destination.isDevice() || state.deviceObject) {
            return std::nullopt;
        }
        // A file removed (or replaced by a rename) before it was sent must not reach the device, where
        // nothing would show it any more.
        if (tables.ephemeralChild(state.name, state.parentID) != item) {
            return std::nullopt;
        }
        return Pending{state.destination, state.name, state.modified};
    });
    if (!pending) {
        return;
    }
    // The content lock keeps every writer out, so the bytes can go to the device straight from the item
    // without the volume's lock.
    const auto object = fs().createFile(pending->destination.storageID(), pending->destination.parentHandle(),
                                        pending->name, item->contents(content), pending->modified);
    withLock([&](Tables& tables) {
        auto& state = item->state(tables.lock);
        state.deviceObject = object;
        // From now on the file is read and written on the device; holding its contents too would make
        // memory grow with every file copied onto the volume.
        std::vector<std::byte>().swap(state.data);
    });
    withLock([](Tables& tables) { ++tables.generation; });
}

void AndroidVolume::flushPendingFiles() {
    const auto pending = withLock([](Tables& tables) {
        std::vector<std::shared_ptr<EphemeralItem>> found;
        for (const auto& [parent, children] : tables.ephemeral) {
            for (const auto& [name, item] : children) {
                const auto& state = item->state(tables.lock);
                if (state.destination.isDevice() && !state.deviceObject) {
                    found.push_back(item);
                }
            }
        }
        return found;
    });
    for (const auto& item : pending) {
        try {
            flush(item);
        } catch (...) {
            const auto name = withLock([&](Tables& tables) { return item->state(tables.lock).name; });
            m_log.error("%{public}s could not be sent to the device and is lost: %{public}s", name,
                        describe(std::current_exception()));
        }
    }
}

void AndroidVolume::shutdown() {
    if (m_shutdownStarted.exchange(true)) {
        return;
    }
    withLock([](Tables& tables) { tables.isShutDown = true; });
    // Operations still in flight (the tail of an activation among them) end before the device goes; an
    // activation that ends now starts no poller.
    m_tasks.waitAll();
    auto poller = withLock([](Tables& tables) { return std::move(tables.batteryTask); });
    if (poller.valid()) {
        poller.cancel();
        poller.wait();
    }
    // Unmount normally did both already; a volume unloaded without an unmount must not lose data either.
    endOpenEdits();
    flushPendingFiles();
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
    result.totalFiles = totalFiles;
    result.freeFiles = freeFiles;
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
        // A new file that was never closed would otherwise vanish with the volume.
        flushPendingFiles();
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

void AndroidVolume::deactivate(fskit::FSDeactivateOptions, fskit::StatusReply reply) {
    startTask([this, reply] {
        endOpenEdits();
        reply(std::nullopt);
    });
}

void AndroidVolume::synchronize(fskit::FSSyncFlags, fskit::StatusReply reply) {
    startTask([this, reply] {
        refreshSpace(SpaceRefresh::ifStale);
        reply(std::nullopt);
    });
}

} // namespace tandalo
