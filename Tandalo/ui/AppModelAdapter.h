#pragma once

#include "Tandalo/core/AppModel.h"
#include "Tandalo/ui/ApplicationModel.h"

#include <memory>

namespace tandalo::ui {

/// The windows' and menus' view of the core's application model: it reads the model's published values
/// (the mount folder's and the update checker's included) as one ModelState and turns the buttons and
/// menu commands into the model's operations. Main thread only; the model must outlive it.
class AppModelAdapter final : public ApplicationModel {
public:
    AppModelAdapter(app::AppModel& model, app::Workspace& workspace);

    /// The menu-bar status of the core as the windows name it.
    static view::MenuBarIcon viewIcon(app::MenuBarIcon icon);

    app::Signal<>& objectWillChange() override { return m_model.objectWillChange; }
    view::ModelState state() const override;

    void mount(const app::DeviceEntry& entry, TakeOverFromAnyone takeOver) override;
    void eject(const app::DeviceEntry& entry) override;
    void chooseFolder() override;
    void openFolder(const app::DeviceEntry& entry) override;

    void setAutoMount(bool autoMount) override { m_model.setAutoMount(autoMount); }
    void setLaunchAtLogin(bool launchAtLogin) override { m_model.setLaunchAtLogin(launchAtLogin); }
    void ejectAll() override;
    void requestSettings() override;
    void checkForUpdates() override;
    void copyDiagnostics() override;

    void cleanUpStaleMounts() override;
    void refreshBatteryLevels() override { m_model.refreshBatteryLevels(); }
    void refreshExtensionStatus() override;

    void turnOnExtension() override;
    void showWaitingUpdate() override;

    void refreshNotificationStatus() override;
    void requestNotificationAuthorization() override;
    void openNotificationSettings() override;
    void setHasCompletedOnboarding(bool completed) override { m_model.setHasCompletedOnboarding(completed); }

    void handleReopen() override;
    void applicationWillTerminate() override;

private:
    /// The device as the model lists it now: a row's entry may be older than the list.
    const app::DeviceEntry* listed(const app::DeviceEntry& entry) const;

    app::AppModel& m_model;
    app::Workspace& m_workspace;
    oslog::Logger m_log{"com.brenwick.Tandalo", "app"};
};

} // namespace tandalo::ui
