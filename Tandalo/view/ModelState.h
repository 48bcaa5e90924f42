#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Tandalo/core/DeviceEntry.h"
#include "Tandalo/core/LoginItem.h"
#include "Tandalo/core/NotificationCenter.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::view {

/// What the menu-bar icon says at a glance; the first that applies wins: a device mounted, one failed,
/// one attached, a phone waiting in charge-only mode, nothing.
enum class MenuBarIcon { mounted, connected, needsFileTransfer, failed, idle };

inline constexpr MenuBarIcon allMenuBarIcons[] = {MenuBarIcon::mounted, MenuBarIcon::connected,
                                                  MenuBarIcon::needsFileTransfer, MenuBarIcon::failed,
                                                  MenuBarIcon::idle};

/// The application model's published values as the windows and menus read them at one moment, under the
/// model's own names (the mount folder and the update checker's two values included). A plain value.
struct ModelState {
    std::vector<app::DeviceEntry> devices;
    std::map<std::string, int> batteryLevels; // by device id
    std::vector<corvane::AndroidCandidate> waitingForFileTransfer;
    std::optional<bool> extensionEnabled; // nothing while the answer is not known
    app::NotificationAuthorizationStatus notificationStatus =
        app::NotificationAuthorizationStatus::notDetermined;
    bool canOpenNotificationSettings = false; // the desktop has a known way to open them
    std::optional<std::string> lastError;     // the last error shown to the user, verbatim
    app::LoginItem::State loginItemState = app::LoginItem::State::disabled();
    std::map<std::string, std::string> ejectNotes; // by device id
    std::map<std::string, std::string> holders;    // by device id: the application that holds it
    int settingsRequests = 0;
    bool autoMount = true;
    bool launchAtLogin = true;           // the user's wish; loginItemState tells how applying it went
    bool hasCompletedOnboarding = false; // the set-up guide was finished
    std::optional<std::filesystem::path> mountFolder; // the mount location's url
    std::optional<std::string> waitingVersion;        // the update that waits to be installed
    bool canCheckForUpdates = false;
    MenuBarIcon menuBarIcon = MenuBarIcon::idle; // derived by the model from the devices and phones

    /// Whether some device is mounted: the menus offer "Eject All" only then.
    bool hasMountedDevices() const;
    /// The device with that id as listed now; nothing once it is gone.
    std::optional<app::DeviceEntry> device(std::string_view id) const;
};

} // namespace tandalo::view
