#pragma once

#include "Tandalo/view/ModelState.h"
#include "platform/desktop/ColorScheme.h"

#include <QColor>
#include <QIcon>
#include <QImage>

#include <optional>

class QPainter;

namespace tandalo::ui {

/// The menu-bar glyphs of the five statuses, drawn in code: a triangle standing on a bar, 18 × 18 units,
/// and the same with the update badge, a dot in the top-right corner kept apart by a clear ring. They are
/// drawn at whatever size is asked, so they stay sharp at any scale.
namespace MenuBarImages {

/// The size of the drawing, in units.
inline constexpr double canvas = 18.0;

/// Draws the glyph (and the badge) over a transparent image of any size, scaled from the 18-unit canvas.
/// Cut-outs clear what is under them, so draw into a layer of its own.
void draw(QPainter& painter, view::MenuBarIcon icon, bool badged, const QColor& colour);

/// The glyph as an image of pixelSize × pixelSize; with a halo, over a rim of that colour around its
/// outline (and showing through its cut-outs), so that it stands out on any background.
QImage image(view::MenuBarIcon icon, bool badged, int pixelSize, const QColor& colour = Qt::black,
             std::optional<QColor> halo = std::nullopt);

/// The glyph as an icon that draws itself at each size asked, in the colour and with the halo. With a
/// theme name, the icon goes by that name where icons are passed by name. The icons of each colour are
/// made once and kept.
QIcon icon(view::MenuBarIcon icon, bool badged, const QColor& colour,
           std::optional<QColor> halo = std::nullopt, const QString& themeName = {});

/// The colours of the glyph in the desktop's status area, whose background the application cannot see:
/// light on a dark scheme, dark on a light one, the application's text colour where the desktop has no
/// preference; always with a halo of the opposite lightness, for the panels that differ from the scheme
/// (a dark top bar in a light session).
struct PanelInk {
    QColor ink;
    QColor halo;
    bool operator==(const PanelInk&) const = default;
};
PanelInk panelInk(desktop::ColorScheme scheme, const QColor& textColour);

/// The glyph's icon in the hicolor theme, single-coloured, which status areas that take icons by name
/// draw in the panel's own colours.
QString symbolicName(view::MenuBarIcon icon);

/// Lets the theme find the glyph's icons beside the program: in share/icons of the build tree or of the
/// prefix it is installed in. Call once, after the QApplication is made.
void findSymbolicIcons(const QString& programFolder);

} // namespace MenuBarImages

} // namespace tandalo::ui
