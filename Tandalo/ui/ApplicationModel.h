#pragma once

#include "Tandalo/core/DeviceEntry.h"
#include "Tandalo/core/Published.h"
#include "Tandalo/view/ModelState.h"

namespace tandalo::ui {

/// What the windows and menus observe and call of the application model: its published values, read
/// together as one ModelState, its change announcements, and the operations its buttons and menus start.
/// Every operation returns at once; what it leads to shows through the values. Main thread only.
class ApplicationModel {
public:
    /// Whether a mount may take the device from any application that holds it ("Take Over").
    enum class TakeOverFromAnyone : bool { no, yes };

    virtual ~ApplicationModel() = default;

    /// Announced before any value that state() reads changes; the new values can be read once the code
    /// that announced has returned, so readers look again from the event loop.
    virtual app::Signal<>& objectWillChange() = 0;
    virtual view::ModelState state() const = 0;

    /// The device rows' buttons.
    virtual void mount(const app::DeviceEntry& entry, TakeOverFromAnyone takeOver) = 0;
    virtual void eject(const app::DeviceEntry& entry) = 0;
    virtual void chooseFolder() = 0;
    /// Shows a mounted device's folder in the file manager; nothing for a device in another state.
    virtual void openFolder(const app::DeviceEntry& entry) = 0;

    /// The everyday commands of the menus, and the settings.
    virtual void setAutoMount(bool autoMount) = 0;
    /// Stores the wish and registers or unregisters the application at once; loginItemState tells how
    /// that went.
    virtual void setLaunchAtLogin(bool launchAtLogin) = 0;
    virtual void ejectAll() = 0;
    /// Adds one to settingsRequests: the status item then opens the settings window.
    virtual void requestSettings() = 0;
    /// A check the user asked for, which also deals with a check under way.
    virtual void checkForUpdates() = 0;
    virtual void copyDiagnostics() = 0;

    /// Each time the menu-bar window comes on screen: drops mounts that are gone, reads the battery
    /// levels, and starts asking whether the extension is enabled. The battery is read every 20 s after.
    virtual void cleanUpStaleMounts() = 0;
    virtual void refreshBatteryLevels() = 0;
    virtual void refreshExtensionStatus() = 0;

    /// The banners' buttons (and the set-up guide's and the settings' own): opens the extension's
    /// settings and asks again every 2 s until it is on; shows the waiting update through the update
    /// service's own check.
    virtual void turnOnExtension() = 0;
    virtual void showWaitingUpdate() = 0;

    /// The set-up guide's: reads the notification permission into notificationStatus (every 2 s while the
    /// guide is shown); asks the user for it; opens the desktop's notification settings; and marks the
    /// guide finished, so it no longer opens by itself at launch.
    virtual void refreshNotificationStatus() = 0;
    virtual void requestNotificationAuthorization() = 0;
    virtual void openNotificationSettings() = 0;
    virtual void setHasCompletedOnboarding(bool completed) = 0;

    /// The application delegate's: a second copy was started; the application quits (unmounts all).
    virtual void handleReopen() = 0;
    virtual void applicationWillTerminate() = 0;
};

} // namespace tandalo::ui
