#include "Tandalo/view/SettingsContent.h"

namespace tandalo::view {

SettingsContent settingsContent(const ModelState& model) {
    SettingsContent content;
    content.autoMount = model.autoMount;
    content.folderText = model.mountFolder ? model.mountFolder->string() : "Not chosen yet";
    content.launchAtLogin = model.launchAtLogin;
    if (model.loginItemState.isFailed()) {
        content.loginItemFailure = model.loginItemState.message();
    }
    if (!model.extensionEnabled) {
        content.extensionLabel = ExtensionLabel::checking;
    } else {
        content.extensionLabel =
            *model.extensionEnabled ? ExtensionLabel::enabled : ExtensionLabel::notEnabled;
    }
    content.showsExplanation = model.extensionEnabled != true;
    content.lastError = model.lastError;
    content.canCheckForUpdates = model.canCheckForUpdates;
    return content;
}

std::string_view extensionLabelSymbol(ExtensionLabel label) {
    switch (label) {
    case ExtensionLabel::checking:
        break;
    case ExtensionLabel::enabled:
        return "checkmark.circle.fill";
    case ExtensionLabel::notEnabled:
        return "xmark.circle.fill";
    }
    return "questionmark.circle";
}

} // namespace tandalo::view
