// What the set-up guide shows: which steps stand and with which numbers, when each is done, and what each
// says and offers for the model's values.
#include "Tandalo/view/SetupGuideContent.h"
#include "tests/Tandalo/view/ViewTestSupport.h"

#include <gtest/gtest.h>

namespace tandalo::view {
namespace {

using app::MountState;
using app::NotificationAuthorizationStatus;
using testing::chargeOnlyPhone;
using testing::phone;

/// A text with its bold pieces between "**", as a reader would write it down.
std::string words(const GuideText& text) {
    std::string result;
    for (const auto& run : text.runs) {
        result += run.bold ? "**" + run.text + "**" : run.text;
    }
    return result;
}

std::vector<std::string> words(const std::vector<GuideText>& texts) {
    std::vector<std::string> result;
    for (const auto& each : texts) {
        result.push_back(words(each));
    }
    return result;
}

GuideStep find(const SetupGuideContent& content, SetupStep which) {
    for (const auto& step : content.steps) {
        if (step.step == which) {
            return step;
        }
    }
    throw std::logic_error("no such step");
}

ModelState readyModel() {
    ModelState model;
    model.extensionEnabled = true;
    model.devices = {phone("R58", MountState::mounted("/home/me/Tandalo/Pixel 7"))};
    return model;
}

TEST(SetupGuideContentTests, StepsStandInOrderNumberedFromOneWithTheFolderStepOnlyWhenSandboxed) {
    using enum SetupStep;
    struct Case {
        bool sandboxed;
        bool ready;
        std::vector<SetupStep> steps;
    };
    const std::vector<Case> cases{
        {false, false, {extension, notifications, device}},
        {false, true, {extension, notifications, device, allSet}},
        {true, false, {extension, notifications, folder, device}},
        {true, true, {extension, notifications, folder, device, allSet}},
    };
    for (const auto& each : cases) {
        const auto content =
            setupGuideContent(each.ready ? readyModel() : ModelState{}, each.sandboxed, "Tandalo");
        std::vector<SetupStep> steps;
        for (std::size_t index = 0; index < content.steps.size(); ++index) {
            steps.push_back(content.steps[index].step);
            EXPECT_EQ(content.steps[index].number, static_cast<int>(index) + 1);
        }
        EXPECT_EQ(steps, each.steps) << "sandboxed " << each.sandboxed << ", ready " << each.ready;
        EXPECT_EQ(content.ready, each.ready);
    }
}

TEST(SetupGuideContentTests, HeaderAndFooterFollowReadyAndSetUp) {
    struct Case {
        std::optional<bool> extensionEnabled;
        bool mounted;
        NotificationAuthorizationStatus notifications;
        bool folder;
        bool ready;
        bool setUp;
    };
    using enum NotificationAuthorizationStatus;
    const std::vector<Case> cases{
        {std::nullopt, true, authorized, true, false, false}, // the device step is done, yet not ready
        {true, false, authorized, true, false, false},
        {true, true, notDetermined, true, true, false}, // "Done" under the welcome title
        {true, true, denied, false, true, false},       // the folder counts even outside a sandbox
        {true, true, denied, true, true, true},
        {true, true, authorized, true, true, true},
    };
    for (const auto& each : cases) {
        ModelState model;
        model.extensionEnabled = each.extensionEnabled;
        model.devices = {phone("R58", each.mounted ? MountState::mounted("/m/P") : MountState::unmounted())};
        model.notificationStatus = each.notifications;
        if (each.folder) {
            model.mountFolder = "/home/me/Tandalo";
        }
        const auto content = setupGuideContent(model, false, "Tandalo");
        EXPECT_EQ(content.ready, each.ready);
        EXPECT_EQ(content.isSetUp, each.setUp);
        EXPECT_EQ(find(content, SetupStep::device).done, each.mounted);
    }
}

TEST(SetupGuideContentTests, ExtensionAndNotificationStepsSayWhatIsMissingAndOfferTheWayThere) {
    struct Case {
        std::optional<bool> extensionEnabled;
        NotificationAuthorizationStatus notifications;
        bool canOpenNotificationSettings;
        GuideStep extension;
        GuideStep notifications_;
    };
    const std::vector<TextRun> fuse{{"Linux must let you make FUSE mounts once. Open the set-up page to see "
                                     "what this computer still lacks for "},
                                    {"Tandalo", true},
                                    {" and how to add it."}};
    const GuideText waiting{{{"Waiting for you to switch it on…"}}, GuideTextRole::waitingCaption};
    const GuideText allow{
        {{"Tandalo tells you when a device is plugged in but set to charge only, so you know "
          "to switch it to File Transfer."}}};
    const GuideText off{
        {{"Notifications are off. You can turn them on any time in the desktop's notification settings."}}};
    using enum NotificationAuthorizationStatus;
    const std::vector<Case> cases{
        {std::nullopt,
         notDetermined,
         true,
         {SetupStep::extension, 1, false, {{fuse}}, GuideButton::openSystemSettings, true, waiting},
         {SetupStep::notifications, 2, false, {allow}, GuideButton::allowNotifications}},
        {false,
         denied, // a denial ticks the step and still offers the settings
         true,
         {SetupStep::extension, 1, false, {{fuse}}, GuideButton::openSystemSettings, false, waiting},
         {SetupStep::notifications, 2, true, {off}, GuideButton::openNotificationSettings}},
        {true, // a desktop without a known way to open its settings gets no button that does nothing
         denied,
         false,
         {SetupStep::extension, 1, true},
         {SetupStep::notifications, 2, true, {off}}},
        {true, authorized, true, {SetupStep::extension, 1, true}, {SetupStep::notifications, 2, true}},
    };
    for (const auto& each : cases) {
        ModelState model;
        model.extensionEnabled = each.extensionEnabled;
        model.notificationStatus = each.notifications;
        model.canOpenNotificationSettings = each.canOpenNotificationSettings;
        const auto content = setupGuideContent(model, false, "Tandalo");
        EXPECT_EQ(content.steps[0], each.extension);
        EXPECT_EQ(content.steps[1], each.notifications_);
    }
    EXPECT_TRUE(isProminent(GuideButton::allowNotifications));
    EXPECT_FALSE(isProminent(GuideButton::openNotificationSettings));
}

TEST(SetupGuideContentTests, DeviceStepDescribesTheFirstPhoneOrDeviceThatMatters) {
    struct Case {
        std::string name;
        std::function<void(ModelState&)> change;
        bool sandboxed;
        std::vector<std::string> above;
        std::optional<GuideButton> button;
        std::string besideButton;
        std::string deviceId;
    };
    const std::string connect =
        "Connect a phone, tablet or e-reader with a USB cable and unlock it. On Android, "
        "choose File Transfer. Use a cable that carries data, not a charge-only one.";
    const std::vector<Case> cases{
        {"nothing attached", [](ModelState&) {}, false, {connect}, {}, "", ""},
        {"two charge-only phones: the first only",
         [](ModelState& model) {
             model.waitingForFileTransfer = {chargeOnlyPhone(7100), chargeOnlyPhone(7200)};
             model.waitingForFileTransfer[1].productName = "Galaxy A5";
             model.devices = {phone("R58", MountState::failed("No."))};
         },
         false,
         {"**Galaxy S21** is connected but set to charge only.", chargeOnlyPhone().fileTransferHint()},
         {},
         "",
         ""},
        {"sandboxed without a folder",
         [](ModelState&) {},
         true,
         {"Choose a folder above first."},
         {},
         "",
         ""},
        {"not sandboxed, never asks for the folder first",
         [](ModelState& model) { model.mountFolder.reset(); },
         false,
         {connect},
         {},
         "",
         ""},
        {"the first device failed, the second is unmounted",
         [](ModelState& model) {
             model.devices = {phone("A", MountState::failed("The phone did not answer.")),
                              phone("B", MountState::unmounted()), phone("C", MountState::mounting())};
         },
         false,
         {"The phone did not answer."},
         GuideButton::tryAgain,
         "",
         "A"},
        {"unmounted",
         [](ModelState& model) { model.devices = {phone("R58", MountState::unmounted(), "**Pixel** 7")}; },
         false,
         {"****Pixel** 7** is connected but not mounted yet."},
         GuideButton::mount,
         "",
         "R58"},
        {"mounting",
         [](ModelState& model) { model.devices = {phone("R58", MountState::mounting())}; },
         false,
         {},
         {},
         "Mounting Pixel 7…",
         "R58"},
        {"ejecting",
         [](ModelState& model) { model.devices = {phone("R58", MountState::unmounting())}; },
         false,
         {},
         {},
         "Mounting Pixel 7…",
         "R58"},
    };
    for (const auto& each : cases) {
        ModelState model;
        each.change(model);
        const auto step = find(setupGuideContent(model, each.sandboxed, "Tandalo"), SetupStep::device);
        EXPECT_FALSE(step.done) << each.name;
        EXPECT_EQ(words(step.above), each.above) << each.name;
        EXPECT_EQ(step.button, each.button) << each.name;
        EXPECT_EQ(step.besideButton ? words(*step.besideButton) : "", each.besideButton) << each.name;
        EXPECT_EQ(step.spinner, !each.besideButton.empty()) << each.name;
        EXPECT_EQ(step.below.size(), each.besideButton.empty() ? 0u : 1u) << each.name;
        EXPECT_EQ(step.deviceId, each.deviceId) << each.name;
    }
    ModelState model;
    model.waitingForFileTransfer = {chargeOnlyPhone()};
    const auto step = find(setupGuideContent(model, false, "Tandalo"), SetupStep::device);
    EXPECT_EQ(step.above[0].role, GuideTextRole::warning);
    model.devices = {phone("R58", MountState::failed("No."))};
    model.waitingForFileTransfer.clear();
    EXPECT_EQ(find(setupGuideContent(model, false, "Tandalo"), SetupStep::device).above[0].role,
              GuideTextRole::failure);
}

TEST(SetupGuideContentTests, AllSetShowsTheFirstMountedDeviceAndADoneDeviceStepSaysNothing) {
    auto model = readyModel();
    model.devices.insert(model.devices.begin(), phone("K7", MountState::failed("No.")));
    model.devices.push_back(phone("Z9", MountState::mounted("/m/Z9")));
    const auto content = setupGuideContent(model, false, "Tandalo");
    EXPECT_EQ(find(content, SetupStep::device), (GuideStep{SetupStep::device, 3, true}));
    const auto allSet = find(content, SetupStep::allSet);
    EXPECT_TRUE(allSet.done);
    EXPECT_EQ(words(allSet.above),
              std::vector<std::string>{"Tandalo lives in the panel's status area: look for its eject "
                                       "icon. Devices mount by themselves when you plug them in."});
    EXPECT_EQ(allSet.button, GuideButton::showInFinder);
    EXPECT_EQ(allSet.deviceId, "R58");
}

} // namespace
} // namespace tandalo::view
