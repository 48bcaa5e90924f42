#include "Tandalo/ui/AppModelAdapter.h"

namespace tandalo::ui {

view::MenuBarIcon AppModelAdapter::viewIcon(app::MenuBarIcon icon) {
    switch (icon) {
    case app::MenuBarIcon::mounted:
        return view::MenuBarIcon::mounted;
    case app::MenuBarIcon::connected:
        return view::MenuBarIcon::connected;
    case app::MenuBarIcon::needsFileTransfer:
        return view::MenuBarIcon::needsFileTransfer;
    case app::MenuBarIcon::failed:
        return view::MenuBarIcon::failed;
    case app::MenuBarIcon::idle:
        break;
    }
    return view::MenuBarIcon::idle;
}

view::ModelState AppModelAdapter::state() const {
    view::ModelState state;
    state.devices = *m_model.devices;
    state.batteryLevels = *m_model.batteryLevels;
    state.waitingForFileTransfer = *m_model.waitingForFileTransfer;
    state.extensionEnabled = *m_model.extensionEnabled;
    state.notificationStatus = *m_model.notificationStatus;
    state.canOpenNotificationSettings = m_model.canOpenNotificationSettings();
    state.lastError = *m_model.lastError;
    state.loginItemState = *m_model.loginItemState;
    state.ejectNotes = *m_model.ejectNotes;
    state.holders = *m_model.holders;
    state.settingsRequests = *m_model.settingsRequests;
    state.autoMount = m_model.autoMount();
    state.launchAtLogin = m_model.launchAtLogin();
    state.hasCompletedOnboarding = m_model.hasCompletedOnboarding();
    state.mountFolder = *m_model.mountLocation().url;
    state.waitingVersion = *m_model.updater().waitingVersion;
    state.canCheckForUpdates = *m_model.updater().canCheckForUpdates;
    state.menuBarIcon = viewIcon(m_model.menuBarIcon());
    return state;
}

void AppModelAdapter::mount(const app::DeviceEntry& entry, TakeOverFromAnyone takeOver) {
    // The rows' buttons mount without a notification: the user is looking at the row.
    m_model.mount(entry,
                  app::AppModel::MountOptions{.takeOverFromAnyone = takeOver == TakeOverFromAnyone::yes,
                                              .notifyWhenMounted = false});
}

void AppModelAdapter::requestSettings() {
    m_model.settingsRequests.set(*m_model.settingsRequests + 1);
}

void AppModelAdapter::refreshExtensionStatus() {
    spawn(m_model.executor(), m_model.refreshExtensionStatus(), "refresh extension status");
}

void AppModelAdapter::turnOnExtension() {
    m_model.extensionStatus().openSettings();
    spawn(m_model.executor(), m_model.pollExtensionStatus(), "poll extension status");
}

void AppModelAdapter::refreshNotificationStatus() {
    spawn(m_model.executor(), m_model.refreshNotificationStatus(), "refresh notification status");
}

void AppModelAdapter::requestNotificationAuthorization() {
    spawn(m_model.executor(), m_model.requestNotificationAuthorization(), "request notification permission");
}

} // namespace tandalo::ui
