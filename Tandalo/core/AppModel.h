#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/DeviceEntry.h"
#include "Tandalo/core/DeviceStatus.h"
#include "Tandalo/core/ExtensionStatus.h"
#include "Tandalo/core/FileOperations.h"
#include "Tandalo/core/FolderPanel.h"
#include "Tandalo/core/LoginItem.h"
#include "Tandalo/core/MountLocation.h"
#include "Tandalo/core/MountManager.h"
#include "Tandalo/core/MountTable.h"
#include "Tandalo/core/NotificationCenter.h"
#include "Tandalo/core/OnboardingPresenter.h"
#include "Tandalo/core/PreferenceStore.h"
#include "Tandalo/core/ProcessRunner.h"
#include "Tandalo/core/Published.h"
#include "Tandalo/core/SleepNotifications.h"
#include "Tandalo/core/StatusItemMenu.h"
#include "Tandalo/core/Task.h"
#include "Tandalo/core/USBDiscovery.h"
#include "Tandalo/core/USBInterfaceEvents.h"
#include "Tandalo/core/USBMonitor.h"
#include "Tandalo/core/Updater.h"
#include "Tandalo/core/VolumeUnmounter.h"
#include "Tandalo/core/Workspace.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/Logger.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

class AppModel;

/// The status the menu-bar label draws, derived from the model (AppModel::menuBarIcon()).
enum class MenuBarIcon { mounted, connected, needsFileTransfer, failed, idle };

/// What the model uses and does not make itself. Every service must outlive the model.
struct AppModelServices {
    /// The main executor: the model, its tasks and the deliveries of its subscriptions run there.
    Executor& executor;
    /// The standard suite holds the user's preferences and the mount folder; the app group's holds the
    /// device status that the extension shares.
    PreferenceSuites& preferences;
    FileOperations& files;
    MountTable& mountTable;
    FolderPanel& folderPanel;
    ProcessRunner& processes;
    VolumeUnmounter& volumes;
    MountTools mountTools;
    USBDiscovery& discovery;
    USBInterfaceEvents& usbEvents;
    ExtensionStatus& extensionStatus;
    LoginService& loginService;
    NotificationCenter& notifications;
    /// Opens a mounted device's folder and the desktop's settings pages for the user.
    Workspace& workspace;
    SleepNotifications& sleep;
    OnboardingPresenter& onboarding;
    /// Makes the update checker in its place in the start-up; without it the model keeps one that never
    /// announces anything.
    std::function<std::unique_ptr<Updater>()> makeUpdater;
    /// Makes the status item's menu, with a weak reference back to the model, at the end of the start-up;
    /// without it there is none.
    std::function<std::unique_ptr<StatusItemMenu>(std::weak_ptr<AppModel>)> makeStatusItemMenu;
    const platform::Environment& environment = platform::Environment::process();
    const BundleInformation& bundle = BundleInformation::main();
    unsigned userID = MountServices::currentUserID();
};

/// The application's one observable state object and device controller: the attached devices with their
/// mount states, what the windows and the menus show, and the user's preferences. It owns the mount
/// folder, the update checker, the USB monitor, the mount manager and the status item's menu, and wires
/// them together when it is made. Its published fields announce each change on objectWillChange before
/// they store it, and it passes on the announcements of the mount folder and the update checker, so a
/// view that observes the model alone is told of every change. Model operations never throw: a failure
/// ends in a state, a message or the log.
///
/// One model per process, made on the main executor by the application's scene and kept until quit.
/// Every member is called on the main executor. Its tasks hold it weakly while they wait, so they end
/// once it is gone.
class AppModel : public std::enable_shared_from_this<AppModel> {
public:
    /// How a mount may go: take the device over from whoever holds it, and tell the user once mounted.
    struct MountOptions {
        bool takeOverFromAnyone = false;
        bool notifyWhenMounted = false;
    };

    static constexpr std::string_view autoMountKey = "autoMount";
    static constexpr std::string_view launchAtLoginKey = "launchAtLogin";
    static constexpr std::string_view launchAtLoginConfiguredKey = "launchAtLoginConfigured";
    static constexpr std::string_view hasCompletedOnboardingKey = "hasCompletedOnboarding";

    static constexpr std::chrono::milliseconds onboardingDelay{400};
    static constexpr std::chrono::seconds extensionPollInterval{2};
    static constexpr int extensionPollLimit = 60;
    static constexpr std::chrono::seconds loginItemRecheckDelay{2};

    /// Makes the model and starts it in this order: the published fields and the preferences; the mount
    /// folder, restored; the update checker; the USB monitor; the mount manager; AppModel::current(); the
    /// subscriptions to the monitor's lists and to the announcements of the mount folder and the update
    /// checker; launch at login applied; the subscriptions to sleep and wake; tasks that refresh the
    /// extension state and the notification permission; the USB monitor started; the status item's menu;
    /// and, when the set-up guide was never completed, a task that shows it 0.4 s later.
    static std::shared_ptr<AppModel> create(AppModelServices services);
    /// The model of this process, once made and while it lives.
    static std::shared_ptr<AppModel> current();

    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // Observation. objectWillChange comes first: the fields below announce on it.

    Signal<> objectWillChange;
    /// The attached MTP devices with their mount states, in the USB monitor's order.
    Published<std::vector<DeviceEntry>> devices{objectWillChange, {}};
    /// Battery percent of mounted devices, by device id.
    Published<std::map<std::string, int>> batteryLevels{objectWillChange, {}};
    /// Android devices without MTP (charge-only) that are not also listed in devices.
    Published<std::vector<corvane::AndroidCandidate>> waitingForFileTransfer{objectWillChange, {}};
    /// Whether the file-system extension is enabled; nothing while no answer is known.
    Published<std::optional<bool>> extensionEnabled{objectWillChange, std::nullopt};
    Published<NotificationAuthorizationStatus> notificationStatus{
        objectWillChange, NotificationAuthorizationStatus::notDetermined};
    /// The last error shown to the user in the settings.
    Published<std::optional<std::string>> lastError{objectWillChange, std::nullopt};
    Published<LoginItem::State> loginItemState{objectWillChange, LoginItem::State::disabled()};
    /// Each increment asks the user interface to open the settings window.
    Published<int> settingsRequests{objectWillChange, 0};
    /// The note shown under a device whose eject failed, by device id.
    Published<std::map<std::string, std::string>> ejectNotes{objectWillChange, {}};
    /// The application that holds a device, by device id.
    Published<std::map<std::string, std::string>> holders{objectWillChange, {}};

    /// The menu-bar status: the first that holds of a device mounted, a device failed, a device listed, a
    /// charge-only device waiting, else idle.
    MenuBarIcon menuBarIcon() const;

    // Preferences, read and written through the standard preferences at every access (the set-up guide
    // writes hasCompletedOnboarding under the same key). A write that fails is logged and reads back the
    // value before it. Each change is announced.

    /// Mount devices as they appear (default true). Switching it on (again) starts mounting every
    /// unmounted device on the next turn; switching it off leaves mounts alone.
    bool autoMount() const;
    void setAutoMount(bool value);
    /// The user's wish to start the application at login (default true). Setting it applies it at once:
    /// loginItemState tells how that went.
    bool launchAtLogin() const;
    void setLaunchAtLogin(bool value);
    /// The wish has been applied once on this computer (default false).
    bool launchAtLoginConfigured() const;
    void setLaunchAtLoginConfigured(bool value);
    /// The set-up guide was finished (default false).
    bool hasCompletedOnboarding() const;
    void setHasCompletedOnboarding(bool value);

    // What the model owns and uses.

    Executor& executor() const { return m_services.executor; }
    MountLocation& mountLocation() { return *m_mountLocation; }
    Updater& updater() { return *m_updater; }
    USBMonitor& monitor() { return *m_monitor; }
    MountManager& mounter() { return *m_mounter; }
    ExtensionStatus& extensionStatus() { return m_services.extensionStatus; }
    StatusItemMenu* statusItemMenu() const { return m_statusItemMenu.get(); }

    // Devices.

    /// Reconciles devices with a list the USB monitor published.
    void handleDevices(std::vector<corvane::USBDeviceDescriptor> list);
    /// Rebuilds waitingForFileTransfer from a candidate list the USB monitor published.
    void handleCandidates(std::vector<corvane::AndroidCandidate> list);
    /// Starts mounting the device when its state (as the caller saw it) is unmounted or failed.
    void mount(const DeviceEntry& entry, MountOptions options);
    /// Starts mounting every device that is unmounted now, in list order, without notifications; returns
    /// without waiting for any of the mounts.
    void mountAllUnmounted();
    /// Sets the state of the listed device with that id; an id no longer listed is ignored.
    void setState(MountState state, std::string_view id);

    /// Before the system sleeps; the system waits until this returns.
    void willSleep();
    /// After the system woke.
    void didWake();

    // Status refreshes. The tasks run on the main executor: spawn(model.executor(), model.refresh...()).

    /// Asks whether the extension is enabled. When the answer turns it true and automatic mounting is on,
    /// failed devices become unmounted and every unmounted device is mounted. A failed question counts as
    /// enabled while a device is mounted.
    Task<void> refreshExtensionStatus();
    /// Refreshes the extension state every 2 s until it is enabled, at most 60 times: after the user was
    /// sent to switch it on.
    Task<void> pollExtensionStatus();
    /// Reads the notification permission into notificationStatus.
    Task<void> refreshNotificationStatus();
    /// Reads the launch-at-login state 2 s from now: after the user was sent to the desktop's settings.
    Task<void> refreshLoginItemStateSoon();
    /// Reads the battery levels of the mounted devices; publishes only a change.
    void refreshBatteryLevels();
    /// Shows the set-up guide 0.4 s from now.
    Task<void> showOnboardingAtLaunch();

private:
    explicit AppModel(AppModelServices services);

    void start();
    void setUpLoginItem();
    void observeSleepAndWake();
    bool preference(std::string_view key, bool fallback) const;
    void storePreference(std::string_view key, bool value);
    const DeviceEntry* entry(std::string_view id) const;
    /// Sets every failed device to unmounted, in one change of the list.
    void unmountFailedDevices();

    static Task<void> refreshExtensionStatusOf(std::shared_ptr<AppModel> model);
    static Task<void> pollExtensionStatusOf(std::weak_ptr<AppModel> model);
    static Task<void> refreshNotificationStatusOf(std::shared_ptr<AppModel> model);
    static Task<void> refreshLoginItemStateSoonOf(std::weak_ptr<AppModel> model);
    static Task<void> showOnboardingAtLaunchOf(std::weak_ptr<AppModel> model);

    AppModelServices m_services;
    oslog::Logger m_log{"com.brenwick.Tandalo", "model"};
    std::shared_ptr<PreferenceStore> m_defaults;
    LoginItem m_loginItem;
    DeviceStatus m_deviceStatus;

    // Made at start, in this order.
    std::unique_ptr<MountLocation> m_mountLocation;
    std::unique_ptr<Updater> m_updater;
    std::unique_ptr<USBMonitor> m_monitor;
    std::unique_ptr<MountManager> m_mounter;

    // Device bookkeeping of the mount, eject and reconciliation tasks.
    std::map<std::string, std::vector<platform::Clock::WallTime>> m_cameraTakeovers;
    std::map<std::string, TaskHandle> m_mountTasks;
    std::map<std::string, platform::Clock::WallTime> m_vanishedWhileMounting;
    std::set<std::uint64_t> m_notifiedCandidates;
    bool m_didPromptForFolder = false;
    std::map<std::string, int> m_accessRetriesLeft;
    std::vector<corvane::AndroidCandidate> m_reportedCandidates;
    std::set<std::string> m_ejectedForSleep;
    std::optional<platform::Clock::WallTime> m_lastWake;

    std::unique_ptr<StatusItemMenu> m_statusItemMenu;
    std::vector<Subscription> m_cancellables; // last: they end before anything they deliver to goes
};

} // namespace tandalo::app
