#pragma once

#include "Tandalo/ui/ApplicationModel.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tandalo::ui::testing {

/// A model whose values the test sets, announcing each change before storing it as the real one does, and
/// which writes down every operation called on it ("mount R58", "mount R58 taking over", "eject R58"...).
class FakeApplicationModel final : public ApplicationModel {
public:
    view::ModelState current;
    std::vector<std::string> calls;

    void publish(const std::function<void(view::ModelState&)>& change) {
        m_changes.send();
        change(current);
    }
    /// The calls so far, forgotten.
    std::vector<std::string> takeCalls() { return std::exchange(calls, {}); }

    app::Signal<>& objectWillChange() override { return m_changes; }
    view::ModelState state() const override { return current; }

    void mount(const app::DeviceEntry& entry, TakeOverFromAnyone takeOver) override {
        calls.push_back("mount " + entry.id() + (takeOver == TakeOverFromAnyone::yes ? " taking over" : ""));
    }
    void eject(const app::DeviceEntry& entry) override { calls.push_back("eject " + entry.id()); }
    void chooseFolder() override { calls.push_back("chooseFolder"); }
    void openFolder(const app::DeviceEntry& entry) override {
        const auto* mounted = entry.state.mountedFolder();
        calls.push_back("openFolder " + entry.id() + (mounted ? " " + mounted->string() : ""));
    }
    void setAutoMount(bool autoMount) override {
        calls.push_back(autoMount ? "autoMount on" : "autoMount off");
    }
    void setLaunchAtLogin(bool launchAtLogin) override {
        calls.push_back(launchAtLogin ? "launchAtLogin on" : "launchAtLogin off");
    }
    void ejectAll() override { calls.push_back("ejectAll"); }
    void requestSettings() override { calls.push_back("requestSettings"); }
    void checkForUpdates() override { calls.push_back("checkForUpdates"); }
    void copyDiagnostics() override { calls.push_back("copyDiagnostics"); }
    void cleanUpStaleMounts() override { calls.push_back("cleanUpStaleMounts"); }
    void refreshBatteryLevels() override { calls.push_back("refreshBatteryLevels"); }
    void refreshExtensionStatus() override { calls.push_back("refreshExtensionStatus"); }
    void turnOnExtension() override { calls.push_back("turnOnExtension"); }
    void showWaitingUpdate() override { calls.push_back("showWaitingUpdate"); }
    void refreshNotificationStatus() override { calls.push_back("refreshNotificationStatus"); }
    void requestNotificationAuthorization() override { calls.push_back("requestNotificationAuthorization"); }
    void openNotificationSettings() override { calls.push_back("openNotificationSettings"); }
    void setHasCompletedOnboarding(bool completed) override {
        calls.push_back(completed ? "onboarding completed" : "onboarding not completed");
    }
    void handleReopen() override { calls.push_back("handleReopen"); }
    void applicationWillTerminate() override { calls.push_back("applicationWillTerminate"); }

private:
    app::Signal<> m_changes;
};

} // namespace tandalo::ui::testing
