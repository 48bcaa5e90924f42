#pragma once

#include "Tandalo/core/AppModel.h"
#include "Tandalo/core/ManualExecutor.h"

#include "tests/Tandalo/core/AppFakes.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"

#include <gtest/gtest.h>

namespace tandalo::app::testing {

/// The application model on the manual executor and the virtual clock, every service a fake that writes
/// its calls to one log, and a USB bus the test fills.
class AppModelRig : public ::testing::Test {
protected:
    void TearDown() override {
        model.reset();
        executor.runUntilIdle(); // ends what the model's tasks still hold of it
    }

    AppModelServices services() {
        auto makeUpdater = [this] {
            log.add("updater: made");
            return std::make_unique<Updater>();
        };
        auto makeMenu = [this](std::weak_ptr<AppModel> made) {
            log.add(made.lock() ? "menu: made" : "menu: made without a model");
            return std::make_unique<StatusItemMenu>();
        };
        return AppModelServices{executor,   preferences, files,         mountTable,  folderPanel,
                                processes,  volumes,     MountTools{},  bus,         usbEvents,
                                extension,  login,       notifications, workspace,   sleep,
                                onboarding, makeUpdater, makeMenu,      environment, bundle};
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
            bus.devices.push_back(device("SER" + std::to_string(index), 0x14200000, 100 + index));
        }
        start();
        executor.advanceBy(USBMonitor::refreshDelay);
        for (std::size_t index = 0; index < states.size(); ++index) {
            model->setState(states[index], "SER" + std::to_string(index));
        }
        log.clear();
        return *model;
    }

    std::vector<MountState> states() const {
        std::vector<MountState> result;
        for (const auto& entry : *model->devices) {
            result.push_back(entry.state);
        }
        return result;
    }

    platform::VirtualClock clock;
    ManualExecutor executor{clock};
    CallLog log;
    RecordingPreferenceSuites preferences{log};
    FakeFileOperations files;
    FakeMountTable mountTable;
    FakeFolderPanel folderPanel;
    FakeProcessRunner processes;
    FakeVolumeUnmounter volumes;
    FakeUSBDiscovery bus{log};
    FakeUSBInterfaceEvents usbEvents{log};
    FakeExtensionStatus extension{log};
    FakeLoginService login{log};
    FakeNotificationCenter notifications{log, executor};
    FakeWorkspace workspace{log, executor};
    SleepNotifications sleep;
    FakeOnboarding onboarding{log, clock};
    FakeBundleInformation bundle;
    platform::MemoryEnvironment environment{{"HOME", "/home/me"}};
    std::shared_ptr<AppModel> model;
};

} // namespace tandalo::app::testing
