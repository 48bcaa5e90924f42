// The application model's start-up, preferences, menu-bar status, device lists and sleep.
#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using testing::device;
using Strings = std::vector<std::string>;

class AppModelTests : public testing::AppModelRig {};

TEST_F(AppModelTests, StartsInItsFixedOrderAndAppliesLaunchAtLoginOnceThenSyncs) {
    struct Launch {
        const char* what;
        bool configured;
        bool wanted;
        bool registered;
        std::optional<std::string> refusal;
        Strings loginCalls;
        LoginItem::State state;
        std::optional<std::string> lastError;
    };
    const std::vector<Launch> launches{
        {"first launch", false, true, false, {}, {"login: register"}, LoginItem::State::enabled(), {}},
        {"first launch, refused",
         false,
         true,
         false,
         "Permission denied.",
         {"login: register"},
         LoginItem::State::failed("Permission denied."),
         "Launch at login: Permission denied."},
        {"later launch, registration lost",
         true,
         true,
         false,
         {},
         {"login: register"},
         LoginItem::State::enabled(),
         {}},
        {"later launch, switched off",
         true,
         false,
         true,
         {},
         {"login: unregister"},
         LoginItem::State::disabled(),
         {}},
        {"later launch, nothing to change", true, true, true, "No.", {}, LoginItem::State::enabled(), {}},
    };
    for (const auto& launch : launches) {
        SCOPED_TRACE(launch.what);
        TearDown();
        log.clear();
        preferences.values().remove(AppModel::launchAtLoginConfiguredKey);
        if (launch.configured) {
            preferences.values().set(AppModel::launchAtLoginConfiguredKey, true);
            preferences.values().set(AppModel::hasCompletedOnboardingKey, true);
        }
        preferences.values().set(AppModel::launchAtLoginKey, launch.wanted);
        login.registered = launch.registered;
        login.refusal = launch.refusal;

        const auto startedAt = clock.now();
        model = AppModel::create(services());
        EXPECT_EQ(AppModel::current(), model);
        Strings expected{"preferences: read mountRootBookmark", "updater: made",
                         "preferences: read launchAtLoginConfigured"};
        if (!launch.configured) {
            expected.push_back("preferences: write launchAtLoginConfigured");
        }
        expected.push_back("preferences: read launchAtLogin");
        expected.insert(expected.end(), launch.loginCalls.begin(), launch.loginCalls.end());
        expected.insert(expected.end(), {"usb: arm", "preferences: read hasCompletedOnboarding"});
        EXPECT_EQ(log.entries(), expected) << "while the model is made";
        EXPECT_TRUE(sleep.willSleep.subscriberCount() == 1 && sleep.didWake.subscriberCount() == 1);

        log.clear();
        executor.advanceBy(USBMonitor::refreshDelay);
        expected = {"extension: isEnabled", "preferences: read autoMount", "notifications: settings"};
        if (!launch.configured) {
            const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
                (startedAt + AppModel::onboardingDelay).time_since_epoch());
            expected.push_back("onboarding: show at " + std::to_string(at.count()) + " ms");
        }
        expected.push_back("usb: list");
        EXPECT_EQ(log.entries(), expected) << "after it was made";
        EXPECT_EQ(model->loginItemState.get(), launch.state);
        EXPECT_EQ(model->lastError.get(), launch.lastError);
        EXPECT_TRUE(model->launchAtLoginConfigured());
    }
}

TEST_F(AppModelTests, TheMenuBarStatusIsTheFirstRuleThatHolds) {
    struct Case {
        std::vector<MountState> states;
        bool candidate;
        MenuBarIcon icon;
    };
    const auto mounted = MountState::mounted("/m/a");
    const auto failed = MountState::failed("No.");
    const std::vector<Case> cases{
        {{}, false, MenuBarIcon::idle},
        {{}, true, MenuBarIcon::needsFileTransfer},
        {{MountState::mounting()}, true, MenuBarIcon::connected},
        {{MountState::unmounting(), MountState::unmounted()}, false, MenuBarIcon::connected},
        {{failed, mounted}, false, MenuBarIcon::mounted},
        {{failed, MountState::mounting()}, true, MenuBarIcon::failed},
    };
    auto& started = start();
    for (const auto& each : cases) {
        std::vector<DeviceEntry> entries;
        for (const auto& state : each.states) {
            entries.push_back(DeviceEntry{device(testsupport::concat("S", entries.size())), state});
        }
        started.devices.set(entries);
        started.waitingForFileTransfer.set(each.candidate ? std::vector<corvane::AndroidCandidate>(1)
                                                          : std::vector<corvane::AndroidCandidate>{});
        EXPECT_EQ(started.menuBarIcon(), each.icon) << each.states.size() << " devices";
    }
}

TEST_F(AppModelTests, PreferencesHaveTheirDefaultsAreReadThroughAndEachChangeIsAnnounced) {
    auto& started =
        startWith({MountState::unmounted(), MountState::failed("No."), MountState::mounted("/m")});
    EXPECT_TRUE(started.autoMount());
    EXPECT_TRUE(started.launchAtLogin());
    EXPECT_FALSE(started.hasCompletedOnboarding());
    preferences.values().set(AppModel::hasCompletedOnboardingKey, true); // as the set-up guide writes it
    EXPECT_TRUE(started.hasCompletedOnboarding());

    int announcements = 0;
    const auto counting = started.objectWillChange.subscribe([&] { ++announcements; });
    started.setAutoMount(false);
    executor.runUntilIdle();
    EXPECT_EQ(announcements, 1);
    EXPECT_FALSE(started.autoMount());
    // Switching it on, even when it is on already, mounts the unmounted devices on the next turn only.
    for (int time = 0; time < 2; ++time) {
        started.setAutoMount(true);
        EXPECT_EQ(states()[0], MountState::unmounted()) << "not before the next turn";
        executor.runUntilIdle();
        EXPECT_EQ(states(), (std::vector{MountState::mounting(), MountState::failed("No."),
                                         MountState::mounted("/m")}));
        started.setState(MountState::unmounted(), "SER0");
    }

    // A write that fails leaves the value it had.
    preferences.values().failWrites();
    started.setAutoMount(false);
    EXPECT_TRUE(started.autoMount());
}

TEST_F(AppModelTests, LaunchAtLoginSetByTheUserShowsItsOutcomeInTheStateAlone) {
    auto& started = start();
    ASSERT_EQ(started.loginItemState.get(), LoginItem::State::enabled());
    login.refusal = "Read-only file system.";
    started.setLaunchAtLogin(false);
    EXPECT_FALSE(started.launchAtLogin());
    EXPECT_EQ(started.loginItemState.get(), LoginItem::State::failed("Read-only file system."));
    EXPECT_EQ(started.lastError.get(), std::nullopt);
    login.refusal.reset();
    started.setLaunchAtLogin(false);
    EXPECT_EQ(started.loginItemState.get(), LoginItem::State::disabled());
    EXPECT_FALSE(login.registered);
}

TEST_F(AppModelTests, PassesOnTheAnnouncementsOfTheMountFolderAndTheUpdater) {
    auto& started = start();
    EXPECT_EQ(started.mountLocation().url.get(), std::filesystem::path("/home/me/Tandalo"));
    Strings seen;
    const auto watching = started.objectWillChange.subscribe(
        [&] { seen.push_back(started.mountLocation().url->value_or("none").string()); });
    started.mountLocation().url.set(std::filesystem::path("/media/phones"));
    started.updater().objectWillChange.send();
    EXPECT_EQ(seen, (Strings{"/home/me/Tandalo", "/media/phones"})) << "announced before the change, at once";

    const std::weak_ptr<AppModel> weak = model;
    model.reset();
    executor.runUntilIdle();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(AppModel::current(), nullptr);
}

TEST_F(AppModelTests, TheMonitorsListsBecomeDevicesAndChargeOnlyPhonesNotAlsoListed) {
    corvane::AndroidCandidate sameAsA;
    sameAsA.serialNumber = "A";
    corvane::AndroidCandidate other;
    other.serialNumber = "C";
    corvane::AndroidCandidate noSerial;
    noSerial.registryEntryID = 7;
    bus.devices = {device("A", 1, 10), device("", 2, 20)};
    bus.candidates = {sameAsA, other, noSerial};
    auto& started = start();
    EXPECT_TRUE(started.devices->empty());
    executor.advanceBy(USBMonitor::refreshDelay);
    ASSERT_EQ(started.devices->size(), 2u);
    EXPECT_EQ(started.devices->at(1).id(), "20");
    EXPECT_EQ(started.waitingForFileTransfer.get(), (std::vector{other, noSerial}));

    // A device seen again keeps its state with its new descriptor; one gone is dropped.
    started.setState(MountState::mounted("/m/A"), "A");
    started.setState(MountState::failed("No."), "20");
    started.setState(MountState::failed("No."), "unknown id"); // ignored
    bus.devices = {device("A", 3, 30)};
    usbEvents.report();
    executor.advanceBy(USBMonitor::refreshDelay);
    EXPECT_EQ(started.devices.get(),
              (std::vector{DeviceEntry{device("A", 3, 30), MountState::mounted("/m/A")}}));
}

TEST_F(AppModelTests, TheSystemSleepsOnceTheModelHasDoneItsWorkBeforeSleep) {
    int released = 0;
    start();
    sleep.willSleep.send(SleepDelay([&] { ++released; }));
    EXPECT_EQ(released, 0) << "the model's work runs on its executor";
    executor.runUntilIdle();
    EXPECT_EQ(released, 1);
    sleep.didWake.send();
    executor.runUntilIdle();

    // Without a model, the delay goes with the delivery that found none.
    sleep.willSleep.send(SleepDelay([&] { ++released; }));
    model.reset();
    executor.runUntilIdle();
    EXPECT_EQ(released, 2);
}

} // namespace
} // namespace tandalo::app
