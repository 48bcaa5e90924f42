// The model's refreshes of the extension state, the notification permission, launch at login and the
// battery levels, on the virtual clock.
#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;

class AppModelStatusTests : public testing::AppModelRig {};

TEST_F(AppModelStatusTests, AnExtensionThatTurnsOnMountsWhatFailedOrWaitedWhenAutomaticMountingIsOn) {
    struct Case {
        const char* what;
        std::optional<bool> before;
        std::optional<bool> answer;
        bool autoMount;
        std::vector<MountState> states;
        std::optional<bool> after;
        std::vector<MountState> statesAfter;
    };
    const auto mounted = MountState::mounted("/m/a");
    const auto failed = MountState::failed("Switch the file system on.");
    const auto unmounted = MountState::unmounted();
    const auto mounting = MountState::mounting();
    const std::vector<Case> cases{
        {"turns on",
         std::nullopt,
         true,
         true,
         {failed, unmounted, mounted},
         true,
         {mounting, mounting, mounted}},
        {"turns on from off", false, true, true, {failed}, true, {mounting}},
        {"turns on, automatic mounting off",
         false,
         true,
         false,
         {failed, unmounted},
         true,
         {failed, unmounted}},
        {"stays on", true, true, true, {failed, unmounted}, true, {failed, unmounted}},
        {"turns off", true, false, true, {failed}, false, {failed}},
        {"question fails", true, std::nullopt, true, {failed}, std::nullopt, {failed}},
        {"question fails while a device is mounted",
         std::nullopt,
         std::nullopt,
         true,
         {mounted, failed},
         true,
         {mounted, mounting}},
        {"off while a device is mounted", false, false, true, {mounted}, true, {mounted}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        TearDown();
        bus.devices.clear();
        preferences.values().set(AppModel::autoMountKey, each.autoMount);
        auto& started = startWith(each.states);
        started.extensionEnabled.set(each.before);
        extension.answer = each.answer;
        testing::runToEnd(executor, started.refreshExtensionStatus());
        EXPECT_EQ(started.extensionEnabled.get(), each.after);
        EXPECT_EQ(states(), each.statesAfter);
    }
}

TEST_F(AppModelStatusTests, ThePollRefreshesEveryTwoSecondsUntilTheExtensionIsOnAtMostSixtyTimes) {
    struct Case {
        std::deque<std::optional<bool>> answers;
        std::optional<bool> answerAfter;
        std::size_t refreshes;
    };
    const std::vector<Case> cases{
        {{}, true, 1},
        {{false, std::nullopt}, true, 3},
        {{}, false, 60},
    };
    for (const auto& each : cases) {
        TearDown();
        auto& started = start();
        log.clear();
        extension.script = each.answers;
        extension.answer = each.answerAfter;
        spawn(executor, started.pollExtensionStatus());
        executor.advanceBy(1999ms);
        EXPECT_TRUE(log.entries("extension").empty()) << "not before 2 s";
        executor.advanceBy(10min);
        EXPECT_EQ(log.entries("extension").size(), each.refreshes);
    }

    // Cancelled, it ends rather than rushing through its passes.
    auto& started = *model;
    log.clear();
    extension.answer = false;
    auto poll = spawn(executor, started.pollExtensionStatus());
    executor.advanceBy(2s);
    poll.cancel();
    executor.advanceBy(10min);
    EXPECT_EQ(log.entries("extension").size(), 1u);
}

TEST_F(AppModelStatusTests, NotificationPermissionAndLaunchAtLoginAreReadAgainOnRequest) {
    auto& started = start();
    for (const auto status :
         {NotificationAuthorizationStatus::denied, NotificationAuthorizationStatus::notDetermined,
          NotificationAuthorizationStatus::authorized}) {
        notifications.status = status;
        testing::runToEnd(executor, started.refreshNotificationStatus());
        EXPECT_EQ(started.notificationStatus.get(), status);
    }

    ASSERT_EQ(started.loginItemState.get(), LoginItem::State::enabled());
    spawn(executor, started.refreshLoginItemStateSoon());
    login.registered = false; // the user took it out in the desktop's settings
    executor.advanceBy(1999ms);
    EXPECT_EQ(started.loginItemState.get(), LoginItem::State::enabled()) << "read 2 s later, not before";
    executor.advanceBy(1ms);
    EXPECT_EQ(started.loginItemState.get(), LoginItem::State::disabled());
}

TEST_F(AppModelStatusTests, NotificationSettingsOpenWithTheDesktopsCommandAndAFailedStartIsNoCrash) {
    const ProcessCommand settings{"/usr/bin/setsid", {"--fork", "/usr/bin/xfce4-notifyd-config"}};
    struct Case {
        std::optional<ProcessCommand> command;
        std::optional<int> launchError;
        bool offered;
        std::vector<ProcessCommand> started;
    };
    // The launch that fails comes last: the fake keeps failing from then on.
    const std::vector<Case> cases{
        {std::nullopt, std::nullopt, false, {}},
        {settings, std::nullopt, true, {settings}},
        {settings, ENOENT, true, {}},
    };
    for (const auto& each : cases) {
        notificationSettings = each.command;
        auto& started = start();
        if (each.launchError) {
            processes.failLaunches(*each.launchError);
        }
        const auto before = processes.calls().size();
        EXPECT_EQ(started.canOpenNotificationSettings(), each.offered);
        started.openNotificationSettings();
        executor.runUntilIdle();
        const auto calls = processes.calls();
        EXPECT_EQ(
            std::vector<ProcessCommand>(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()),
            each.started);
        model.reset();
        executor.runUntilIdle();
    }
}

TEST_F(AppModelStatusTests, BatteryLevelsAreThoseOfMountedDevicesAndAnUnchangedReadingPublishesNothing) {
    auto& started = startWith({MountState::mounted("/m/0"), MountState::mounted("/m/1"),
                               MountState::unmounted(), MountState::mounted("/m/3")});
    const auto status = preferences.suite(DeviceStatus::suiteName);
    status->set(DeviceStatus::batteryKey("SER0"), std::int64_t{80});
    status->set(DeviceStatus::batteryKey("SER1"), std::int64_t{101}); // out of range: none
    status->set(DeviceStatus::batteryKey("SER2"), std::int64_t{50});  // not mounted
    int announcements = 0;
    const auto counting = started.objectWillChange.subscribe([&] { ++announcements; });

    started.refreshBatteryLevels();
    EXPECT_EQ(started.batteryLevels.get(), (std::map<std::string, int>{{"SER0", 80}}));
    started.refreshBatteryLevels();
    EXPECT_EQ(announcements, 1);

    started.setState(MountState::unmounted(), "SER0");
    announcements = 0;
    started.refreshBatteryLevels();
    started.refreshBatteryLevels();
    EXPECT_TRUE(started.batteryLevels->empty());
    EXPECT_EQ(announcements, 1);
}

} // namespace
} // namespace tandalo::app
