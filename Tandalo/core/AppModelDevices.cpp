// The device list: reconciliation with the USB monitor's lists, the one task of each device, mounting
// with its retries, and the mount folder's operations.
#include "Tandalo/core/AppModel.h"

#include "Corvane/usb/DeviceName.h"
#include "Corvane/usb/USBDeviceDiscovery.h"

#include <algorithm>
#include <exception>

namespace tandalo::app {

namespace {

/// Display names of the processes known to take phones for themselves, for "In use by ...".
const std::map<std::string, std::string, std::less<>>& knownHolderNames() {
    static const std::map<std::string, std::string, std::less<>> names{
        {"ptpcamerad", "Image Capture (ptpcamerad)"},
        {"PTPCamera", "Image Capture (PTPCamera)"},
        {"gvfsd-mtp", "the file manager's phone access (gvfsd-mtp)"},
        {"gvfsd-gphoto2", "the file manager's camera access (gvfsd-gphoto2)"},
    };
    return names;
}

std::string displayNameOf(const corvane::USBDeviceDescriptor& device) {
    return corvane::DeviceName::clean(device.productName, device.vendorName, device.serialNumber);
}

/// The message of a stale mount point error; nothing for any other error.
std::optional<std::string> staleMountPointMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const MountError& mountError) {
        if (mountError.isStaleMountPoint()) {
            return mountError.message();
        }
    } catch (...) {
    }
    return std::nullopt;
}

bool lists(const std::vector<DeviceEntry>& entries, std::string_view id) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const DeviceEntry& entry) { return entry.id() == id; });
}

/// Which devices of the list are located: told apart by bus location from another attached device of the
/// same serial number. A device keeps the form of id it had while it stays at its place (its registry
/// entry, or its location when it re-enumerates), so that the row, task, folder and shared status of a
/// mounted one stay its own: one mounted before its twin came keeps its serial as its id, and one mounted
/// as a twin keeps its location after the twin goes, until it is plugged in again. Only a device that has
/// nothing going on (unmounted or failed) takes the located id when a twin joins it, so that its next
/// mount names it unmistakably.
std::vector<bool> locatedDevices(const std::vector<corvane::USBDeviceDescriptor>& list,
                                 const std::vector<DeviceEntry>& old) {
    std::map<std::string, int, std::less<>> serials;
    for (const auto& descriptor : list) {
        if (!descriptor.serialNumber.empty()) {
            ++serials[descriptor.serialNumber];
        }
    }
    std::vector<bool> located;
    located.reserve(list.size());
    for (const auto& descriptor : list) {
        if (descriptor.serialNumber.empty()) {
            located.push_back(false);
            continue;
        }
        // One being mounted when it vanished stays listed for a while, and still counts.
        const bool shared =
            serials[descriptor.serialNumber] > 1 ||
            std::any_of(old.begin(), old.end(), [&](const DeviceEntry& entry) {
                return entry.state.isMounting() && entry.descriptor.serialNumber == descriptor.serialNumber &&
                       entry.descriptor.locationID != descriptor.locationID &&
                       std::none_of(list.begin(), list.end(),
                                    [&](const corvane::USBDeviceDescriptor& listed) {
                                        return listed.registryEntryID == entry.descriptor.registryEntryID;
                                    });
            });
        const auto same = [&](auto&& matches) {
            return std::find_if(old.begin(), old.end(), [&](const DeviceEntry& entry) {
                return entry.descriptor.serialNumber == descriptor.serialNumber && matches(entry.descriptor);
            });
        };
        auto previous = same([&](const corvane::USBDeviceDescriptor& known) {
            return known.registryEntryID == descriptor.registryEntryID;
        });
        if (previous == old.end()) {
            previous = same([&](const corvane::USBDeviceDescriptor& known) {
                return known.locationID == descriptor.locationID;
            });
        }
        if (previous == old.end()) {
            located.push_back(shared);
        } else if (previous->located) {
            located.push_back(true);
        } else {
            const auto& state = previous->state;
            located.push_back(shared && (state.isUnmounted() || state.isFailed()));
        }
    }
    return located;
}

} // namespace

const DeviceEntry* AppModel::entry(std::string_view id) const {
    const auto found = std::find_if(devices->begin(), devices->end(),
                                    [&](const DeviceEntry& device) { return device.id() == id; });
    return found == devices->end() ? nullptr : &*found;
}

void AppModel::setState(MountState state, std::string_view id) {
    const auto found = std::find_if(devices->begin(), devices->end(),
                                    [&](const DeviceEntry& device) { return device.id() == id; });
    if (found == devices->end()) {
        return;
    }
    const auto index = static_cast<std::size_t>(found - devices->begin());
    devices.modify([&](std::vector<DeviceEntry>& list) { list[index].state = std::move(state); });
}

// --- The one task of each device -----------------------------------------------------------------------

struct AppModel::TaskEnd {
    bool finished = false;
    std::vector<Resumer<void>> waiters;

    void finish() {
        finished = true;
        for (const auto& waiter : std::exchange(waiters, {})) {
            waiter.resume();
        }
    }
};

void AppModel::startDeviceTask(const std::string& id, Task<void> body, std::string name,
                               WhenCancelled whenCancelled) {
    std::weak_ptr<TaskEnd> previous;
    if (const auto found = m_mountTasks.find(id); found != m_mountTasks.end()) {
        found->second.handle.cancel();
        previous = found->second.end;
    }
    auto end = std::make_shared<TaskEnd>();
    auto handle = spawn(m_services.executor,
                        runAfter(std::move(previous), std::move(body), end, whenCancelled), std::move(name));
    m_mountTasks.insert_or_assign(id, DeviceTask{std::move(handle), std::move(end)});
}

void AppModel::cancelDeviceTask(const std::string& id) {
    const auto found = m_mountTasks.find(id);
    if (found == m_mountTasks.end()) {
        return;
    }
    found->second.handle.cancel();
    // One still running stays known, so that the device's next task waits for its end.
    if (found->second.end->finished) {
        m_mountTasks.erase(found);
    }
}

// The waiter holds the previous task's end weakly: a task that waits must not keep alive what it waits
// for, which would make a cycle through the waiter's own frame.
Task<void> AppModel::waitForEnd(std::weak_ptr<TaskEnd> previous) {
    auto start = [previous](Resumer<void> resumer) {
        const auto end = previous.lock();
        if (!end || end->finished) {
            resumer.resume();
            return;
        }
        end->waiters.push_back(std::move(resumer));
    };
    co_await callback<void>(std::move(start), "the device's previous task");
}

Task<void> AppModel::runAfter(std::weak_ptr<TaskEnd> previous, Task<void> body, std::shared_ptr<TaskEnd> end,
                              WhenCancelled whenCancelled) {
    try {
        co_await waitForEnd(std::move(previous));
    } catch (const CallbackDropped&) {
        // The previous task went without ending: its executor is going away, and this task with it.
    }
    std::exception_ptr error;
    const bool cancelled = co_await isCancelled();
    if (!cancelled || whenCancelled == WhenCancelled::finish) {
        try {
            co_await std::move(body);
        } catch (...) {
            error = std::current_exception();
        }
    }
    end->finish();
    if (error) {
        std::rethrow_exception(error);
    }
}

// --- Reconciliation ------------------------------------------------------------------------------------

void AppModel::handleDevices(std::vector<corvane::USBDeviceDescriptor> list) {
    const auto old = devices.get();
    const auto find = [&old](std::string_view id) {
        return std::find_if(old.begin(), old.end(),
                            [&](const DeviceEntry& device) { return device.id() == id; });
    };

    auto located = locatedDevices(list, old);
    // A device back before the clean-up of its vanished mount ended is not mounted on that mount. One
    // without a serial number comes back under a new id, and may be back before its old one is seen gone.
    std::set<std::string> listedIDs;
    for (std::size_t index = 0; index < list.size(); ++index) {
        listedIDs.insert(DeviceEntry::idOf(list[index], located[index]));
    }
    const auto isDying = [&](const std::filesystem::path& mount) {
        return std::any_of(m_dyingMounts.begin(), m_dyingMounts.end(),
                           [&](const auto& dying) { return dying.second == mount; }) ||
               std::any_of(old.begin(), old.end(), [&](const DeviceEntry& device) {
                   const auto* folder = device.state.mountedFolder();
                   return folder && *folder == mount && !listedIDs.contains(device.id());
               });
    };

    // Known devices keep their states; a new one may be mounted already.
    std::vector<DeviceEntry> entries;
    entries.reserve(list.size());
    std::vector<std::pair<std::string, std::filesystem::path>> adopted;
    for (std::size_t index = 0; index < list.size(); ++index) {
        auto& descriptor = list[index];
        bool isLocated = located[index];
        auto id = DeviceEntry::idOf(descriptor, isLocated);
        MountState state;
        if (const auto known = find(id); known != old.end()) {
            state = known->state;
        } else {
            auto existing = m_mounter->existingMount(descriptor, isLocated);
            // Mounted as a twin before this application started, by its location: its id follows the mount.
            if (!existing && !isLocated && !descriptor.serialNumber.empty()) {
                existing = m_mounter->existingMount(descriptor, true);
                if (existing && !isDying(*existing)) {
                    isLocated = true;
                    id = DeviceEntry::idOf(descriptor, true);
                }
            }
            if (existing && !isDying(*existing)) {
                adopted.emplace_back(id, *existing);
                state = MountState::mounted(std::move(*existing));
            }
        }
        entries.push_back(DeviceEntry{std::move(descriptor), std::move(state), isLocated});
        m_vanishedWhileMounting.erase(id);
    }

    // A device that vanishes while it is being mounted may be re-enumerating: it stays for a grace.
    const auto now = m_services.executor.clock().now();
    const auto listedNow = entries;
    for (const auto& device : old) {
        const auto id = device.id();
        if (!device.state.isMounting() || lists(listedNow, id)) {
            continue;
        }
        const auto mark = m_vanishedWhileMounting.find(id);
        const auto since = mark == m_vanishedWhileMounting.end() ? now : mark->second;
        if (now - since >= vanishGrace) {
            continue;
        }
        if (mark == m_vanishedWhileMounting.end()) {
            m_vanishedWhileMounting.emplace(id, now);
            spawn(m_services.executor, vanishRecheckOf(weak_from_this()), "vanish recheck");
        }
        entries.push_back(device);
    }

    for (const auto& device : old) {
        if (!lists(entries, device.id())) {
            forgetDevice(device);
        }
    }

    devices.set(entries);
    // A mount found in the table may be one whose server died (before this application started, say), and
    // one that lives is watched as one made here.
    for (const auto& [id, folder] : adopted) {
        watchServer(id, folder, m_services.servers.serverOf(folder, m_services.mountTools.mountTool));
        spawn(m_services.executor, checkServerOf(weak_from_this(), id, folder), "check mount " + id);
    }
    handleCandidates(m_reportedCandidates);
    const bool anyUnmounted = std::any_of(
        entries.begin(), entries.end(), [](const DeviceEntry& device) { return device.state.isUnmounted(); });
    if (anyUnmounted && autoMount()) {
        for (const auto& device : entries) {
            if (device.state.isUnmounted()) {
                mount(device, MountOptions{false, true});
            }
        }
    }
}

void AppModel::forgetDevice(const DeviceEntry& gone) {
    const auto id = gone.id();
    m_vanishedWhileMounting.erase(id);
    m_serverWatches.erase(id);
    cancelDeviceTask(id);
    m_accessRetriesLeft.erase(id);
    // Mounted again at wake only while it stays: once gone, a later loss of its mount is none of the wake's.
    m_ejectedForSleep.erase(id);
    if (holders->contains(id)) {
        holders.modify([&](auto& names) { names.erase(id); });
    }
    const auto* mountedOn = gone.state.mountedFolder();
    if (mountedOn) {
        const auto lastWrite = m_deviceStatus.lastWrite(id);
        // A last write in the future counts as recent: the clocks of the two processes may differ.
        if (lastWrite && m_services.executor.clock().wallNow() - *lastWrite < unpluggedDuringCopyWindow) {
            m_services.notifications.getNotificationSettings(
                [weak = weak_from_this(), gone](NotificationSettings settings) {
                    if (const auto model = weak.lock()) {
                        model->postUnpluggedNotification(gone, settings);
                    }
                });
        }
    }
    m_deviceStatus.clear(id);
    if (batteryLevels->contains(id)) {
        batteryLevels.modify([&](auto& levels) { levels.erase(id); });
    }
    const auto used = m_deviceFolders.find(id);
    if (mountedOn) {
        m_dyingMounts.insert_or_assign(id, *mountedOn);
        startDeviceTask(id, deviceVanishedCleanup(shared_from_this(), id, *mountedOn), "vanished " + id,
                        WhenCancelled::finish);
    } else {
        std::optional<std::filesystem::path> folder;
        if (used != m_deviceFolders.end()) {
            folder = used->second;
        } else {
            try {
                folder = m_mountLocation->folder(displayNameOf(gone.descriptor), 1).path;
            } catch (const std::exception&) {
                // No mount folder: nothing of the device's can be left in it.
            }
        }
        // A phone of the same name may be mounting in that folder now.
        if (folder && !isMountingIn(*folder, id)) {
            m_mounter->removeStaleFolder(*folder);
        }
    }
    if (used != m_deviceFolders.end()) {
        m_deviceFolders.erase(used);
    }
}

bool AppModel::isMountingIn(const std::filesystem::path& folder, std::string_view besides) const {
    return std::any_of(m_deviceFolders.begin(), m_deviceFolders.end(), [&](const auto& used) {
        const auto* device = used.first == besides ? nullptr : entry(used.first);
        return device && device->state.isMounting() && used.second == folder;
    });
}

Task<void> AppModel::vanishRecheckOf(std::weak_ptr<AppModel> weak) {
    co_await sleep(vanishRecheckDelay); // cut short or not, the list is looked at again
    if (const auto model = weak.lock()) {
        model->handleDevices(model->monitor().devices.get());
    }
}

// The device's one task from its vanishing on: a device that comes back waits for it before it is mounted
// again, so the new mount is never taken for the dying one nor forced down with it.
Task<void> AppModel::deviceVanishedCleanup(std::shared_ptr<AppModel> model, std::string id,
                                           std::filesystem::path folder) {
    co_await model->mounter().takeDown(folder);
    if (const auto dying = model->m_dyingMounts.find(id);
        dying != model->m_dyingMounts.end() && dying->second == folder) {
        model->m_dyingMounts.erase(dying);
    }
}

void AppModel::handleCandidates(std::vector<corvane::AndroidCandidate> list) {
    m_reportedCandidates = list;
    std::set<std::string> serials;
    for (const auto& device : *devices) {
        if (!device.descriptor.serialNumber.empty()) {
            serials.insert(device.descriptor.serialNumber);
        }
    }
    // A phone that also shows as an MTP device is that device, not a candidate.
    std::erase_if(list, [&](const corvane::AndroidCandidate& candidate) {
        return !candidate.serialNumber.empty() && serials.contains(candidate.serialNumber);
    });
    waitingForFileTransfer.set(list);
    std::set<std::uint64_t> shown;
    for (const auto& candidate : list) {
        shown.insert(candidate.registryEntryID);
        if (m_notifiedCandidates.insert(candidate.registryEntryID).second) {
            announceCandidate(candidate);
        }
    }
    // One that goes, or becomes an MTP device, is announced again when it comes back as a candidate.
    std::erase_if(m_notifiedCandidates, [&](std::uint64_t id) { return !shown.contains(id); });
}

void AppModel::announceCandidate(const corvane::AndroidCandidate& candidate) {
    m_services.notifications.requestAuthorization([weak = weak_from_this(), candidate](bool granted) {
        if (const auto model = weak.lock()) {
            model->postCandidateNotification(candidate, granted);
        }
    });
}

// --- Mounting ------------------------------------------------------------------------------------------

void AppModel::mount(const DeviceEntry& given, MountOptions options) {
    if (!given.state.isUnmounted() && !given.state.isFailed()) {
        return;
    }
    DeviceEntry entry = given; // the caller's may be an entry of the list, which changes below
    // Named by its serial number alone, it could be taken for a phone of the same serial number that came
    // since it was last mounted: from now on its place names it too, and what its old id kept goes.
    const auto* listed =
        entry.located || entry.descriptor.serialNumber.empty() ? nullptr : this->entry(entry.id());
    if (listed && std::any_of(devices->begin(), devices->end(), [&](const DeviceEntry& device) {
            return device.descriptor.serialNumber == entry.descriptor.serialNumber &&
                   device.descriptor.locationID != entry.descriptor.locationID;
        })) {
        const auto index = static_cast<std::size_t>(listed - devices->data());
        forgetDevice(entry);
        entry.located = true;
        devices.modify([&](std::vector<DeviceEntry>& list) { list[index].located = true; });
    }
    const auto id = entry.id();
    cancelDeviceTask(id);
    if (const auto note = ejectNotes->find(id); note != ejectNotes->end() && note->second == deadMountNote) {
        ejectNotes.modify([&](auto& notes) { notes.erase(id); });
    }
    if (!m_mountLocation->url.get()) {
        bool chosen = false;
        if (!m_didPromptForFolder) {
            m_didPromptForFolder = true;
            chosen = m_mountLocation->choose();
        }
        if (!chosen) {
            setState(MountState::failed(std::string(noFolderMessage)), id);
            return;
        }
    }
    bool takeOverFromCameraService = true;
    if (!options.takeOverFromAnyone) {
        const auto holder = m_services.discovery.holder(entry.descriptor);
        if (holder && corvane::USBDeviceDiscovery::isCameraService(holder->name)) {
            takeOverFromCameraService = cameraTakeoverAllowed(id);
            if (takeOverFromCameraService) {
                m_cameraTakeovers[id].push_back(m_services.executor.clock().now());
            }
        }
    }
    setState(MountState::mounting(), id);
    startDeviceTask(id, mountTaskOf(shared_from_this(), entry, options, takeOverFromCameraService),
                    "mount " + id);
}

void AppModel::mountAllUnmounted() {
    const auto listed = devices.get(); // a mount may change the list
    for (const auto& device : listed) {
        if (device.state.isUnmounted()) {
            mount(device, MountOptions{});
        }
    }
}

Task<void> AppModel::mountTaskOf(std::shared_ptr<AppModel> model, DeviceEntry entry, MountOptions options,
                                 bool takeOverFromCameraService) {
    const auto id = entry.id();
    const auto name = displayNameOf(entry.descriptor);
    const auto takeOver = options.takeOverFromAnyone  ? corvane::TakeOver::fromAnyone
                          : takeOverFromCameraService ? corvane::TakeOver::fromCameraService
                                                      : corvane::TakeOver::never;
    // Back under a new id (without a serial number) while its old mount, which names the same device, is
    // taken down under the old one: mounting now would only find that mount.
    if (const auto existing = model->mounter().existingMount(entry.descriptor, entry.located)) {
        const auto dying = std::find_if(model->m_dyingMounts.begin(), model->m_dyingMounts.end(),
                                        [&](const auto& each) { return each.second == *existing; });
        const auto cleanUp = dying == model->m_dyingMounts.end() ? model->m_mountTasks.end()
                                                                 : model->m_mountTasks.find(dying->first);
        if (cleanUp != model->m_mountTasks.end() && dying->first != id) {
            try {
                co_await waitForEnd(cleanUp->second.end);
            } catch (const CallbackDropped&) {
                // Its executor is going away, and this task with it.
            }
            if (co_await isCancelled()) {
                co_return;
            }
        }
    }
    int index = 1;
    std::optional<std::string> staleMessage;
    std::exception_ptr error;
    while (true) {
        std::optional<MountLocation::DeviceFolder> folder;
        try {
            folder = model->mountLocation().folder(name, index);
            // Phones of one name that mount at the same time would otherwise share the first free folder.
            while (model->isMountingIn(folder->path, id)) {
                folder = model->mountLocation().folder(name, folder->index + 1);
            }
        } catch (const UnsafeMountFolderError& failure) {
            model->m_log.error("no folder for %{public}s: %{public}s", name, failure.what());
            // The user must learn which place is unsafe to choose another.
            staleMessage = failure.what();
        } catch (const std::exception& failure) {
            model->m_log.error("no folder for %{public}s: %{public}s", name, failure.what());
        }
        if (!folder) {
            model->fail(id, staleMessage.value_or(std::string(folderFailedMessage)), false);
            co_return;
        }
        model->m_deviceFolders.insert_or_assign(id, folder->path);
        std::optional<MountManager::Mounted> mounted;
        error = nullptr;
        try {
            mounted = co_await model->mounter().mount(entry.descriptor, folder->path,
                                                      model->extensionEnabled.get(), takeOver, entry.located);
        } catch (...) {
            error = std::current_exception();
        }
        if (co_await isCancelled()) {
            // Replaced or gone: a mount that came about all the same is not left behind, nor taken for the
            // device's own when it is back before the mount is down.
            if (mounted) {
                model->m_dyingMounts.insert_or_assign(id, mounted->folder);
                co_await deviceVanishedCleanup(model, id, mounted->folder);
            }
            co_return;
        }
        if (mounted) {
            model->mounted(entry, mounted->folder, options.notifyWhenMounted);
            model->watchServer(id, mounted->folder, mounted->server);
            co_return;
        }
        staleMessage = staleMountPointMessage(error);
        if (!staleMessage) {
            break;
        }
        model->mounter().removeStaleFolder(folder->path);
        if (folder->index >= lastFolderIndex) {
            model->fail(id, *staleMessage, false);
            co_return;
        }
        index = folder->index + 1;
    }
    model->mountFailed(entry, options, error);
}

void AppModel::mounted(const DeviceEntry& entry, const std::filesystem::path& folder, bool notify) {
    const auto id = entry.id();
    m_deviceFolders.insert_or_assign(id, folder);
    setState(MountState::mounted(folder), id);
    if (notify) {
        postMountedNotification(entry);
    }
    if (holders->contains(id)) {
        holders.modify([&](auto& names) { names.erase(id); });
    }
    m_cameraTakeovers.erase(id);
    m_accessRetriesLeft.erase(id);
    lastError.set(std::nullopt);
}

void AppModel::fail(const std::string& id, const std::string& message, bool retryForAccess) {
    setState(MountState::failed(message), id);
    lastError.set(message);
    if (retryForAccess) {
        scheduleAccessRetry(id);
    }
}

void AppModel::mountFailed(const DeviceEntry& entry, MountOptions options, std::exception_ptr error) {
    const auto id = entry.id();
    std::string message = "The device could not be mounted.";
    MountFindings findings;
    try {
        std::rethrow_exception(error);
    } catch (const MountError& mountError) {
        message = mountError.message();
        findings = mountError.findings();
    } catch (const std::exception& other) {
        message = other.what();
    } catch (...) {
    }
    if (findings.isHeldByAnotherApp) {
        const auto* listed = this->entry(id);
        const auto current = listed ? *listed : entry;
        const auto holder =
            options.takeOverFromAnyone ? std::nullopt : m_services.discovery.holder(current.descriptor);
        if (holder && corvane::USBDeviceDiscovery::isCameraService(holder->name) &&
            cameraTakeoverAllowed(id)) {
            // The camera service took the device back: take it over again while the limit allows.
            if (listed) {
                setState(MountState(), id); // unmounted
                mount(*this->entry(id), MountOptions{false, options.notifyWhenMounted});
                return;
            }
        } else if (const auto name = holderName(current.descriptor)) {
            holders.modify([&](auto& names) { names.insert_or_assign(id, *name); });
            message = "In use by " + *name;
        }
    }
    fail(id, message, findings.isAccessNotGranted);
}

bool AppModel::cameraTakeoverAllowed(std::string_view id) {
    auto& dates = m_cameraTakeovers[std::string(id)];
    const auto now = m_services.executor.clock().now();
    std::erase_if(dates, [&](platform::Clock::TimePoint date) { return now - date >= cameraTakeoverWindow; });
    return dates.size() < static_cast<std::size_t>(cameraTakeoverLimit);
}

void AppModel::scheduleAccessRetry(std::string_view id) {
    const std::string key(id);
    const auto [found, added] = m_accessRetriesLeft.try_emplace(key, accessRetries);
    if (found->second < 1) {
        return;
    }
    --found->second;
    startDeviceTask(key, accessRetryOf(weak_from_this(), key), "access retry " + key);
}

Task<void> AppModel::accessRetryOf(std::weak_ptr<AppModel> weak, std::string id) {
    co_await sleep(accessRetryDelay); // cut short by a cancellation, which the next line sees
    if (co_await isCancelled()) {
        co_return;
    }
    const auto model = weak.lock();
    if (!model) {
        co_return;
    }
    if (const auto* listed = model->entry(id); listed && listed->state.isFailed()) {
        model->mount(*listed, MountOptions{false, true});
    }
}

std::optional<std::string> AppModel::holderName(const corvane::USBDeviceDescriptor& device) {
    const auto holder = m_services.discovery.holder(device);
    if (!holder) {
        return std::nullopt;
    }
    const auto& known = knownHolderNames();
    const auto found = known.find(holder->name);
    // The kernel names every running process: a name that is only the holder's own says less than ours.
    if (auto name = m_services.runningApplicationName(holder->pid);
        name && !name->empty() && !(found != known.end() && *name == holder->name)) {
        return name;
    }
    return found == known.end() ? holder->name : found->second;
}

void AppModel::chooseFolder() {
    m_didPromptForFolder = true;
    if (!m_mountLocation->choose()) {
        return;
    }
    devices.modify([](std::vector<DeviceEntry>& list) {
        for (auto& device : list) {
            if (!device.state.isMounted()) {
                device.state = MountState();
            }
        }
    });
    // Each mount replaces the device's task that still runs in the old folder, once that one has ended.
    m_services.executor.post([weak = weak_from_this()] {
        if (const auto model = weak.lock()) {
            model->mountAllUnmounted();
        }
    });
}

void AppModel::openFolder(const DeviceEntry& entry) {
    const auto* current = this->entry(entry.id());
    if (const auto* folder = current ? current->state.mountedFolder() : nullptr) {
        m_services.workspace.showFolder(*folder, [](bool) {});
    }
}

} // namespace tandalo::app
