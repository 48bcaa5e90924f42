#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/Executor.h"
#include "Tandalo/core/NotificationCenter.h"
#include "Tandalo/core/Published.h"
#include "Tandalo/core/UpdateFramework.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo::app {

/// The update checker: it owns the update framework's controller and acts as its delegate, publishes
/// whether a check may start now and which version waits to be installed, starts the checks the user asks
/// for, and announces with a notification of its own an update the framework leaves to the application.
/// The model passes its announcements on as its own. Main executor only.
class Updater : public UpdateFrameworkDelegate {
public:
    struct Services {
        /// The main executor: the wait before an owed check runs there.
        Executor& executor;
        NotificationCenter& notifications;
        const BundleInformation& bundle;
        WindowList windows;
        UpdateFrameworkFactory makeFramework;
    };

    static constexpr std::string_view notificationIdentifier = "tandalo.update";
    /// How long a check that had to close the update alert waits for the framework's end of the cycle.
    static constexpr std::chrono::seconds recheckDelay{3};

    /// Makes the framework's controller with this object as its delegate, starts it and follows whether
    /// it can check.
    explicit Updater(Services services);
    /// An updater without a framework, for an application that has no feed: it never checks.
    Updater();
    ~Updater() override;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    Signal<> objectWillChange;
    /// Whether a check may start now: false until the framework first tells, then as it tells.
    Published<bool> canCheckForUpdates{objectWillChange, false};
    /// The version of an update found in the background and announced; nothing while there is none.
    Published<std::optional<std::string>> waitingVersion{objectWillChange, std::nullopt};

    /// The framework's controller. Its own check (controller().checkForUpdates()) shows or brings back a
    /// found update without first closing it: the update notification's click and the banner use it.
    UpdateFramework& controller() { return *m_controller; }

    /// A check the user asked for. While the framework's update alert is on screen it closes the alert and
    /// checks once the framework reports the end of that cycle, or after 3 s, whichever comes first.
    void checkForUpdates();

    // The framework's delegate.
    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool shouldHandleShowingScheduledUpdate(bool immediateFocus) override { return immediateFocus; }
    void willHandleShowingUpdate(bool handleShowingUpdate, const std::string& displayVersion) override;
    void didReceiveUserAttentionForUpdate() override { clearWaitingVersion(); }
    void willFinishUpdateSession() override { clearWaitingVersion(); }
    void didFinishUpdateCycle() override { recheckIfRequested(); }

private:
    void announce(const std::string& version);
    void clearWaitingVersion();
    void recheckIfRequested();
    std::optional<AppWindow> visibleUpdateAlert() const;

    std::optional<Services> m_services;
    std::unique_ptr<UpdateFramework> m_controller;
    bool m_recheckWhenSessionEnds = false;
    // Shared with the owed check's timer, which does nothing once this object is gone.
    std::shared_ptr<Updater*> m_self = std::make_shared<Updater*>(this);
};

} // namespace tandalo::app
