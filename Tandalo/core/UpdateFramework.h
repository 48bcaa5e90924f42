#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

/// What the update framework asks and tells the application. The framework calls every member on the main
/// thread, from inside its own work; a member may call the framework back.
class UpdateFrameworkDelegate {
public:
    virtual ~UpdateFrameworkDelegate() = default;

    /// Whether the application announces updates that scheduled checks find on its own, quietly, instead
    /// of the framework putting its window in front of whatever the user is doing.
    virtual bool supportsGentleScheduledUpdateReminders() = 0;
    /// For an update that a scheduled check found: true lets the framework show it now. immediateFocus
    /// tells whether the application is the one in front right now.
    virtual bool shouldHandleShowingScheduledUpdate(bool immediateFocus) = 0;
    /// A found update is about to be shown; handleShowingUpdate is false when the framework leaves showing
    /// it to the application.
    virtual void willHandleShowingUpdate(bool handleShowingUpdate, const std::string& displayVersion) = 0;
    /// The user has the update in front of them.
    virtual void didReceiveUserAttentionForUpdate() = 0;
    /// The session of a found update is ending.
    virtual void willFinishUpdateSession() = 0;
    /// A check has run its course, whatever it found or however it failed.
    virtual void didFinishUpdateCycle() = 0;
};

/// The update framework's controller as the update checker drives it: it checks the application's feed,
/// shows its own windows and reports to its delegate. Main thread only.
class UpdateFramework {
public:
    virtual ~UpdateFramework() = default;

    /// Starts the framework's schedule; nothing is checked before.
    virtual void startUpdater() = 0;
    /// The one observer of whether a check may start now: called at once with the current value, then
    /// with every change.
    virtual void observeCanCheckForUpdates(std::function<void(bool)> observer) = 0;
    /// Whether a found update is waiting for the user's decision.
    virtual bool sessionInProgress() const = 0;
    /// A check the user asked for: the framework shows its outcome in its own windows.
    virtual void checkForUpdates() = 0;
};

/// Makes the framework's controller, not yet started, reporting to the delegate (which outlives it).
using UpdateFrameworkFactory = std::function<std::unique_ptr<UpdateFramework>(UpdateFrameworkDelegate&)>;

/// One of the application's top-level windows, as the update checker looks for the framework's alert.
struct AppWindow {
    std::string className; // of the window's own type, qualified with its namespace
    bool isVisible = false;
    std::function<void()> performClose; // closes it as its close button would
};

/// The application's top-level windows, in their order.
using WindowList = std::function<std::vector<AppWindow>()>;

/// The class name of the framework's update alert, the window that offers one found update.
inline constexpr std::string_view updateAlertClassName = "updates::UpdateWindow";

} // namespace tandalo::app
