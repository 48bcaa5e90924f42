#include "Tandalo/ui/Style.h"

#include <QApplication>
#include <QPalette>
#include <QWidget>

namespace tandalo::ui {

namespace {

// Sizes relative to the body text, as the roles stand to a 13-point body.
constexpr double bodySize = 13.0;
constexpr double calloutSize = 12.0;
constexpr double captionSize = 10.0;
constexpr double title2Size = 17.0;

constexpr double secondaryOpacity = 0.55;
constexpr double tertiaryOpacity = 0.3;

// Saturated enough to read as warnings on a light window, light enough to read on a dark one.
constexpr QRgb orange = 0xFFE08600;
constexpr QRgb red = 0xFFE0352B;
constexpr QRgb green = 0xFF2FA84F;

} // namespace

QFont font(TextStyle style, QFont::Weight weight) {
    QFont result = QApplication::font();
    const double body = result.pointSizeF() > 0 ? result.pointSizeF() : 10.0;
    double size = bodySize;
    switch (style) {
    case TextStyle::body:
        break;
    case TextStyle::callout:
        size = calloutSize;
        break;
    case TextStyle::caption:
        size = captionSize;
        break;
    case TextStyle::headline:
        weight = std::max(weight, QFont::DemiBold);
        break;
    case TextStyle::title2:
        size = title2Size;
        break;
    }
    result.setPointSizeF(body * size / bodySize);
    result.setWeight(weight);
    return result;
}

QColor colour(Tone tone, const QPalette& palette) {
    QColor text = palette.color(QPalette::WindowText);
    switch (tone) {
    case Tone::primary:
        return text;
    case Tone::secondary:
        text.setAlphaF(secondaryOpacity);
        return text;
    case Tone::tertiary:
        text.setAlphaF(tertiaryOpacity);
        return text;
    case Tone::orange:
        return QColor::fromRgba(orange);
    case Tone::red:
        return QColor::fromRgba(red);
    case Tone::green:
        return QColor::fromRgba(green);
    case Tone::accent:
        break;
    }
    return palette.color(QPalette::Highlight);
}

QColor colour(Tone tone) {
    return colour(tone, QApplication::palette());
}

void setTextStyle(QWidget& widget, TextStyle style, Tone tone, QFont::Weight weight) {
    widget.setFont(font(style, weight));
    QPalette palette = widget.palette();
    const QColor text = colour(tone, QApplication::palette());
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Text, text);
    widget.setPalette(palette);
}

} // namespace tandalo::ui
