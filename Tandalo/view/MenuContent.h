#pragma once

#include "Tandalo/view/DeviceRowState.h"
#include "Tandalo/view/ModelState.h"

#include <optional>
#include <string>
#include <vector>

namespace tandalo::view {

/// A warning across the top of the menu-bar window, each with one button.
enum class Banner {
    extensionOff,    // "Tandalo is switched off on this computer" / "Turn On…"
    updateAvailable, // "<name> <version> is available" / "Update…"
};

/// What the menu-bar window shows from top to bottom, above its footer.
struct MenuContent {
    std::vector<Banner> banners; // in order, each followed by a divider
    std::string updateVersion;   // the waiting version, with Banner::updateAvailable
    bool showsEmptyState = false;
    std::vector<DeviceRowState> rows;
    std::vector<WaitingRowState> waitingRows;

    bool operator==(const MenuContent&) const = default;
};

MenuContent menuContent(const ModelState& model);

/// The everyday commands, offered alike by the window's Options menu and the status item's menu.
enum class MenuCommand {
    mountAutomatically,
    ejectAll,
    setupGuide,
    settings,
    checkForUpdates,
    copyDiagnostics,
    quit,
};

/// One entry of those menus: a command, or a separator when it has none.
struct MenuItem {
    std::optional<MenuCommand> command;
    bool enabled = true;
    bool checkable = false;
    bool checked = false;

    bool operator==(const MenuItem&) const = default;
};

/// The entries as the model stands now. The menus are built afresh each time they open, so "Eject All",
/// the check mark and the update item match the moment of the click.
std::vector<MenuItem> commandMenu(const ModelState& model);

} // namespace tandalo::view
