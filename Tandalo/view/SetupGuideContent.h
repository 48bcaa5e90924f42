#pragma once

#include "Tandalo/view/ModelState.h"

#include <optional>
#include <string>
#include <vector>

namespace tandalo::view {

/// The steps of the set-up guide, in the order they stand.
enum class SetupStep {
    extension,     // "Turn on the file system extension": FUSE mounts possible for this user
    notifications, // "Allow notifications"
    folder,        // "Choose where devices appear", only when sandboxed
    device,        // "Plug in your device"
    allSet,        // "You're all set", only when ready
};

/// The buttons inside the steps.
enum class GuideButton {
    openSystemSettings,       // the extension's settings, then asking again every 2 s
    allowNotifications,       // asks for the permission
    openNotificationSettings, // the desktop's notification settings
    chooseFolder,             // the folder panel
    tryAgain,                 // mounts the failed device again
    mount,                    // mounts the unmounted device
    showInFinder,             // the mounted device's folder in the file manager
};

/// How a text of a step reads: the explanation in the secondary style, a warning in orange, a failure
/// in red, or a caption (the tertiary one beside the extension's button, the plain one under a device
/// that is mounting).
enum class GuideTextRole { explanation, warning, failure, waitingCaption, caption };

/// A piece of a text, bold or not. Names are pieces of their own, so nothing in a device's name is ever
/// read as markup.
struct TextRun {
    std::string text{};
    bool bold = false;
    bool operator==(const TextRun&) const = default;
};

struct GuideText {
    std::vector<TextRun> runs{};
    GuideTextRole role = GuideTextRole::explanation;
    bool operator==(const GuideText&) const = default;
};

/// One numbered step: what it says above its row of controls, the row (a button, a spinner, a text
/// beside them) and what it says below. A step that is done may still offer its button (notifications
/// that are off).
struct GuideStep {
    SetupStep step = SetupStep::extension;
    int number = 0;
    bool done = false;
    std::vector<GuideText> above{};
    std::optional<GuideButton> button{};
    bool spinner = false;
    std::optional<GuideText> besideButton{};
    std::vector<GuideText> below{};
    /// The device the button acts on (Try Again, Mount, Show in File Manager).
    std::string deviceId{};

    bool operator==(const GuideStep&) const = default;
};

/// Everything the guide shows: the header's wording, the steps, and the footer button's title.
struct SetupGuideContent {
    bool isSetUp = false; // "<name> is set up" rather than "Welcome to <name>"
    bool ready = false;   // "Done" rather than "Close", and "You're all set" shows
    std::vector<GuideStep> steps{};

    bool operator==(const SetupGuideContent&) const = default;
};

/// What the guide shows for the model's values. The folder step shows only for a sandboxed process; the
/// application's name goes into the texts that name it.
SetupGuideContent setupGuideContent(const ModelState& model, bool sandboxed, const std::string& appName);

/// Whether a step's button stands out as the step's main action (the others are small and plain).
bool isProminent(GuideButton button);

} // namespace tandalo::view
