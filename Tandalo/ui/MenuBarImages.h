#pragma once

#include "Tandalo/view/ModelState.h"

#include <QColor>
#include <QIcon>
#include <QImage>

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

/// The glyph as an image of pixelSize × pixelSize.
QImage image(view::MenuBarIcon icon, bool badged, int pixelSize, const QColor& colour = Qt::black);

/// The glyph as an icon that draws itself at each size asked, in the colour. The icons of each colour are
/// made once and kept.
QIcon icon(view::MenuBarIcon icon, bool badged, const QColor& colour);

} // namespace MenuBarImages

} // namespace tandalo::ui
