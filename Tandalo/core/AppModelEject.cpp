// Taking devices down: ejecting one or all, clearing mounts that went away or lost their servers, and
// sleep and wake.
#include "Tandalo/core/AppModel.h"

#include <algorithm>
#include <exception>

// MountState() is the unmounted state: GCC 12 takes the moved variant of MountState::unmounted() for
// uninitialised at some of these calls.
namespace tandalo::app {

void AppModel::eject(const DeviceEntry& entry) {
    // The device as it is now, not as the caller saw it: a row may be older than the list.
    const auto* current = this->entry(entry.id());
    const auto* folder = current ? current->state.mountedFolder() : nullptr;
    if (!folder) {
        return;
    }
    const auto device = *current;
    const auto mountedOn = *folder;
    const auto id = device.id();
    m_ejectedForSleep.erase(id); // ejected by the user: not to be mounted again by the wake
    setState(MountState::unmounting(), id);
    startDeviceTask(id, ejectTaskOf(shared_from_this(), device, mountedOn), "eject " + id);
}

void AppModel::ejectAll() {
    const auto listed = devices.get();
    for (const auto& device : listed) {
        if (device.state.isMounted()) {
            eject(device);
        }
    }
}

bool AppModel::hasMountedDevices() const {
    return std::any_of(devices->begin(), devices->end(),
                       [](const DeviceEntry& device) { return device.state.isMounted(); });
}

Task<void> AppModel::ejectTaskOf(std::shared_ptr<AppModel> model, DeviceEntry entry,
                                 std::filesystem::path folder) {
    std::optional<std::string> failure;
    try {
        co_await model->mounter().unmountVolume(folder);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (co_await isCancelled()) {
        co_return;
    }
    const auto id = entry.id();
    if (!failure) {
        model->setState(MountState(), id);
        co_return;
    }
    if (!model->mounter().isMounted(entry.descriptor, folder, entry.located)) {
        // Gone all the same: as good as ejected.
        model->mounter().removeStaleFolder(folder);
        model->setState(MountState(), id);
        co_return;
    }
    model->setState(MountState::mounted(folder), id);
    model->lastError.set(*failure);
    const std::string note(ejectNote);
    model->ejectNotes.modify([&](auto& notes) { notes.insert_or_assign(id, note); });
    spawn(model->executor(), ejectNoteTaskOf(model, id, note), "eject note " + id);
}

Task<void> AppModel::ejectNoteTaskOf(std::weak_ptr<AppModel> weak, std::string id, std::string note) {
    co_await sleep(ejectNoteDuration); // cut short or not, the note goes now
    const auto model = weak.lock();
    if (!model) {
        co_return;
    }
    // A note set again meanwhile is the same text, and goes with the first one's time.
    if (const auto found = model->ejectNotes->find(id);
        found != model->ejectNotes->end() && found->second == note) {
        model->ejectNotes.modify([&](auto& notes) { notes.erase(id); });
    }
}

void AppModel::cleanUpStaleMounts() {
    const auto listed = devices.get();
    for (const auto& device : listed) {
        const auto* folder = device.state.mountedFolder();
        if (!folder) {
            continue;
        }
        if (m_mounter->isMounted(device.descriptor, *folder, device.located)) {
            // Still in the table, which also keeps mounts whose servers died.
            spawn(m_services.executor, checkServerOf(weak_from_this(), device.id(), *folder),
                  "check mount " + device.id());
            continue;
        }
        const auto id = device.id();
        m_mounter->removeStaleFolder(*folder);
        setState(MountState(), id);
        // A sleep's unmount that ended after the wake: the device is mounted again now.
        if (!m_asleep && m_ejectedForSleep.erase(id) > 0) {
            mount(DeviceEntry{device.descriptor, MountState(), device.located}, MountOptions{});
        }
    }
}

void AppModel::watchServer(const std::string& id, const std::filesystem::path& folder,
                           std::optional<std::int32_t> pid) {
    m_serverWatches.erase(id);
    if (!pid) {
        return; // its server is asked about when the window is shown
    }
    // Stored before the watch starts: a process already gone is reported at once.
    auto& kept = m_serverWatches[id];
    kept.pid = *pid;
    kept.watch = m_services.servers.watchProcess(
        *pid, [gate = m_services.executor.gate(), weak = weak_from_this(), id, folder, pid = *pid] {
            gate->post([weak, id, folder, pid] {
                if (const auto model = weak.lock()) {
                    model->serverEnded(id, folder, pid);
                }
            });
        });
}

void AppModel::serverEnded(const std::string& id, const std::filesystem::path& folder, std::int32_t pid) {
    const auto watched = m_serverWatches.find(id);
    if (watched == m_serverWatches.end() || watched->second.pid != pid) {
        return; // the watch of an earlier mount
    }
    m_serverWatches.erase(watched);
    mountDied(id, folder);
}

Task<void> AppModel::checkServerOf(std::weak_ptr<AppModel> weak, std::string id,
                                   std::filesystem::path folder) {
    bool lost = false;
    if (const auto model = weak.lock()) {
        lost = co_await model->mounter().hasLostServer(folder);
    }
    if (const auto model = weak.lock(); model && lost) {
        model->mountDied(id, folder);
    }
}

void AppModel::mountDied(const std::string& id, const std::filesystem::path& folder) {
    const auto* listed = entry(id);
    const auto* mountedOn = listed ? listed->state.mountedFolder() : nullptr;
    if (!mountedOn || *mountedOn != folder) {
        return; // ejected, unplugged or mounted elsewhere meanwhile
    }
    m_log.error("the mount of %{public}s on %{public}s lost its server", id, folder.string());
    m_serverWatches.erase(id);
    setState(MountState::unmounting(), id);
    startDeviceTask(id, deadMountTaskOf(shared_from_this(), id, folder), "dead mount " + id,
                    WhenCancelled::finish);
}

Task<void> AppModel::deadMountTaskOf(std::shared_ptr<AppModel> model, std::string id,
                                     std::filesystem::path folder) {
    // A folder that answers only ENOTCONN cannot be used, even to mount it again: it is detached.
    co_await model->mounter().takeDown(folder);
    if (co_await isCancelled()) {
        co_return; // gone meanwhile: what is left is the reconciliation's
    }
    const auto* listed = model->entry(id);
    if (!listed || !listed->state.isUnmounting()) {
        co_return; // gone meanwhile: what is left is the reconciliation's
    }
    model->setState(MountState(), id);
    if (model->autoMount()) {
        model->mount(*model->entry(id), MountOptions{});
        co_return;
    }
    const std::string note(deadMountNote);
    model->ejectNotes.modify([&](auto& notes) { notes.insert_or_assign(id, note); });
}

void AppModel::willSleep() {
    m_ejectedForSleep.clear();
    for (const auto& device : *devices) {
        if (device.state.isMounted()) {
            m_ejectedForSleep.insert(device.id());
        }
    }
    if (m_ejectedForSleep.empty()) {
        return;
    }
    m_asleep = true;
    m_mounter->unmountAll();
    cleanUpStaleMounts();
}

void AppModel::didWake() {
    m_lastWake = m_services.executor.clock().now();
    m_asleep = false;
    const auto remembered = std::exchange(m_ejectedForSleep, {});
    // An unmount that overran the sleep's limit has usually ended by now: its device is unmounted.
    cleanUpStaleMounts();
    const auto listed = devices.get();
    for (const auto& device : listed) {
        const auto id = device.id();
        if (!remembered.contains(id)) {
            continue;
        }
        if (device.state.isUnmounted()) {
            mount(device, MountOptions{});
        } else if (device.state.isMounted()) {
            m_ejectedForSleep.insert(id); // its unmount may still end: then it is mounted again
        }
    }
}

} // namespace tandalo::app
