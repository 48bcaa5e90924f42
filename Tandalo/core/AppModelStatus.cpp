// The model's refreshes of what it shows besides the devices: the extension state and its poll, the
// notification permission, launch at login, the battery levels, and the set-up guide at launch.
#include "Tandalo/core/AppModel.h"

#include <algorithm>

namespace tandalo::app {

Task<void> AppModel::refreshExtensionStatus() {
    return refreshExtensionStatusOf(shared_from_this());
}

Task<void> AppModel::refreshExtensionStatusOf(std::shared_ptr<AppModel> model) {
    const auto previous = model->extensionEnabled.get();
    auto enabled = co_await model->extensionStatus().isEnabled();
    const auto any = [&model](bool (MountState::*holds)() const noexcept) {
        return std::any_of(model->devices->begin(), model->devices->end(),
                           [holds](const DeviceEntry& device) { return (device.state.*holds)(); });
    };
    // A mount that works proves the extension on, whatever the question answered.
    if (enabled != true && any(&MountState::isMounted)) {
        enabled = true;
    }
    model->extensionEnabled.set(enabled);
    if (enabled != true || previous == true || !model->autoMount()) {
        co_return;
    }
    // Devices that failed for want of the extension get their chance now.
    if (any(&MountState::isFailed)) {
        model->unmountFailedDevices();
    }
    model->mountAllUnmounted();
}

void AppModel::unmountFailedDevices() {
    devices.modify([](std::vector<DeviceEntry>& list) {
        for (auto& device : list) {
            if (device.state.isFailed()) {
                // A new state rather than MountState::unmounted(): GCC 12 takes the moved variant's
                // storage for uninitialised here.
                device.state = MountState();
            }
        }
    });
}

Task<void> AppModel::pollExtensionStatus() {
    return pollExtensionStatusOf(weak_from_this());
}

Task<void> AppModel::pollExtensionStatusOf(std::weak_ptr<AppModel> weak) {
    for (int passes = 0; passes < extensionPollLimit; ++passes) {
        // A cancelled poll ends rather than running its remaining passes back to back.
        if (!co_await sleep(extensionPollInterval)) {
            co_return;
        }
        const auto model = weak.lock();
        if (!model) {
            co_return;
        }
        co_await model->refreshExtensionStatus();
        if (model->extensionEnabled.get() == true) {
            co_return;
        }
    }
}

Task<void> AppModel::refreshNotificationStatus() {
    return refreshNotificationStatusOf(shared_from_this());
}

Task<void> AppModel::refreshNotificationStatusOf(std::shared_ptr<AppModel> model) {
    const auto settings = co_await notificationSettings(model->m_services.notifications);
    model->notificationStatus.set(settings.authorizationStatus);
}

Task<void> AppModel::refreshLoginItemStateSoon() {
    return refreshLoginItemStateSoonOf(weak_from_this());
}

Task<void> AppModel::refreshLoginItemStateSoonOf(std::weak_ptr<AppModel> weak) {
    if (!co_await sleep(loginItemRecheckDelay)) {
        co_return;
    }
    if (const auto model = weak.lock()) {
        model->loginItemState.set(model->m_loginItem.state());
    }
}

void AppModel::refreshBatteryLevels() {
    std::map<std::string, int> levels;
    for (const auto& device : *devices) {
        if (!device.state.isMounted()) {
            continue;
        }
        const auto id = device.id();
        if (const auto level = m_deviceStatus.batteryLevel(id)) {
            levels.emplace(id, *level);
        }
    }
    if (levels != batteryLevels.get()) {
        batteryLevels.set(std::move(levels));
    }
}

Task<void> AppModel::showOnboardingAtLaunch() {
    return showOnboardingAtLaunchOf(weak_from_this());
}

Task<void> AppModel::showOnboardingAtLaunchOf(std::weak_ptr<AppModel> weak) {
    if (!co_await sleep(onboardingDelay)) {
        co_return;
    }
    if (const auto model = weak.lock()) {
        model->m_services.onboarding.show(*model);
    }
}

} // namespace tandalo::app
