// What the model tells the user through the desktop's notifications.
#include "Tandalo/core/AppModel.h"

#include "Corvane/usb/DeviceName.h"

namespace tandalo::app {

namespace {

bool mayShow(const NotificationSettings& settings) {
    return settings.authorizationStatus == NotificationAuthorizationStatus::authorized;
}

std::string nameOf(const DeviceEntry& entry) {
    const auto& device = entry.descriptor;
    return corvane::DeviceName::clean(device.productName, device.vendorName, device.serialNumber);
}

} // namespace

void AppModel::postMountedNotification(const DeviceEntry& entry) {
    // The devices mounted again after a wake come back by themselves: no news for the user.
    if (m_lastWake && m_services.executor.clock().now() - *m_lastWake < quietAfterWake) {
        return;
    }
    NotificationRequest request{"tandalo.mounted." + entry.id(), nameOf(entry) + " is in your file manager",
                                "Click to open it.", NotificationSound::none};
    auto& center = m_services.notifications;
    center.getNotificationSettings([&center, request](NotificationSettings settings) {
        if (mayShow(settings)) {
            center.add(request);
        }
    });
}

void AppModel::postCandidateNotification(const corvane::AndroidCandidate& candidate, bool granted) {
    if (!granted) {
        return;
    }
    m_services.notifications.add({"tandalo.candidate." + std::to_string(candidate.registryEntryID),
                                  candidate.displayName() + " is in charge-only mode",
                                  candidate.fileTransferHint(), NotificationSound::defaultSound});
}

void AppModel::postUnpluggedNotification(const DeviceEntry& entry, NotificationSettings settings) {
    if (!mayShow(settings)) {
        return;
    }
    m_services.notifications.add(
        {"tandalo.unplugged." + entry.id(), nameOf(entry) + " was unplugged during a copy",
         "The file being copied onto it may be incomplete. Plug it back in and copy it again.",
         NotificationSound::defaultSound});
}

void AppModel::postRunningNotification(NotificationSettings settings) {
    if (mayShow(settings)) {
        m_services.notifications.add(
            {"tandalo.running", appDisplayName(m_services.bundle) + " is already running",
             "Look for its eject icon in the panel's status area.", NotificationSound::none});
        return;
    }
    // Without notifications, the set-up guide says what is missing.
    m_services.executor.post([weak = weak_from_this()] {
        if (const auto model = weak.lock()) {
            model->m_services.onboarding.show(*model);
        }
    });
}

Task<void> AppModel::requestNotificationAuthorization() {
    return requestNotificationAuthorizationOf(shared_from_this());
}

Task<void> AppModel::requestNotificationAuthorizationOf(std::shared_ptr<AppModel> model) {
    auto& center = model->m_services.notifications;
    auto ask = [&center](Resumer<bool> resumer) {
        center.requestAuthorization([resumer](bool granted) { resumer.resume(granted); });
    };
    static_cast<void>(co_await callback<bool>(std::move(ask), "notification authorization"));
    co_await model->refreshNotificationStatus();
}

void AppModel::openNotificationSettings() {
    if (!m_services.notificationSettings) {
        return;
    }
    const auto& command = *m_services.notificationSettings;
    try {
        m_services.processes.start(
            command, [log = m_log, program = command.executable](ProcessResult result) {
                if (result.status != 0) {
                    log.error("the notification settings did not open: %{public}s ended with %d: %{public}s",
                              program.string(), result.status, result.output);
                }
            });
    } catch (const std::exception& error) {
        m_log.error("the notification settings did not open: %{public}s", error.what());
    }
}

} // namespace tandalo::app
