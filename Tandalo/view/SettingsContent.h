#pragma once

#include "Tandalo/view/ModelState.h"

#include <optional>
#include <string>
#include <string_view>

namespace tandalo::view {

/// The extension's status label in the settings: "Checking…", "Enabled" or "Not enabled".
enum class ExtensionLabel { checking, enabled, notEnabled };

/// Everything the settings form shows, section by section. The form keeps nothing of its own: each
/// value comes from the model as it is now.
struct SettingsContent {
    // General.
    bool autoMount = true;
    /// The mount folder's path, or "Not chosen yet"; both shown verbatim.
    std::string folderText{};
    bool launchAtLogin = true;
    /// Why launch at login failed, in red under its toggle; nothing while it is in order.
    std::optional<std::string> loginItemFailure{};

    // File system extension.
    ExtensionLabel extensionLabel = ExtensionLabel::checking;
    /// How the extension is switched on, while it is not known to be.
    bool showsExplanation = true;

    /// The "Last error" section, present only while the model has one.
    std::optional<std::string> lastError{};

    // Version.
    bool canCheckForUpdates = false;

    bool operator==(const SettingsContent&) const = default;
};

SettingsContent settingsContent(const ModelState& model);

/// The symbol of the extension's status label: "questionmark.circle", "checkmark.circle.fill" or
/// "xmark.circle.fill".
std::string_view extensionLabelSymbol(ExtensionLabel label);

} // namespace tandalo::view
