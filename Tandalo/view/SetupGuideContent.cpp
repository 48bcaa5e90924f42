#include "Tandalo/view/SetupGuideContent.h"

#include "Tandalo/view/DeviceRowState.h"

#include <algorithm>

namespace tandalo::view {

namespace {

using app::NotificationAuthorizationStatus;

GuideText text(std::string words, GuideTextRole role = GuideTextRole::explanation) {
    return {{{std::move(words)}}, role};
}

/// A name in bold between two fixed texts.
GuideText named(std::string before, std::string name, std::string after,
                GuideTextRole role = GuideTextRole::explanation) {
    GuideText result{{}, role};
    if (!before.empty()) {
        result.runs.push_back({std::move(before)});
    }
    result.runs.push_back({std::move(name), true});
    result.runs.push_back({std::move(after)});
    return result;
}

GuideStep extensionStep(const ModelState& model, const std::string& appName) {
    GuideStep step{.step = SetupStep::extension, .done = model.extensionEnabled == true};
    if (step.done) {
        return step;
    }
    // On Linux the extension is this user's right to make FUSE mounts; the settings page says how.
    step.above = {named("Linux must let you make FUSE mounts once. Open the set-up page to see what this "
                        "computer still lacks for ",
                        appName, " and how to add it.")};
    step.button = GuideButton::openSystemSettings;
    step.spinner = !model.extensionEnabled.has_value();
    step.besideButton = text("Waiting for you to switch it on…", GuideTextRole::waitingCaption);
    return step;
}

GuideStep notificationsStep(const ModelState& model, const std::string& appName) {
    GuideStep step{.step = SetupStep::notifications,
                   .done = model.notificationStatus != NotificationAuthorizationStatus::notDetermined};
    switch (model.notificationStatus) {
    case NotificationAuthorizationStatus::notDetermined:
        step.above = {text(appName + " tells you when a device is plugged in but set to charge only, so you "
                                     "know to switch it to File Transfer.")};
        step.button = GuideButton::allowNotifications;
        break;
    case NotificationAuthorizationStatus::denied:
        step.above = {text("Notifications are off. You can turn them on any time in the desktop's "
                           "notification settings.")};
        // Where the desktop has no known way to open them, a button would do nothing.
        if (model.canOpenNotificationSettings) {
            step.button = GuideButton::openNotificationSettings;
        }
        break;
    case NotificationAuthorizationStatus::authorized:
        break;
    }
    return step;
}

GuideStep folderStep(const ModelState& model) {
    GuideStep step{.step = SetupStep::folder, .done = model.mountFolder.has_value()};
    if (!step.done) {
        step.above = {text("Pick a folder and each connected device gets its own folder inside it.")};
        step.button = GuideButton::chooseFolder;
    }
    return step;
}

GuideStep deviceStep(const ModelState& model, bool sandboxed) {
    GuideStep step{.step = SetupStep::device, .done = model.hasMountedDevices()};
    if (step.done) {
        return step;
    }
    if (!model.waitingForFileTransfer.empty()) {
        const auto& candidate = model.waitingForFileTransfer.front();
        step.above = {named("", candidate.displayName(), " is connected but set to charge only.",
                            GuideTextRole::warning),
                      text(candidate.fileTransferHint())};
        return step;
    }
    if (sandboxed && !model.mountFolder) {
        step.above = {text("Choose a folder above first.")};
        return step;
    }
    if (model.devices.empty()) {
        step.above = {text("Connect a phone, tablet or e-reader with a USB cable and unlock it. On Android, "
                           "choose File Transfer. Use a cable that carries data, not a charge-only one.")};
        return step;
    }
    const auto& first = model.devices.front();
    step.deviceId = first.id();
    if (const auto* message = first.state.failureMessage()) {
        step.above = {text(*message, GuideTextRole::failure)};
        step.button = GuideButton::tryAgain;
    } else if (first.state.isUnmounted()) {
        step.above = {named("", deviceName(first), " is connected but not mounted yet.")};
        step.button = GuideButton::mount;
    } else {
        step.spinner = true;
        step.besideButton = text("Mounting " + deviceName(first) + "…");
        step.below = {text("Unlock the device. If it asks “Allow access to phone data?”, tap Allow.",
                           GuideTextRole::caption)};
    }
    return step;
}

GuideStep allSetStep(const ModelState& model, const std::string& appName) {
    GuideStep step{.step = SetupStep::allSet, .done = true};
    step.above = {text(
        appName + " lives in the panel's status area: look for its eject icon. Devices mount by themselves "
                  "when you plug them in.")};
    const auto mounted = std::find_if(model.devices.begin(), model.devices.end(),
                                      [](const app::DeviceEntry& entry) { return entry.state.isMounted(); });
    if (mounted != model.devices.end()) {
        step.button = GuideButton::showInFinder;
        step.deviceId = mounted->id();
    }
    return step;
}

} // namespace

SetupGuideContent setupGuideContent(const ModelState& model, bool sandboxed, const std::string& appName) {
    const bool extensionOn = model.extensionEnabled == true;
    const bool mounted = model.hasMountedDevices();
    SetupGuideContent content;
    content.ready = extensionOn && mounted;
    // The folder counts whether or not the process is sandboxed: outside a sandbox the model always has one.
    content.isSetUp = content.ready &&
                      model.notificationStatus != NotificationAuthorizationStatus::notDetermined &&
                      model.mountFolder.has_value();

    content.steps.push_back(extensionStep(model, appName));
    content.steps.push_back(notificationsStep(model, appName));
    if (sandboxed) {
        content.steps.push_back(folderStep(model));
    }
    content.steps.push_back(deviceStep(model, sandboxed));
    if (content.ready) {
        content.steps.push_back(allSetStep(model, appName));
    }
    int number = 0;
    for (auto& step : content.steps) {
        step.number = ++number;
    }
    return content;
}

bool isProminent(GuideButton button) {
    return button != GuideButton::openNotificationSettings && button != GuideButton::showInFinder;
}

} // namespace tandalo::view
