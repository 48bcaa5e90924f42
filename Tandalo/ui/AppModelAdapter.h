#pragma once

#include "Tandalo/core/AppDelegate.h"
#include "Tandalo/core/AppModel.h"
#include "Tandalo/core/Diagnostics.h"
#include "Tandalo/ui/ApplicationModel.h"

#include <memory>

namespace tandalo::ui {

/// The windows' and menus' view of the core's application model: it reads the model's published values
/// (the mount folder's and the update checker's included) as one ModelState and turns the buttons and
/// menu commands into the model's operations, the delegate's and the diagnostics report's. Main thread
/// only; all three must outlive it.
class AppModelAdapter final : public ApplicationModel {
public:
    AppModelAdapter(app::AppModel& model, const app::AppDelegate& delegate,
                    const app::Diagnostics& diagnostics)
        : m_model(model), m_delegate(delegate), m_diagnostics(diagnostics) {}

    /// The menu-bar status of the core as the windows name it.
    static view::MenuBarIcon viewIcon(app::MenuBarIcon icon);

    app::Signal<>& objectWillChange() override { return m_model.objectWillChange; }
    view::ModelState state() const override;

    void mount(const app::DeviceEntry& entry, TakeOverFromAnyone takeOver) override;
    void eject(const app::DeviceEntry& entry) override { m_model.eject(entry); }
    void chooseFolder() override { m_model.chooseFolder(); }
    void openFolder(const app::DeviceEntry& entry) override { m_model.openFolder(entry); }

    void setAutoMount(bool autoMount) override { m_model.setAutoMount(autoMount); }
    void setLaunchAtLogin(bool launchAtLogin) override { m_model.setLaunchAtLogin(launchAtLogin); }
    void ejectAll() override { m_model.ejectAll(); }
    void requestSettings() override;
    void checkForUpdates() override { m_model.updater().checkForUpdates(); }
    void copyDiagnostics() override { m_diagnostics.copy(m_model); }

    void cleanUpStaleMounts() override { m_model.cleanUpStaleMounts(); }
    void refreshBatteryLevels() override { m_model.refreshBatteryLevels(); }
    void refreshExtensionStatus() override;

    void turnOnExtension() override;
    /// The update service's own check, which brings the waiting update back without closing it first.
    void showWaitingUpdate() override { m_model.updater().controller().checkForUpdates(); }

    void refreshNotificationStatus() override;
    void requestNotificationAuthorization() override;
    void openNotificationSettings() override { m_model.openNotificationSettings(); }
    void setHasCompletedOnboarding(bool completed) override { m_model.setHasCompletedOnboarding(completed); }

    void handleReopen() override { m_delegate.applicationShouldHandleReopen(); }
    void applicationWillTerminate() override { m_delegate.applicationWillTerminate(); }

private:
    app::AppModel& m_model;
    const app::AppDelegate& m_delegate;
    const app::Diagnostics& m_diagnostics;
};

} // namespace tandalo::ui
