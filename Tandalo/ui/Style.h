#pragma once

#include <QColor>
#include <QFont>

class QPalette;
class QWidget;

namespace tandalo::ui {

/// The text styles of the windows by role, sized from the desktop's own font so that they follow the
/// user's choice: body is that font, the others keep the proportions of a 13-point body.
enum class TextStyle { body, callout, caption, headline, title2 };

QFont font(TextStyle style, QFont::Weight weight = QFont::Normal);

/// The colours by role. Secondary and tertiary are the text colour at reduced opacity, so they stay
/// readable on light and dark themes alike; accent is the desktop's highlight.
enum class Tone { primary, secondary, tertiary, orange, red, green, accent };

QColor colour(Tone tone, const QPalette& palette);
/// The colour of the tone in the application's palette.
QColor colour(Tone tone);

/// Gives the widget's text the font and the colour.
void setTextStyle(QWidget& widget, TextStyle style, Tone tone, QFont::Weight weight = QFont::Normal);

/// The opacity of the primary colour behind a round or capsule control: stronger while pressed, a little
/// while the pointer is over it, faint otherwise.
namespace ControlFill {
inline constexpr double pressed = 0.2;
inline constexpr double hovering = 0.13;
inline constexpr double resting = 0.07;
} // namespace ControlFill

} // namespace tandalo::ui
