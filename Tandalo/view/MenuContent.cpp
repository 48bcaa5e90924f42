#include "Tandalo/view/MenuContent.h"

namespace tandalo::view {

MenuContent menuContent(const ModelState& model) {
    MenuContent content;
    // An unknown extension state shows nothing: it is most often only not answered yet.
    if (model.extensionEnabled == false) {
        content.banners.push_back(Banner::extensionOff);
    }
    if (model.waitingVersion) {
        content.banners.push_back(Banner::updateAvailable);
        content.updateVersion = *model.waitingVersion;
    }
    content.showsEmptyState = model.devices.empty() && model.waitingForFileTransfer.empty();
    for (const auto& entry : model.devices) {
        content.rows.push_back(deviceRowState(entry, model));
    }
    for (const auto& candidate : model.waitingForFileTransfer) {
        content.waitingRows.push_back(waitingRowState(candidate));
    }
    return content;
}

std::vector<MenuItem> commandMenu(const ModelState& model) {
    std::vector<MenuItem> items;
    items.push_back(
        {.command = MenuCommand::mountAutomatically, .checkable = true, .checked = model.autoMount});
    if (model.hasMountedDevices()) {
        items.push_back({.command = MenuCommand::ejectAll});
    }
    items.push_back({});
    items.push_back({.command = MenuCommand::setupGuide});
    items.push_back({.command = MenuCommand::settings});
    items.push_back({.command = MenuCommand::checkForUpdates, .enabled = model.canCheckForUpdates});
    items.push_back({.command = MenuCommand::copyDiagnostics});
    items.push_back({});
    items.push_back({.command = MenuCommand::quit});
    return items;
}

} // namespace tandalo::view
