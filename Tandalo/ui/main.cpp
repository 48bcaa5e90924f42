// The application's program: the launch guards, then the core's model on the Qt event loop with the
// Linux desktop's services, and the status item (or the window, where the desktop has no status area).
// SIGINT and SIGTERM quit as the Quit command does, so the devices are unmounted first.
#include "Tandalo/core/AppDelegate.h"
#include "Tandalo/core/AppModel.h"
#include "Tandalo/core/DesktopSettings.h"
#include "Tandalo/core/Diagnostics.h"
#include "Tandalo/core/LinuxProcessRunner.h"
#include "Tandalo/core/XDGAutostart.h"
#include "Tandalo/desktop/DesktopNotificationCenter.h"
#include "Tandalo/desktop/DesktopSleepNotifications.h"
#include "Tandalo/desktop/DesktopWorkspace.h"
#include "Tandalo/desktop/QtApplicationWindows.h"
#include "Tandalo/desktop/QtClipboard.h"
#include "Tandalo/desktop/QtMainExecutor.h"
#include "Tandalo/desktop/ServiceUpdateFramework.h"
#include "Tandalo/ui/AppModelAdapter.h"
#include "Tandalo/ui/DialogFolderPanel.h"
#include "Tandalo/ui/DowngradeGuard.h"
#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/Scene.h"
#include "Tandalo/ui/SingleInstance.h"
#include "Tandalo/ui/StatusItem.h"
#include "Tandalo/ui/TestControl.h"
#include "platform/buschoice/ProcessBus.h"
#include "platform/desktop/ClockTimers.h"
#include "platform/desktop/ColorScheme.h"
#include "platform/desktop/StatusNotifierHost.h"
#include "platform/foundation/LogStore.h"

#include <QApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

using namespace tandalo;

int stopPipe[2] = {-1, -1};

extern "C" void stopRequested(int) {
    const char byte = 's';
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

/// SIGINT and SIGTERM end the event loop from the loop itself, so quitting runs its normal course.
void quitOnStopSignals(QApplication& application) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
        char drained[16];
        while (::read(stopPipe[0], drained, sizeof drained) > 0) {
        }
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = stopRequested;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

/// The model shows the set-up guide through the scene, which is made after the model.
class SetupGuidePresenter final : public app::OnboardingPresenter {
public:
    void show(app::AppModel&) override {
        if (scene != nullptr) {
            scene->showSetupGuide();
        }
    }

    ui::Scene* scene = nullptr;
};

/// The application's services on this desktop, in the order they are made; the model uses them all.
struct DesktopServices {
    explicit DesktopServices(platform::Clock& clock)
        : executor(clock), timers(clock), processes(clock), volumes(processes),
          notifications(QDBusConnection::sessionBus(), clock, notificationOptions()),
          workspace(QDBusConnection::sessionBus(), clock), sleep(QDBusConnection::systemBus(), clock),
          extensionStatus(app::FuseExtensionStatus::Requirements::of(tools), workspace),
          login(app::XDGAutostart::Entry{.name = app::appDisplayName(),
                                         .executable = app::XDGAutostart::currentExecutable()}) {}

    static desktop::NotificationCenterOptions notificationOptions() {
        desktop::NotificationCenterOptions options;
        options.applicationName = app::appDisplayName();
        options.desktopEntry = "com.brenwick.Tandalo";
        return options;
    }

    /// The update checker over the update service, which reads its feed from the application's settings.
    std::unique_ptr<app::Updater> makeUpdater() {
        const auto& bundle = app::BundleInformation::main();
        const auto version = bundle.value("CFBundleShortVersionString");
        const auto* text = version ? std::get_if<std::string>(&*version) : nullptr;
        updates::UpdateConfiguration configuration{.applicationName = app::appDisplayName(),
                                                   .runningVersion = text != nullptr ? *text : "0",
                                                   .runningDisplayVersion = {},
                                                   .fetchTimeout = feedTimeout};
        return std::make_unique<app::Updater>(app::Updater::Services{
            .executor = executor,
            .notifications = notifications,
            .bundle = bundle,
            .windows = app::qtApplicationWindows(),
            .makeFramework = app::ServiceUpdateFramework::factory(
                configuration, platform::Preferences::standard(), updates::UpdatePlatform::system(timers)),
        });
    }

    app::AppModelServices forModel() {
        return app::AppModelServices{
            .executor = executor,
            .preferences = preferences,
            .files = files,
            .mountTable = mountTable,
            .folderPanel = folderPanel,
            .processes = processes,
            .volumes = volumes,
            .servers = servers,
            .mountTools = tools,
            .discovery = discovery,
            .usbEvents = usbEvents,
            .extensionStatus = extensionStatus,
            .loginService = login,
            .notifications = notifications,
            .workspace = workspace,
            .sleep = sleep,
            .onboarding = setupGuide,
            .makeUpdater = [this] { return makeUpdater(); },
            .notificationSettings = app::notificationSettingsCommand(platform::Environment::process()),
        };
    }

    std::chrono::milliseconds feedTimeout = updates::UpdateConfiguration{}.fetchTimeout;
    app::QtMainExecutor executor;
    desktop::ClockTimers timers; // the windows' and the update service's
    app::FilePreferenceSuites preferences;
    app::LinuxFileOperations files;
    app::LinuxMountTable mountTable;
    tandalo::ui::DialogFolderPanel folderPanel;
    app::LinuxProcessRunner processes;
    app::LinuxVolumeUnmounter volumes;
    app::LinuxVolumeServers servers;
    app::MountTools tools = app::MountTools::besideExecutable();
    app::RegistryUSBDiscovery discovery;
    app::RegistryInterfaceEvents usbEvents;
    app::DesktopNotificationCenter notifications;
    app::DesktopWorkspace workspace;
    app::DesktopSleepNotifications sleep;
    app::FuseExtensionStatus extensionStatus;
    app::XDGAutostart login;
    SetupGuidePresenter setupGuide;
    app::QtClipboard clipboard;
    app::LogStoreReader log;
    app::AppDelegate delegate{
        {.executor = executor, .notifications = notifications, .onboarding = setupGuide}};
    app::Diagnostics diagnostics{{.clipboard = clipboard, .notifications = notifications, .log = log}};
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromStdString(app::appDisplayName()));
    QApplication::setQuitOnLastWindowClosed(false);
    const auto& environment = platform::Environment::process();
    auto& clock = platform::Clock::system();

    // The desktop session keeps what a program writes to standard error in its journal, the guards' word
    // on why they could not guard included.
    oslog::LogStore::shared().mirrorToStandardError();
    // Both guards run before the model exists: a copy they end never touches USB, mounts or notifications.
    ui::SingleInstance instance(ui::SingleInstance::defaultFolders(environment), clock);
    if (instance.claim() == ui::SingleInstance::Role::handedOver) {
        return 0;
    }
    app::FilePreferenceSuites sharedPreferences(environment);
    if (ui::DowngradeGuard::check({.suites = sharedPreferences}) == ui::DowngradeGuard::Outcome::quit) {
        return 0;
    }

    usb::setDefaultBus(buschoice::processBus(environment));
    quitOnStopSignals(application);
    DesktopServices services(clock);
    const auto control = environment.value(ui::TestControl::variable);
    if (const auto timeout = environment.value(ui::TestControl::feedTimeoutVariable);
        control && !control->empty() && timeout) {
        services.feedTimeout =
            std::chrono::milliseconds(std::max(1LL, std::strtoll(timeout->c_str(), nullptr, 10)));
    }
    services.delegate.applicationWillFinishLaunching();
    auto model = app::AppModel::create(services.forModel());
    ui::AppModelAdapter adapter(*model, services.delegate, services.diagnostics);
    // The scene's own set-up guide and settings answer the menus.
    ui::SceneActions actions{.showSetupGuide = {}, .openSettings = {}, .quit = [] { QApplication::quit(); }};
    ui::Scene scene(adapter, services.timers, actions, ui::Scene::desktopStatusArea());
    services.setupGuide.scene = &scene;
    // The status area's panel is the desktop's: its glyph follows the desktop's colour scheme.
    desktop::ColorSchemeWatcher colorScheme(
        QDBusConnection::sessionBus(), services.timers,
        [&scene](desktop::ColorScheme scheme) { scene.statusItem().setColorScheme(scheme); });
    ui::MenuBarImages::findSymbolicIcons(QCoreApplication::applicationDirPath());
    desktop::StatusNotifierHostProbe statusNotifierHost(
        QDBusConnection::sessionBus(), services.timers,
        [&scene](bool registered) { scene.statusItem().setPanelRecolours(registered); });
    QObject::connect(&instance, &ui::SingleInstance::reopenRequested, &scene, [&] { scene.reopen(); });
    QObject::connect(&application, &QApplication::aboutToQuit, [&] {
        // A mount still under way ends first: one that finished after everything was unmounted would stay.
        services.processes.stopAll();
        adapter.applicationWillTerminate();
    });

    std::unique_ptr<ui::TestControl> testControl;
    if (control && !control->empty()) {
        testControl = std::make_unique<ui::TestControl>(adapter, scene.window(), actions.quit);
        if (!testControl->listen(*control)) {
            std::cerr << "tandalo: cannot serve " << ui::TestControl::variable << " at " << *control << '\n';
            return 1;
        }
    }
    scene.start();
    const int status = QApplication::exec();
    testControl.reset();
    services.setupGuide.scene = nullptr;
    return status;
}
