// The model's state, its preferences, the menu-bar status, the start-up and the device list.
#include "Tandalo/core/AppModel.h"

#include "platform/foundation/ProcessInfo.h"

#include <algorithm>
#include <exception>

namespace tandalo::app {

namespace {

std::weak_ptr<AppModel>& currentModel() {
    static std::weak_ptr<AppModel> model;
    return model;
}

} // namespace

AppModel::AppModel(AppModelServices services)
    : m_services(std::move(services)), m_defaults(m_services.preferences.standard()),
      m_loginItem(m_services.loginService), m_deviceStatus(m_services.preferences) {
    if (!m_services.runningApplicationName) {
        m_services.runningApplicationName = [](std::int32_t pid) { return platform::processName(pid); };
    }
    m_mountLocation = std::make_unique<MountLocation>(
        MountLocation::Services{*m_defaults, m_services.files, m_services.mountTable, m_services.folderPanel,
                                m_services.environment, m_services.bundle});
    m_mountLocation->restore();
    m_updater = m_services.makeUpdater ? m_services.makeUpdater() : nullptr;
    if (!m_updater) {
        m_updater = std::make_unique<Updater>();
    }
    // Not started yet: its lists stay empty until the end of the start-up.
    m_monitor = std::make_unique<USBMonitor>(m_services.executor, m_services.discovery, m_services.usbEvents);
    m_mounter = std::make_unique<MountManager>(
        MountServices{m_services.processes, m_services.mountTable, m_services.files, m_services.volumes,
                      m_services.servers, m_services.executor.clock(), m_services.bundle, m_services.userID},
        m_services.mountTools);
}

AppModel::~AppModel() = default;

std::shared_ptr<AppModel> AppModel::create(AppModelServices services) {
    std::shared_ptr<AppModel> model(new AppModel(std::move(services)));
    currentModel() = model;
    model->start();
    return model;
}

std::shared_ptr<AppModel> AppModel::current() {
    return currentModel().lock();
}

void AppModel::start() {
    auto& executor = m_services.executor;
    const std::weak_ptr<AppModel> weak = weak_from_this();
    // The monitor's current lists, empty now, arrive on the next turn: the model starts from them.
    m_cancellables.push_back(m_monitor->devices.subscribe(
        executor, weak, [](AppModel& model, const auto& list) { model.handleDevices(list); }));
    m_cancellables.push_back(m_monitor->candidates.subscribe(
        executor, weak, [](AppModel& model, const auto& list) { model.handleCandidates(list); }));
    // Passed on where they are made, so that a view sees the change before it happens.
    const auto forward = [weak] {
        if (const auto model = weak.lock()) {
            model->objectWillChange.send();
        }
    };
    m_cancellables.push_back(m_mountLocation->objectWillChange.subscribe(forward));
    m_cancellables.push_back(m_updater->objectWillChange.subscribe(forward));
    setUpLoginItem();
    observeSleepAndWake();
    spawn(executor, refreshExtensionStatus(), "refresh extension status");
    spawn(executor, refreshNotificationStatus(), "refresh notification status");
    m_monitor->start();
    if (!hasCompletedOnboarding()) {
        spawn(executor, showOnboardingAtLaunch(), "onboarding at launch");
    }
}

void AppModel::setUpLoginItem() {
    if (launchAtLoginConfigured()) {
        loginItemState.set(m_loginItem.sync(launchAtLogin()));
    } else {
        // Marked first: a registration that fails now is not tried again at every start, only synced.
        setLaunchAtLoginConfigured(true);
        loginItemState.set(m_loginItem.setEnabled(launchAtLogin()));
    }
    if (loginItemState->isFailed()) {
        lastError.set("Launch at login: " + loginItemState->message());
    }
}

void AppModel::observeSleepAndWake() {
    const std::weak_ptr<AppModel> weak = weak_from_this();
    // The system waits for the delay until the work before sleep is done, here or, without a model, at
    // once: the delivery's copy of the delay goes with it.
    m_cancellables.push_back(m_services.sleep.willSleep.subscribe(
        m_services.executor, weak, [](AppModel& model, const SleepDelay& delay) {
            model.willSleep();
            delay.release();
        }));
    m_cancellables.push_back(m_services.sleep.didWake.subscribe(m_services.executor, weak,
                                                                [](AppModel& model) { model.didWake(); }));
}

// --- Preferences ---------------------------------------------------------------------------------------

bool AppModel::preference(std::string_view key, bool fallback) const {
    return m_defaults->boolValue(key).value_or(fallback);
}

void AppModel::storePreference(std::string_view key, bool value) {
    objectWillChange.send();
    try {
        m_defaults->set(key, value);
    } catch (const std::exception& error) {
        m_log.error("%{public}s not saved: %{public}s", key, error.what());
    }
}

bool AppModel::autoMount() const {
    return preference(autoMountKey, true);
}

void AppModel::setAutoMount(bool value) {
    storePreference(autoMountKey, value);
    if (!autoMount()) {
        return; // running mounts go on and mounted devices stay mounted
    }
    m_services.executor.post([weak = weak_from_this()] {
        if (const auto model = weak.lock()) {
            model->mountAllUnmounted();
        }
    });
}

bool AppModel::launchAtLogin() const {
    return preference(launchAtLoginKey, true);
}

void AppModel::setLaunchAtLogin(bool value) {
    storePreference(launchAtLoginKey, value);
    // A failure shows in the state alone; the last error is the start-up's to set.
    loginItemState.set(m_loginItem.setEnabled(launchAtLogin()));
}

bool AppModel::launchAtLoginConfigured() const {
    return preference(launchAtLoginConfiguredKey, false);
}

void AppModel::setLaunchAtLoginConfigured(bool value) {
    storePreference(launchAtLoginConfiguredKey, value);
}

bool AppModel::hasCompletedOnboarding() const {
    return preference(hasCompletedOnboardingKey, false);
}

void AppModel::setHasCompletedOnboarding(bool value) {
    storePreference(hasCompletedOnboardingKey, value);
}

// --- Menu-bar status -----------------------------------------------------------------------------------

MenuBarIcon AppModel::menuBarIcon() const {
    const auto any = [&](auto predicate) { return std::any_of(devices->begin(), devices->end(), predicate); };
    if (any([](const DeviceEntry& device) { return device.state.isMounted(); })) {
        return MenuBarIcon::mounted;
    }
    if (any([](const DeviceEntry& device) { return device.state.isFailed(); })) {
        return MenuBarIcon::failed;
    }
    if (!devices->empty()) {
        return MenuBarIcon::connected;
    }
    return waitingForFileTransfer->empty() ? MenuBarIcon::idle : MenuBarIcon::needsFileTransfer;
}

} // namespace tandalo::app
