#include "Tandalo/view/MenuBarStatus.h"

namespace tandalo::view {

GlyphLook glyphLook(MenuBarIcon icon) {
    switch (icon) {
    case MenuBarIcon::mounted:
        return {.solid = true, .exclamation = false, .alpha = 1.0};
    case MenuBarIcon::connected:
        return {.solid = false, .exclamation = false, .alpha = 1.0};
    case MenuBarIcon::needsFileTransfer:
    case MenuBarIcon::failed:
        // One picture for both: the words tell them apart.
        return {.solid = true, .exclamation = true, .alpha = 1.0};
    case MenuBarIcon::idle:
        break;
    }
    return {.solid = false, .exclamation = false, .alpha = 0.5};
}

std::string accessibilityText(MenuBarIcon icon, bool updateAvailable) {
    std::string text;
    switch (icon) {
    case MenuBarIcon::mounted:
        text = "Device mounted";
        break;
    case MenuBarIcon::connected:
        text = "Device connected, not mounted";
        break;
    case MenuBarIcon::needsFileTransfer:
        text = "Device needs File Transfer mode";
        break;
    case MenuBarIcon::failed:
        text = "Device could not be mounted";
        break;
    case MenuBarIcon::idle:
        text = "No device connected";
        break;
    }
    if (updateAvailable) {
        text += ", update available";
    }
    return text;
}

} // namespace tandalo::view
