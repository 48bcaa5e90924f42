// The update checker's rules over a fake update framework, as the model owns it.
#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Status = NotificationAuthorizationStatus;

constexpr const char* alert = "updates::UpdateWindow";
const Strings closed{"windows: close updates::UpdateWindow"};

class UpdaterTests : public testing::AppModelRig {
protected:
    Updater& updater() { return model->updater(); }
    /// The calls to the framework and the windows, in their order.
    Strings updateCalls() const {
        Strings calls = log.entries("updates:");
        const auto closes = log.entries("windows:");
        calls.insert(calls.begin(), closes.begin(), closes.end()); // a close always comes first
        return calls;
    }
};

TEST_F(UpdaterTests, CanCheckIsFalseUntilTheFrameworkTellsThenFollowsIt) {
    start();
    EXPECT_TRUE(updates->started);
    int announced = 0;
    const auto counting = model->objectWillChange.subscribe([&] { ++announced; });
    EXPECT_FALSE(*updater().canCheckForUpdates);
    for (const bool value : {true, false, true}) {
        updates->reportCanCheck(value);
        EXPECT_EQ(*updater().canCheckForUpdates, value);
    }
    EXPECT_EQ(announced, 3) << "the model passes on each change";

    Updater none; // no feed: nothing can be checked, and asking does nothing
    none.checkForUpdates();
    EXPECT_FALSE(*none.canCheckForUpdates);
}

struct CheckCase {
    const char* name;
    bool session;
    std::vector<std::pair<std::string, bool>> windows; // class name, visible
    Strings calls;
};

class UpdaterCheckTests : public UpdaterTests, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(UpdaterCheckTests, ChecksAtOnceUnlessItMustCloseAVisibleAlertFirst) {
    windows = GetParam().windows;
    start();
    updates->session = GetParam().session;
    updater().checkForUpdates();
    EXPECT_EQ(updateCalls(), GetParam().calls);
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
                                closed}),
    [](const auto& info) { return std::string(info.param.name); });

// The owed check starts once: at the end of the cycle or after 3 s, whichever comes first.
TEST_F(UpdaterTests, ACheckThatClosedTheAlertChecksOnceAtTheEndOfTheCycleOrAfterThreeSeconds) {
    windows = {{alert, true}};
    start();
    updates->session = true;
    for (const bool cycleEndsFirst : {true, false}) {
        SCOPED_TRACE(cycleEndsFirst ? "cycle ends first" : "3 s pass first");
        log.clear();
        updater().checkForUpdates();
        executor.advanceBy(Updater::recheckDelay - 1ms);
        EXPECT_EQ(updateCalls(), closed);
        if (cycleEndsFirst) {
            updates->delegate.didFinishUpdateCycle();
        }
        executor.advanceBy(1ms);
        updates->delegate.didFinishUpdateCycle();
        EXPECT_EQ(updateCalls(), (Strings{closed[0], "updates: check"}));
    }
    updater().checkForUpdates();
    model.reset(); // an updater that went before its wait ended leaves nothing behind
    executor.advanceBy(Updater::recheckDelay);
    EXPECT_EQ(log.entries("updates:"), Strings{"updates: check"});
}

TEST_F(UpdaterTests, AnnouncesOnlyWhatTheFrameworkLeavesToItAndClearsItOnAttentionOrSessionEnd) {
    bundle.values["CFBundleDisplayName"] = std::string("Tandalo Beta");
    start();
    auto& delegate = updates->delegate;
    const NotificationRequest announcement{"tandalo.update", "Tandalo Beta 2.1 is available",
                                           "Click to see what's new.", NotificationSound::none};
    const std::tuple<bool, Status, std::optional<std::string>, std::vector<NotificationRequest>> cases[] = {
        {false, Status::authorized, "2.1", {announcement}},
        {false, Status::denied, "2.1", {}},
        {false, Status::notDetermined, "2.1", {}},
        {true, Status::authorized, std::nullopt, {}}, // the framework shows it itself
    };
    for (const auto& [frameworkShowsIt, status, waiting, posted] : cases) {
        SCOPED_TRACE(static_cast<int>(status) * 2 + static_cast<int>(frameworkShowsIt));
        notifications.status = status;
        notifications.added.clear();
        delegate.willHandleShowingUpdate(frameworkShowsIt, "2.1");
        executor.runUntilIdle();
        EXPECT_EQ(*updater().waitingVersion, waiting);
        EXPECT_EQ(notifications.added, posted);
        delegate.willFinishUpdateSession();
    }
    for (const auto& clear :
         std::vector<std::function<void()>>{[&] { delegate.didReceiveUserAttentionForUpdate(); },
                                            [&] { delegate.willFinishUpdateSession(); }}) {
        delegate.willHandleShowingUpdate(false, "2.1");
        log.clear();
        clear();
        EXPECT_EQ(*updater().waitingVersion, std::nullopt);
        EXPECT_EQ(log.entries(), Strings{"notifications: remove tandalo.update"});
    }
}

} // namespace
} // namespace tandalo::app
