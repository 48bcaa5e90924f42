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
#include "Tandalo/core/Task.h"
#include "Tandalo/core/USBDiscovery.h"
#include "Tandalo/core/USBInterfaceEvents.h"
#include "Tandalo/core/USBMonitor.h"
#include "Tandalo/core/Updater.h"
#include "Tandalo/core/VolumeServers.h"
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
    /// Whether a mount still has its server, and word when the process that serves one ends.
    VolumeServers& servers;
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
    const platform::Environment& environment = platform::Environment::process();
    const BundleInformation& bundle = BundleInformation::main();
    unsigned userID = MountServices::currentUserID();
    /// The name under which the user knows a running process, to say who holds a device; nothing when
    /// there is no such process. By default the process's name as the kernel keeps it.
    std::function<std::optional<std::string>(std::int32_t pid)> runningApplicationName = {};
    /// Opens the desktop's page of notification settings for the user when notifications cannot be
    /// shown; nothing where the desktop has no known way to open it (notificationSettingsCommand()).
    std::optional<ProcessCommand> notificationSettings = {};
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

    /// How long a device that vanished while it was being mounted stays listed, and when that is checked.
    static constexpr std::chrono::seconds vanishGrace{10};
    static constexpr std::chrono::milliseconds vanishRecheckDelay{10500};
    /// A device unplugged this soon after the extension last wrote to it may have lost a copy.
    static constexpr std::chrono::seconds unpluggedDuringCopyWindow{5};
    /// The camera service may be displaced this many times per device within the window.
    static constexpr int cameraTakeoverLimit = 3;
    static constexpr std::chrono::seconds cameraTakeoverWindow{60};
    /// The numbered folders tried while the earlier ones are stale mount points.
    static constexpr int lastFolderIndex = 20;
    /// Automatic retries while the phone has not allowed access yet, and the wait before each.
    static constexpr int accessRetries = 4;
    static constexpr std::chrono::seconds accessRetryDelay{5};
    static constexpr std::chrono::seconds ejectNoteDuration{6};
    /// No "in the file manager" notification this soon after a wake: the devices come back by themselves.
    static constexpr std::chrono::seconds quietAfterWake{60};

    static constexpr std::string_view noFolderMessage = "Choose where devices should appear.";
    static constexpr std::string_view folderFailedMessage = "Could not create a folder for this device.";
    static constexpr std::string_view ejectNote = "Still in use. Close files on the device and try again.";
    /// Under a device whose mount died while automatic mounting is off.
    static constexpr std::string_view deadMountNote =
        "Its mount stopped unexpectedly, so its folder was closed. Mount it again to see its files.";

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
    /// The note shown under a device whose eject failed or whose mount died, by device id.
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

    // Devices.

    /// Reconciles devices with a list the USB monitor published.
    void handleDevices(std::vector<corvane::USBDeviceDescriptor> list);
    /// Rebuilds waitingForFileTransfer from a candidate list the USB monitor published.
    void handleCandidates(std::vector<corvane::AndroidCandidate> list);
    /// Starts mounting the device when its state (as the caller saw it) is unmounted or failed. Asks for
    /// the mount folder the first time in a run that there is none.
    void mount(const DeviceEntry& entry, MountOptions options);
    /// Starts mounting every device that is unmounted now, in list order, without notifications; returns
    /// without waiting for any of the mounts.
    void mountAllUnmounted();
    /// Sets the state of the listed device with that id; an id no longer listed is ignored.
    void setState(MountState state, std::string_view id);
    /// Asks the user for the mount folder again; once one is chosen, every device that is not mounted is
    /// mounted (again) in it.
    void chooseFolder();
    /// Shows the folder of the device with the entry's id in the file manager, when it is mounted now.
    void openFolder(const DeviceEntry& entry);
    /// Whether the device may displace the camera service once more: fewer than 3 times in the last 60 s.
    bool cameraTakeoverAllowed(std::string_view id);
    /// Mounts the failed device again in 5 s, at most 4 times until a mount succeeds.
    void scheduleAccessRetry(std::string_view id);
    /// The name of the application that holds the device, for "In use by ...".
    std::optional<std::string> holderName(const corvane::USBDeviceDescriptor& device);

    /// Ejects the device with the entry's id when it is mounted now; a failure leaves it mounted with a
    /// note under it for 6 s.
    void eject(const DeviceEntry& entry);
    /// Ejects every mounted device.
    void ejectAll();
    bool hasMountedDevices() const;
    /// Marks unmounted the mounted devices whose mounts are gone from the system's mount table, and takes
    /// down those whose mounts lost their servers.
    void cleanUpStaleMounts();

    /// Before the system sleeps: unmounts every mounted device, blocking for at most 10 s. The system
    /// waits until this returns.
    void willSleep();
    /// After the system woke: mounts again the devices that were mounted before it slept.
    void didWake();

    // Notifications. Each is shown only while the notification server answers.

    /// "<name> is in your file manager": the device was mounted; not in the first minute after a wake.
    void postMountedNotification(const DeviceEntry& entry);
    void postCandidateNotification(const corvane::AndroidCandidate& candidate, bool granted);
    void postUnpluggedNotification(const DeviceEntry& entry, NotificationSettings settings);
    /// The application was started again while running: a notification, or the set-up guide when
    /// notifications cannot be shown.
    void postRunningNotification(NotificationSettings settings);
    Task<void> requestNotificationAuthorization();
    /// Starts the desktop's notification settings; a start that fails is logged.
    void openNotificationSettings();
    /// Whether this desktop has a known way to open its notification settings.
    bool canOpenNotificationSettings() const { return m_services.notificationSettings.has_value(); }

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

    /// What a device's one task shares with the task that replaces it: whether it ended, and who waits.
    struct TaskEnd;
    struct DeviceTask {
        TaskHandle handle;
        std::shared_ptr<TaskEnd> end;
    };
    enum class WhenCancelled { stop, finish };
    /// Makes the body the device's one task: the task it replaces is cancelled, and the body starts only
    /// once that one has ended, so two of a device's tasks never run at the same time. A body that is
    /// cancelled before it starts does not run unless it must finish.
    void startDeviceTask(const std::string& id, Task<void> body, std::string name,
                         WhenCancelled whenCancelled = WhenCancelled::stop);
    void cancelDeviceTask(const std::string& id);
    static Task<void> runAfter(std::weak_ptr<TaskEnd> previous, Task<void> body, std::shared_ptr<TaskEnd> end,
                               WhenCancelled whenCancelled);
    static Task<void> waitForEnd(std::weak_ptr<TaskEnd> previous);

    static Task<void> mountTaskOf(std::shared_ptr<AppModel> model, DeviceEntry entry, MountOptions options,
                                  bool takeOverFromCameraService);
    void mounted(const DeviceEntry& entry, const std::filesystem::path& folder, bool notify);
    void fail(const std::string& id, const std::string& message, bool retryForAccess);
    /// After a failed mount: a failed state and message, a retry, or a take-over from the camera service.
    void mountFailed(const DeviceEntry& entry, MountOptions options, std::exception_ptr error);
    static Task<void> accessRetryOf(std::weak_ptr<AppModel> model, std::string id);
    /// Keeps watch over the process that serves the device's mount on the folder, when it is known.
    void watchServer(const std::string& id, const std::filesystem::path& folder,
                     std::optional<std::int32_t> pid);
    /// Takes down the device's mount on the folder when it lost its server, then mounts the device again
    /// (automatic mounting) or leaves it unmounted with a note.
    static Task<void> checkServerOf(std::weak_ptr<AppModel> model, std::string id,
                                    std::filesystem::path folder);
    /// The process that served the device's mount on the folder ended.
    void serverEnded(const std::string& id, const std::filesystem::path& folder, std::int32_t pid);
    /// The device's mount on the folder lost its server: a dead mount is not a mount.
    void mountDied(const std::string& id, const std::filesystem::path& folder);
    static Task<void> deadMountTaskOf(std::shared_ptr<AppModel> model, std::string id,
                                      std::filesystem::path folder);
    static Task<void> ejectTaskOf(std::shared_ptr<AppModel> model, DeviceEntry entry,
                                  std::filesystem::path folder);
    static Task<void> ejectNoteTaskOf(std::weak_ptr<AppModel> model, std::string id, std::string note);
    static Task<void> vanishRecheckOf(std::weak_ptr<AppModel> model);
    static Task<void> deviceVanishedCleanup(std::shared_ptr<AppModel> model, std::string id,
                                            std::filesystem::path folder);
    /// Whether another listed device is being mounted in the folder: it is no mount point until that ends.
    bool isMountingIn(const std::filesystem::path& folder, std::string_view besides) const;
    /// Phase 3 of the reconciliation: what is left of a device that is gone.
    void forgetDevice(const DeviceEntry& gone);
    void announceCandidate(const corvane::AndroidCandidate& candidate);
    /// Sets every failed device to unmounted, in one change of the list.
    void unmountFailedDevices();

    static Task<void> refreshExtensionStatusOf(std::shared_ptr<AppModel> model);
    static Task<void> pollExtensionStatusOf(std::weak_ptr<AppModel> model);
    static Task<void> refreshNotificationStatusOf(std::shared_ptr<AppModel> model);
    static Task<void> refreshLoginItemStateSoonOf(std::weak_ptr<AppModel> model);
    static Task<void> showOnboardingAtLaunchOf(std::weak_ptr<AppModel> model);
    static Task<void> requestNotificationAuthorizationOf(std::shared_ptr<AppModel> model);

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
    // Times are continuous: a wall clock set back must neither stretch a grace nor a take-over window.
    std::map<std::string, std::vector<platform::Clock::TimePoint>> m_cameraTakeovers;
    std::map<std::string, DeviceTask, std::less<>> m_mountTasks;
    std::map<std::string, platform::Clock::TimePoint> m_vanishedWhileMounting;
    /// The folder each device's mount last used, which is the one to tidy when the device goes.
    std::map<std::string, std::filesystem::path> m_deviceFolders;
    /// The mounts of devices that vanished, while their clean-up takes them down.
    std::map<std::string, std::filesystem::path> m_dyingMounts;
    /// The watch over the process that serves each mounted device's volume, when it is known.
    struct ServerWatch {
        std::int32_t pid;
        std::unique_ptr<VolumeServers::Watch> watch;
    };
    std::map<std::string, ServerWatch> m_serverWatches;
    std::set<std::uint64_t> m_notifiedCandidates;
    bool m_didPromptForFolder = false;
    std::map<std::string, int> m_accessRetriesLeft;
    std::vector<corvane::AndroidCandidate> m_reportedCandidates;
    std::set<std::string> m_ejectedForSleep;
    bool m_asleep = false;
    std::optional<platform::Clock::TimePoint> m_lastWake;

    std::vector<Subscription> m_cancellables; // last: they end before anything they deliver to goes
};

} // namespace tandalo::app
