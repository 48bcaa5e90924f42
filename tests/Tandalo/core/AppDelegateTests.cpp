// The application delegate: quitting, being started again, and clicks on the notifications.
#include "Tandalo/core/AppDelegate.h"

#include "tests/Tandalo/core/AppModelRig.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using Strings = std::vector<std::string>;
using Status = NotificationAuthorizationStatus;

class AppDelegateTests : public testing::AppModelRig {
protected:
    /// The calls that the delegate's work makes, without the model's own start-up and refreshes.
    Strings delegateCalls() const {
        Strings calls;
        for (const auto& entry : log.entries()) {
            if (!entry.starts_with("usb:") && !entry.starts_with("preferences:")) {
                calls.push_back(entry.starts_with("onboarding: show") ? "onboarding: show" : entry);
            }
        }
        return calls;
    }

    AppDelegate delegate{{executor, notifications, onboarding}};
};

struct ClickCase {
    const char* name;
    std::string identifier;
    bool clicked; // the notification itself, not a dismissal
    Strings calls;
};

class AppDelegateClickTests : public AppDelegateTests, public ::testing::WithParamInterface<ClickCase> {};

TEST_P(AppDelegateClickTests, OnlyAClickOnAMountedOrUpdateNotificationStartsSomethingAndOnlyLater) {
    const auto& c = GetParam();
    preferences.values().set(AppModel::hasCompletedOnboardingKey, true);
    startWith({MountState::mounted("/media/me/Tandalo/P0"), MountState::unmounted()});
    delegate.applicationWillFinishLaunching();
    notifications.respond(
        {c.identifier, c.clicked ? std::string(NotificationResponse::defaultActionIdentifier) : "dismiss"});
    EXPECT_EQ(delegateCalls(), Strings{}) << "before the handler returned";
    executor.runUntilIdle();
    EXPECT_EQ(delegateCalls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, AppDelegateClickTests,
    ::testing::Values(
        ClickCase{"mounted", "tandalo.mounted.SER0", true, {"workspace: show /media/me/Tandalo/P0"}},
        ClickCase{"mountedDismissed", "tandalo.mounted.SER0", false, {}},
        ClickCase{"notMountedNow", "tandalo.mounted.SER1", true, {}},
        ClickCase{"unplugged", "tandalo.mounted.SER7", true, {}},
        ClickCase{"idPrefixOnly", "tandalo.mounted.SER", true, {}},
        ClickCase{"update", "tandalo.update", true, {"updates: check"}},
        ClickCase{"updateDismissed", "tandalo.update", false, {}},
        ClickCase{"candidate", "tandalo.candidate.4", true, {}},
        ClickCase{"unpluggedDuringCopy", "tandalo.unplugged.SER0", true, {}},
        ClickCase{"running", "tandalo.running", true, {}},
        ClickCase{"diagnostics", "tandalo.diagnostics", true, {}},
        ClickCase{"unknown", "tandalo.updates", true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppDelegateTests, SaysItIsRunningOnlyOnceSetUpElseShowsTheSetUpGuide) {
    const Strings guide{"onboarding: show"}, asked{"notifications: settings", "onboarding: show"},
        posted{"notifications: settings", "notifications: add tandalo.running"};
    const std::tuple<bool, std::optional<bool>, Status, Strings> cases[] = {
        {false, true, Status::authorized, guide}, {true, std::nullopt, Status::authorized, guide},
        {true, false, Status::authorized, guide}, {true, true, Status::authorized, posted},
        {true, true, Status::denied, asked},      {true, true, Status::notDetermined, asked},
    };
    for (const auto& [onboardingDone, extensionEnabled, status, calls] : cases) {
        SCOPED_TRACE(
            testsupport::concat(onboardingDone, extensionEnabled.value_or(2), static_cast<int>(status)));
        TearDown();
        preferences.values().set(AppModel::hasCompletedOnboardingKey, onboardingDone);
        notifications.status = status;
        start();
        model->extensionEnabled.set(extensionEnabled);
        log.clear();
        EXPECT_FALSE(delegate.applicationShouldHandleReopen());
        executor.runUntilIdle();
        EXPECT_EQ(delegateCalls(), calls);
    }
}

TEST_F(AppDelegateTests, WithoutAModelQuitAndReopenDoNothingAndQuitUnmountsWithOne) {
    mountTable.add("tandalo@1-2", "/media/me/Tandalo/P0");
    volumes.onUnmounted = [this](const std::filesystem::path& folder) { mountTable.remove(folder); };
    const auto before = clock.now();
    delegate.applicationWillTerminate();
    EXPECT_FALSE(delegate.applicationShouldHandleReopen());
    executor.runUntilIdle();
    EXPECT_EQ(clock.now(), before);
    EXPECT_TRUE(volumes.calls().empty());
    EXPECT_EQ(delegateCalls(), Strings{});

    start();
    delegate.applicationWillTerminate();
    EXPECT_EQ(volumes.calls(), Strings{"unmount /media/me/Tandalo/P0"});
}

} // namespace
} // namespace tandalo::app
