#include "Tandalo/core/AppDelegate.h"

#include "Tandalo/core/AppModel.h"

#include <string>

namespace tandalo::app {

void AppDelegate::applicationWillFinishLaunching() const {
    m_services.notifications.setResponseHandler(
        [delegate = *this](const NotificationResponse& response) { delegate.didReceive(response); });
}

void AppDelegate::applicationWillTerminate() const {
    if (const auto model = AppModel::current()) {
        model->mounter().unmountAll();
    }
}

bool AppDelegate::applicationShouldHandleReopen() const {
    if (const auto model = AppModel::current()) {
        handleReopen(*model);
    }
    return false;
}

void AppDelegate::didReceive(const NotificationResponse& response) const {
    if (response.actionIdentifier != NotificationResponse::defaultActionIdentifier) {
        return; // dismissed, or an action of its own
    }
    const auto& identifier = response.identifier;
    if (identifier.starts_with(mountedPrefix)) {
        m_services.executor.post([delegate = *this, id = identifier.substr(mountedPrefix.size())] {
            if (const auto model = AppModel::current()) {
                delegate.openDevice(*model, id);
            }
        });
    } else if (identifier == updateIdentifier) {
        // The framework's own check: it brings back a waiting update's window (activated, as every check
        // the user starts) or looks afresh, without closing anything first.
        m_services.executor.post([] {
            if (const auto model = AppModel::current()) {
                model->updater().controller().checkForUpdates();
            }
        });
    }
}

void AppDelegate::handleReopen(AppModel& model) const {
    if (model.hasCompletedOnboarding() && *model.extensionEnabled == std::optional(true)) {
        m_services.notifications.getNotificationSettings(
            [weak = model.weak_from_this()](NotificationSettings settings) {
                if (const auto current = weak.lock()) {
                    current->postRunningNotification(settings);
                }
            });
        return;
    }
    m_services.onboarding.show(model);
}

void AppDelegate::openDevice(AppModel& model, std::string_view id) const {
    for (const auto& entry : *model.devices) {
        if (entry.id() == id) {
            model.openFolder(entry);
            return;
        }
    }
}

} // namespace tandalo::app
