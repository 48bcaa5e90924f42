#pragma once

#include "Tandalo/core/UpdateFramework.h"
#include "platform/foundation/Preferences.h"
#include "platform/updates/UpdateService.h"

#include <memory>

namespace tandalo::app {

/// The update framework on the Linux desktop: the update service of platform/updates, which fetches the
/// feed named in the application's settings, compares versions and shows its own windows. It owns the
/// service and turns the service's delegate calls into the framework delegate's. Main thread only, inside
/// a running QApplication.
class ServiceUpdateFramework final : public UpdateFramework, private updates::UpdateDelegate {
public:
    /// Throws updates::UpdateError when the running version is not a version.
    ServiceUpdateFramework(updates::UpdateConfiguration configuration, platform::Preferences settings,
                           UpdateFrameworkDelegate& delegate, updates::UpdatePlatform platform);
    ~ServiceUpdateFramework() override;

    /// Makes the framework for the update checker: its schedule and time-outs run on the timers given.
    static UpdateFrameworkFactory factory(updates::UpdateConfiguration configuration,
                                          platform::Preferences settings, updates::UpdatePlatform platform);

    void startUpdater() override { m_service->start(); }
    void observeCanCheckForUpdates(std::function<void(bool)> observer) override;
    bool sessionInProgress() const override { return m_service->isSessionActive(); }
    void checkForUpdates() override { m_service->checkNow(); }

private:
    bool prefersQuietReminders() override;
    bool shouldShowScheduledUpdate(const updates::UpdateItem& item, bool inFocus) override;
    void updateFound(const updates::UpdateItem& item, updates::Presenter presenter,
                     updates::CheckKind check) override;
    void userAttendedUpdate(const updates::UpdateItem& item) override;
    void sessionEnded() override;
    void checkCycleEnded(updates::CheckKind check, const updates::UpdateError* error) override;

    UpdateFrameworkDelegate& m_delegate;
    std::unique_ptr<updates::UpdateService> m_service; // last: its windows report to the members above
};

} // namespace tandalo::app
