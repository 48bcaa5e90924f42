// The windows' view of the core's model: what the adapter reads together as one state, and the
// operations where it does more than pass a call on.
#include "Tandalo/ui/AppModelAdapter.h"

#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::ui {
namespace {

using app::MountState;
using app::testing::AppModelRig;

corvane::AndroidCandidate chargeOnlyPhone(std::string serial) {
    corvane::AndroidCandidate candidate;
    candidate.registryEntryID = 9000;
    candidate.vendorName = "Samsung";
    candidate.productName = "Galaxy S21";
    candidate.serialNumber = std::move(serial);
    return candidate;
}

class NoClipboard final : public app::Clipboard {
public:
    void setText(const std::string&) override {}
};

class AppModelAdapterTests : public AppModelRig {
protected:
    AppModelAdapter& adapter() {
        if (!m_adapter) {
            m_adapter = std::make_unique<AppModelAdapter>(*model, m_delegate, m_diagnostics);
        }
        return *m_adapter;
    }

private:
    app::AppDelegate m_delegate{{executor, notifications, onboarding}};
    NoClipboard m_clipboard;
    app::LogStoreReader m_log;
    app::Diagnostics m_diagnostics{{m_clipboard, notifications, m_log, bundle}};
    std::unique_ptr<AppModelAdapter> m_adapter;
};

TEST_F(AppModelAdapterTests, StateReadsEveryPublishedValueOfTheModelAndItsMountFolder) {
    preferences.standard()->set(app::AppModel::autoMountKey, false);
    auto& model = startWith({MountState::mounted("/home/me/Tandalo/Pixel 7"), MountState::unmounted()});
    model.batteryLevels.set({{"SER0", 87}});
    model.extensionEnabled.set(true);
    model.ejectNotes.set({{"SER1", "Files are open"}});
    model.holders.set({{"SER1", "pid 7, gvfsd-mtp"}});
    model.settingsRequests.set(3);
    model.lastError.set("The phone did not answer.");
    model.notificationStatus.set(app::NotificationAuthorizationStatus::authorized);
    model.setLaunchAtLogin(false);
    model.updater().waitingVersion.set("1.5");
    model.handleCandidates({chargeOnlyPhone("R58")});

    const auto state = adapter().state();
    EXPECT_EQ(state.devices, *model.devices);
    EXPECT_EQ(state.batteryLevels, (std::map<std::string, int>{{"SER0", 87}}));
    EXPECT_EQ(state.waitingForFileTransfer, std::vector{chargeOnlyPhone("R58")});
    EXPECT_EQ(state.extensionEnabled, true);
    EXPECT_EQ(state.ejectNotes.at("SER1"), "Files are open");
    EXPECT_EQ(state.holders.at("SER1"), "pid 7, gvfsd-mtp");
    EXPECT_EQ(state.settingsRequests, 3);
    EXPECT_FALSE(state.autoMount);
    EXPECT_FALSE(state.launchAtLogin);
    EXPECT_FALSE(state.hasCompletedOnboarding);
    EXPECT_EQ(state.lastError, "The phone did not answer.");
    EXPECT_EQ(state.notificationStatus, app::NotificationAuthorizationStatus::authorized);
    EXPECT_EQ(state.loginItemState, *model.loginItemState);
    EXPECT_EQ(state.mountFolder, *model.mountLocation().url);
    EXPECT_EQ(state.menuBarIcon, view::MenuBarIcon::mounted);
    EXPECT_EQ(state.waitingVersion, "1.5");
}

struct IconCase {
    const char* name;
    std::vector<MountState> states;
    bool chargeOnlyPhone;
    view::MenuBarIcon icon;
};

class AdapterIconTests : public AppModelAdapterTests, public ::testing::WithParamInterface<IconCase> {};

TEST_P(AdapterIconTests, TheMenuBarStatusIsTheModelsUnderTheWindowsName) {
    auto& model = startWith(GetParam().states);
    if (GetParam().chargeOnlyPhone) {
        model.handleCandidates({chargeOnlyPhone("R58")});
    }
    EXPECT_EQ(adapter().state().menuBarIcon, GetParam().icon);
    EXPECT_EQ(AppModelAdapter::viewIcon(model.menuBarIcon()), GetParam().icon);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, AdapterIconTests,
    ::testing::Values(IconCase{"mounted",
                               {MountState::failed("x"), MountState::mounted("/m")},
                               true,
                               view::MenuBarIcon::mounted},
                      IconCase{"failed",
                               {MountState::unmounted(), MountState::failed("x")},
                               true,
                               view::MenuBarIcon::failed},
                      IconCase{"connected", {MountState::mounting()}, true, view::MenuBarIcon::connected},
                      IconCase{"chargeOnly", {}, true, view::MenuBarIcon::needsFileTransfer},
                      IconCase{"idle", {}, false, view::MenuBarIcon::idle}),
    [](const auto& info) { return std::string(info.param.name); });

struct OperationCase {
    const char* name;
    MountState state;
    std::function<void(AppModelAdapter&, const app::DeviceEntry&)> operation;
    std::vector<std::string> calls; // of the fakes, after the operation
    int settingsRequests;
};

class AdapterOperationTests : public AppModelAdapterTests,
                              public ::testing::WithParamInterface<OperationCase> {};

TEST_P(AdapterOperationTests, OperationsReachTheModelOnlyWhereTheyApply) {
    auto& model = startWith({GetParam().state});
    const auto entry = model.devices->front();
    GetParam().operation(adapter(), entry);
    executor.advanceBy(app::AppModel::extensionPollInterval); // the first look of a poll
    std::vector<std::string> calls;
    for (const auto& call : log.entries()) {
        if (!call.starts_with("preferences: read")) {
            calls.push_back(call);
        }
    }
    EXPECT_EQ(calls, GetParam().calls);
    EXPECT_EQ(*model.settingsRequests, GetParam().settingsRequests);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, AdapterOperationTests,
    ::testing::Values(OperationCase{"openFolderOfMountedDevice",
                                    MountState::mounted("/home/me/Tandalo/Pixel 7"),
                                    [](auto& adapter, const auto& entry) { adapter.openFolder(entry); },
                                    {"workspace: show /home/me/Tandalo/Pixel 7"},
                                    0},
                      OperationCase{"openFolderOfUnmountedDevice",
                                    MountState::unmounted(),
                                    [](auto& adapter, const auto& entry) { adapter.openFolder(entry); },
                                    {},
                                    0},
                      OperationCase{"openFolderWithAnOutdatedRow",
                                    MountState::unmounted(),
                                    [](auto& adapter, auto entry) {
                                        entry.state = MountState::mounted("/gone");
                                        adapter.openFolder(entry);
                                    },
                                    {},
                                    0},
                      OperationCase{"settingsTwice",
                                    MountState::unmounted(),
                                    [](auto& adapter, const auto&) {
                                        adapter.requestSettings();
                                        adapter.requestSettings();
                                    },
                                    {},
                                    2},
                      OperationCase{"turnOnExtension",
                                    MountState::unmounted(),
                                    [](auto& adapter, const auto&) { adapter.turnOnExtension(); },
                                    {"extension: openSettings", "extension: isEnabled"},
                                    0}),
    [](const auto& info) { return std::string(info.param.name); });

// The rows' Mount and Take Over: the take-over choice reaches the mount tool's resource, and neither posts
// the notification that the device is in the file manager, since the user is looking at its row.
class AdapterMountTests : public AppModelAdapterTests,
                          public ::testing::WithParamInterface<ApplicationModel::TakeOverFromAnyone> {};

TEST_P(AdapterMountTests, TheRowsMountsCarryTheTakeOverChoiceAndPostNothing) {
    auto& model = startWith({MountState::unmounted()});
    model.setAutoMount(false);
    thereafter = app::ProcessResult{}; // the mount tool succeeds
    adapter().mount(model.devices->front(), GetParam());
    executor.runUntilIdle();
    ASSERT_EQ(mountedFolders().size(), 1U);
    const auto resource = processes.calls().back().arguments.at(2);
    const bool takesOver = GetParam() == ApplicationModel::TakeOverFromAnyone::yes;
    EXPECT_EQ(resource.find("/take-over-1/") != std::string::npos, takesOver) << resource;
    EXPECT_TRUE(model.devices->front().state.isMounted());
    EXPECT_TRUE(log.entries("notifications: add").empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterMountTests,
                         ::testing::Values(ApplicationModel::TakeOverFromAnyone::no,
                                           ApplicationModel::TakeOverFromAnyone::yes));

} // namespace
} // namespace tandalo::ui
