#pragma once

#include "Tandalo/core/AppModel.h"
#include "Tandalo/core/ManualExecutor.h"

#include "tests/Tandalo/core/AppFakes.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <deque>

namespace tandalo::app::testing {

/// The application model on the manual executor and the virtual clock, every service a fake that writes
/// its calls to one log, and a USB bus the test fills.
class AppModelRig : public ::testing::Test {
protected:
    AppModelRig() {
        // A mount that succeeds is in the mount table, as the kernel's would be, until it is unmounted.
        processes.setScript([this](const ProcessCommand& command) -> std::optional<ProcessResult> {
            if (command.executable != MountTools{}.mountTool) {
                return ProcessResult{};
            }
            const auto& resource = command.arguments.at(2);
            const std::filesystem::path folder = command.arguments.at(3);
            auto answer = thereafter;
            if (!mountAnswers.empty()) {
                answer = mountAnswers.front();
                mountAnswers.pop_front();
            }
            if (!answer) {
                pendingMounts.emplace_back(resource, folder);
            } else if (answer->status == 0) {
                mountTable.add(resource, folder);
            }
            return answer;
        });
        volumes.onUnmounted = [this](const std::filesystem::path& folder) { mountTable.remove(folder); };
    }

    void TearDown() override {
        // Mounts still running end now, so that no task holds the model past the services it uses.
        for (int round = 0; round < 4 && processes.pendingCount() > 0; ++round) {
            while (processes.pendingCount() > 0) {
                finishMount(ProcessResult{1, "ended with the test"});
            }
            executor.runUntilIdle();
        }
        model.reset();
        executor.runUntilIdle(); // ends what the model's tasks still hold of it
    }

    /// Ends the oldest mount-tool run still running.
    void finishMount(ProcessResult result) {
        if (processes.pendingCount() == 0) {
            ADD_FAILURE() << "no mount is running";
            return;
        }
        if (!pendingMounts.empty()) {
            const auto [resource, folder] = pendingMounts.front();
            pendingMounts.pop_front();
            if (result.status == 0) {
                mountTable.add(resource, folder);
            }
        }
        processes.finishPending(std::move(result));
    }
    /// The folders of the mount-tool runs so far, in order.
    std::vector<std::string> mountedFolders() const {
        std::vector<std::string> folders;
        for (const auto& command : processes.calls()) {
            if (command.executable == MountTools{}.mountTool) {
                folders.push_back(command.arguments.at(3));
            }
        }
        return folders;
    }

    AppModelServices services() {
        auto makeUpdater = [this] {
            log.add("updater: made");
            return makeUpdaterWithFakeFramework();
        };
        auto applicationName = [this](std::int32_t pid) {
            const auto found = applicationNames.find(pid);
            return found == applicationNames.end() ? std::nullopt : std::optional(found->second);
        };
        AppModelServices made{executor,  preferences, files,       mountTable,    folderPanel,
                              processes, volumes,     servers,     MountTools{},  bus,
                              usbEvents, extension,   login,       notifications, workspace,
                              sleep,     onboarding,  makeUpdater, environment,   bundle};
        made.runningApplicationName = applicationName;
        made.notificationSettings = notificationSettings;
        return made;
    }

    /// Makes the model and lets its start-up tasks run, without moving time.
    AppModel& start() {
        model = AppModel::create(services());
        executor.runUntilIdle();
        return *model;
    }

    /// Starts the model with these devices on the bus, each then set to its state, and the extension's
    /// state and the start-up's calls forgotten.
    AppModel& startWith(const std::vector<MountState>& states) {
        for (std::size_t index = 0; index < states.size(); ++index) {
            const auto serial = testsupport::concat("SER", index);
            bus.devices.push_back(device(serial, 0x14200000, registryID(serial)));
        }
        // Set, not mounted: no mount starts while the devices are listed, whatever the preference.
        const auto autoMount = preferences.values().value(AppModel::autoMountKey);
        preferences.values().set(AppModel::autoMountKey, false);
        start();
        executor.advanceBy(USBMonitor::refreshDelay);
        if (autoMount) {
            preferences.values().set(AppModel::autoMountKey, *autoMount);
        } else {
            preferences.values().remove(AppModel::autoMountKey);
        }
        for (std::size_t index = 0; index < states.size(); ++index) {
            model->setState(states[index], testsupport::concat("SER", index));
        }
        log.clear();
        return *model;
    }

    /// The same registry entry ID for a serial number every time it is plugged.
    std::uint64_t registryID(const std::string& serial) {
        return registryIDs.try_emplace(serial, 100 + registryIDs.size()).first->second;
    }
    /// Puts exactly these devices on the bus and lets the monitor publish them.
    void attach(const std::vector<std::string>& serials) {
        bus.devices.clear();
        for (const auto& serial : serials) {
            bus.devices.push_back(device(serial, 0x14200000, registryID(serial)));
        }
        usbEvents.report();
        executor.advanceBy(USBMonitor::refreshDelay);
    }
    /// "<id> <state>" of each listed device, with the folder of a mounted one, joined by ", ".
    std::string describe() const {
        std::string text;
        for (const auto& entry : *model->devices) {
            text.append(text.empty() ? "" : ", ").append(entry.id()).append(" ");
            text.append(entry.state.diagnosticsText());
            if (const auto* folder = entry.state.mountedFolder()) {
                text.append(" ").append(folder->string());
            }
        }
        return text;
    }
    /// The identifiers of the notifications shown so far.
    std::vector<std::string> shown() const {
        std::vector<std::string> identifiers;
        for (const auto& request : notifications.added) {
            identifiers.push_back(request.identifier);
        }
        return identifiers;
    }

    std::vector<MountState> states() const {
        std::vector<MountState> result;
        for (const auto& entry : *model->devices) {
            result.push_back(entry.state);
        }
        return result;
    }

    /// The model's update checker over a fake framework and the application's windows of the test.
    std::unique_ptr<Updater> makeUpdaterWithFakeFramework() {
        auto makeFramework = [this](UpdateFrameworkDelegate& delegate) {
            auto framework = std::make_unique<FakeUpdateFramework>(log, delegate);
            updates = framework.get();
            return framework;
        };
        auto list = [this] {
            std::vector<AppWindow> list;
            for (const auto& [className, isVisible] : windows) {
                list.push_back(
                    {className, isVisible, [this, className] { log.add("windows: close " + className); }});
            }
            return list;
        };
        return std::make_unique<Updater>(
            Updater::Services{executor, notifications, bundle, list, makeFramework});
    }

    platform::VirtualClock clock;
    ManualExecutor executor{clock};
    CallLog log;
    RecordingPreferenceSuites preferences{log};
    FakeFileOperations files;
    FakeMountTable mountTable;
    FakeFolderPanel folderPanel;
    FakeProcessRunner processes;
    std::optional<ProcessCommand> notificationSettings;
    FakeVolumeUnmounter volumes;
    FakeVolumeServers servers;
    FakeUSBDiscovery bus{log};
    FakeUSBInterfaceEvents usbEvents{log};
    FakeExtensionStatus extension{log};
    FakeLoginService login{log};
    FakeNotificationCenter notifications{log, executor};
    FakeWorkspace workspace{log, executor};
    std::vector<std::pair<std::string, bool>> windows; // the application's: class name, visible
    FakeUpdateFramework* updates = nullptr;            // the model's updater's, once made
    SleepNotifications sleep;
    FakeOnboarding onboarding{log, clock};
    FakeBundleInformation bundle;
    platform::MemoryEnvironment environment{{"HOME", "/home/me"}};
    /// What the mount tool answers, run after run, then thereafter; nothing keeps a run running until
    /// finishMount().
    std::deque<ProcessResult> mountAnswers;
    std::optional<ProcessResult> thereafter;
    std::deque<std::pair<std::string, std::filesystem::path>> pendingMounts;
    std::map<std::string, std::uint64_t> registryIDs;
    /// The names of running applications by process id; the others have none.
    std::map<std::int32_t, std::string> applicationNames;
    std::shared_ptr<AppModel> model;
};

} // namespace tandalo::app::testing
