#pragma once

#include <QPixmap>
#include <QString>

#include <string_view>

class QColor;

namespace tandalo::ui {

/// The symbols the windows name, by our own ids ("folder", "eject", "battery.75",
/// "iphone.gen3.badge.exclamationmark"...), drawn in one colour from the desktop's icon theme, or with a
/// drawing of our own where the theme has no such icon. A ".badge.exclamationmark" id is its base symbol
/// with a small exclamation mark in a circle at its lower right.
namespace Symbols {

/// Makes the desktop's icon themes reachable where the platform does not say where they are (as on a
/// bare X server), with Adwaita, which the application installs with, for the icons the theme lacks.
/// Call once, after the QApplication is made.
void findIconThemes();

/// The icon of the freedesktop theme that shows the symbol; empty for an id we do not know.
QString themeIconName(std::string_view symbol);

/// The symbol in a square of size × size device-independent pixels, in the colour, sharp at the ratio.
QPixmap pixmap(std::string_view symbol, int size, const QColor& colour, qreal devicePixelRatio = 1.0);

} // namespace Symbols

} // namespace tandalo::ui
