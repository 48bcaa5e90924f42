// The update checker's rules over a fake update framework, as the model owns it.
#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Status = NotificationAuthorizationStatus;

constexpr const char* alert = "updates::UpdateWindow";

class UpdaterTests : public testing::AppModelRig {
protected:
    Updater& updater() { return model->updater(); }
    /// The calls to the framework and the windows, in their order.
    Strings updateCalls() const {
        Strings calls;
        for (const auto& entry : log.entries()) {
            if (entry.starts_with("updates:") || entry.starts_with("windows:")) {
                calls.push_back(entry);
            }
        }
        return calls;
    }
};

TEST_F(UpdaterTests, CanCheckIsFalseUntilTheFrameworkTellsThenFollowsIt) {
    updatesReportAtOnce = false;
    start();
    ASSERT_NE(updates, nullptr);
    EXPECT_TRUE(updates->started);
    int announced = 0;
    const auto counting = model->objectWillChange.subscribe([&] { ++announced; });
    EXPECT_FALSE(*updater().canCheckForUpdates);
    for (const bool value : {true, false, true}) {
        updates->reportCanCheck(value);
        EXPECT_EQ(*updater().canCheckForUpdates, value);
    }
    EXPECT_EQ(announced, 3) << "the model passes on each change";

    // Without a framework (no feed) nothing can be checked and asking does nothing.
    Updater none;
    EXPECT_FALSE(*none.canCheckForUpdates);
    none.checkForUpdates();
    none.willHandleShowingUpdate(false, "2.0");
    EXPECT_EQ(*none.waitingVersion, "2.0");
}

struct CheckCase {
    const char* name;
    bool session;
    std::vector<std::pair<std::string, bool>> windows; // class name, visible
    Strings calls;
};

class UpdaterCheckTests : public UpdaterTests, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(UpdaterCheckTests, ChecksAtOnceUnlessItMustCloseAVisibleAlertFirst) {
    const auto& c = GetParam();
    for (const auto& [className, visible] : c.windows) {
        windows.add(className, visible);
    }
    start();
    updates->session = c.session;
    log.clear();
    updater().checkForUpdates();
    EXPECT_EQ(updateCalls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, UpdaterCheckTests,
    ::testing::Values(CheckCase{"noSession", false, {{alert, true}}, {"updates: check"}},
                      CheckCase{"sessionWithoutWindows", true, {}, {"updates: check"}},
                      CheckCase{"sessionWithHiddenAlert", true, {{alert, false}}, {"updates: check"}},
                      CheckCase{"sessionWithOtherWindows",
                                true,
                                {{"updates::UpdateMessageWindow", true}, {"tandalo::ui::MenuWindow", true}},
                                {"updates: check"}},
                      CheckCase{"visibleAlert",
                                true,
                                {{"tandalo::ui::MenuWindow", true}, {alert, false}, {alert, true}},
                                {"windows: close updates::UpdateWindow"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The owed check starts once: at the end of the cycle or after 3 s, whichever comes first.
TEST_F(UpdaterTests, ACheckThatClosedTheAlertChecksOnceAtTheEndOfTheCycleOrAfterThreeSeconds) {
    windows.add(alert, true);
    start();
    updates->session = true;
    for (const bool cycleEndsFirst : {true, false}) {
        SCOPED_TRACE(cycleEndsFirst ? "cycle ends first" : "3 s pass first");
        log.clear();
        updater().checkForUpdates();
        executor.advanceBy(Updater::recheckDelay - 1ms);
        EXPECT_EQ(updateCalls(), Strings{"windows: close updates::UpdateWindow"});
        if (cycleEndsFirst) {
            updates->delegate.didFinishUpdateCycle();
            executor.advanceBy(1ms);
        } else {
            executor.advanceBy(1ms);
            updates->delegate.didFinishUpdateCycle();
        }
        EXPECT_EQ(updateCalls(), (Strings{"windows: close updates::UpdateWindow", "updates: check"}));
    }
    // An updater that went before its wait ended leaves nothing behind.
    updater().checkForUpdates();
    model.reset();
    executor.advanceBy(Updater::recheckDelay);
    EXPECT_EQ(log.entries("updates:"), Strings{"updates: check"});
}

struct AnnouncementCase {
    const char* name;
    bool frameworkShowsIt;
    Status status;
    std::optional<std::string> waiting;
    std::vector<NotificationRequest> posted;
};

class UpdaterAnnouncementTests : public UpdaterTests,
                                 public ::testing::WithParamInterface<AnnouncementCase> {};

TEST_P(UpdaterAnnouncementTests, AnnouncesOnlyWhatTheFrameworkLeavesToTheApplication) {
    const auto& c = GetParam();
    notifications.status = c.status;
    bundle.values["CFBundleDisplayName"] = std::string("Tandalo Beta");
    start();
    auto& delegate = updates->delegate;
    EXPECT_TRUE(delegate.supportsGentleScheduledUpdateReminders());
    EXPECT_TRUE(delegate.shouldHandleShowingScheduledUpdate(true));
    EXPECT_FALSE(delegate.shouldHandleShowingScheduledUpdate(false));
    delegate.willHandleShowingUpdate(c.frameworkShowsIt, "2.1");
    executor.runUntilIdle();
    EXPECT_EQ(*updater().waitingVersion, c.waiting);
    EXPECT_EQ(notifications.added, c.posted);
}

const NotificationRequest updateNotification{"tandalo.update", "Tandalo Beta 2.1 is available",
                                             "Click to see what's new.", NotificationSound::none};

INSTANTIATE_TEST_SUITE_P(
    Permissions, UpdaterAnnouncementTests,
    ::testing::Values(AnnouncementCase{"authorized", false, Status::authorized, "2.1", {updateNotification}},
                      AnnouncementCase{"denied", false, Status::denied, "2.1", {}},
                      AnnouncementCase{"undetermined", false, Status::notDetermined, "2.1", {}},
                      AnnouncementCase{"shownByTheFramework", true, Status::authorized, std::nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterTests, TheUsersAttentionOrTheEndOfTheSessionClearsTheWaitingVersionAndItsNotification) {
    start();
    auto& delegate = updates->delegate;
    const std::vector<std::pair<const char*, std::function<void()>>> clears{
        {"attention", [&] { delegate.didReceiveUserAttentionForUpdate(); }},
        {"session end", [&] { delegate.willFinishUpdateSession(); }},
    };
    for (const auto& [what, clear] : clears) {
        SCOPED_TRACE(what);
        delegate.willHandleShowingUpdate(false, "2.1");
        executor.runUntilIdle();
        log.clear();
        clear();
        EXPECT_EQ(*updater().waitingVersion, std::nullopt);
        EXPECT_EQ(log.entries(), Strings{"notifications: remove tandalo.update"});
    }
}

} // namespace
} // namespace tandalo::app
