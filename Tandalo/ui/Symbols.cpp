#include "Tandalo/ui/Symbols.h"

#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QStandardPaths>
#include <QStringList>

#include <array>
#include <utility>

namespace tandalo::ui::Symbols {

namespace {

using namespace std::string_view_literals;

constexpr auto badgeSuffix = ".badge.exclamationmark"sv;

// The theme's symbolic icons; a symbol without one is always drawn by us. Battery levels round down, so a
// symbol never shows more charge than its range holds.
constexpr std::array themeIcons{
    std::pair{"exclamationmark.triangle.fill"sv, "dialog-warning-symbolic"sv},
    std::pair{"laptopcomputer.and.iphone"sv, "phone-symbolic"sv},
    std::pair{"smartphone"sv, "phone-symbolic"sv},
    std::pair{"iphone.gen3"sv, "phone-symbolic"sv},
    std::pair{"battery.100"sv, "battery-level-100-symbolic"sv},
    std::pair{"battery.75"sv, "battery-level-70-symbolic"sv},
    std::pair{"battery.50"sv, "battery-level-50-symbolic"sv},
    std::pair{"battery.25"sv, "battery-level-20-symbolic"sv},
    std::pair{"battery.0"sv, "battery-level-0-symbolic"sv},
    std::pair{"folder"sv, "folder-symbolic"sv},
    std::pair{"eject"sv, "media-eject-symbolic"sv},
    std::pair{"ellipsis"sv, "view-more-horizontal-symbolic"sv},
    std::pair{"checkmark"sv, "object-select-symbolic"sv},
    std::pair{"questionmark.circle"sv, "dialog-question-symbolic"sv},
    std::pair{"checkmark.circle.fill"sv, "emblem-ok-symbolic"sv},
    std::pair{"xmark.circle.fill"sv, "dialog-error-symbolic"sv},
};

// The drawings below are made in a 16 × 16 box, the size the theme's symbolic icons are designed at.
constexpr double box = 16.0;

std::string_view baseOf(std::string_view symbol) {
    return symbol.ends_with(badgeSuffix) ? symbol.substr(0, symbol.size() - badgeSuffix.size()) : symbol;
}

void drawBattery(QPainter& painter, std::string_view symbol, const QColor& colour) {
    const double level = symbol == "battery.100"  ? 1.0
                         : symbol == "battery.75" ? 0.75
                         : symbol == "battery.50" ? 0.5
                         : symbol == "battery.25" ? 0.25
                                                  : 0.0;
    painter.setPen(QPen(colour, 1.2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(1.5, 4.5, 11.5, 7), 1.5, 1.5);
    painter.fillRect(QRectF(13.5, 6.5, 1.5, 3), colour);
    painter.fillRect(QRectF(3, 6, 8.5 * level, 4), colour);
}

void drawFallback(QPainter& painter, std::string_view symbol, const QColor& colour) {
    painter.setBrush(colour);
    painter.setPen(Qt::NoPen);
    if (symbol.starts_with("battery.")) {
        drawBattery(painter, symbol, colour);
        return;
    }
    QPainterPath path;
    if (symbol == "folder") {
        path.moveTo(1, 3);
        path.lineTo(6, 3);
        path.lineTo(7.5, 4.5);
        path.lineTo(15, 4.5);
        path.lineTo(15, 13);
        path.lineTo(1, 13);
        path.closeSubpath();
    } else if (symbol == "eject") {
        path.moveTo(8, 2);
        path.lineTo(14, 9);
        path.lineTo(2, 9);
        path.closeSubpath();
        path.addRect(2, 11, 12, 2);
    } else if (symbol == "ellipsis") {
        for (const double x : {3.0, 8.0, 13.0}) {
            path.addEllipse(QPointF(x, 8), 1.5, 1.5);
        }
    } else if (symbol == "smartphone" || symbol == "iphone.gen3" || symbol == "laptopcomputer.and.iphone") {
        path.addRoundedRect(QRectF(4, 1, 8, 14), 1.5, 1.5);
        path.addRect(5.5, 2.5, 5, 10);
    } else if (symbol == "exclamationmark.triangle.fill") {
        path.moveTo(8, 1);
        path.lineTo(15, 14);
        path.lineTo(1, 14);
        path.closeSubpath();
        path.addRect(7.25, 5, 1.5, 5);
        path.addEllipse(QPointF(8, 12), 0.9, 0.9);
    } else if (symbol == "checkmark") {
        painter.setPen(QPen(colour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
        return;
    } else {
        // Round symbols: a disc with the mark cut out of it.
        painter.drawEllipse(QRectF(1, 1, 14, 14));
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        painter.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        if (symbol == "arrow.down.circle.fill") {
            painter.drawLine(QPointF(8, 4), QPointF(8, 11.5));
            painter.drawPolyline(QPolygonF({QPointF(5, 8.5), QPointF(8, 11.5), QPointF(11, 8.5)}));
        } else if (symbol == "xmark.circle.fill") {
            painter.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
            painter.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
        } else if (symbol == "checkmark.circle.fill") {
            painter.drawPolyline(QPolygonF({QPointF(4.5, 8.5), QPointF(7, 11), QPointF(11.5, 5.5)}));
        } else if (symbol == "questionmark.circle") {
            QPainterPath mark;
            mark.moveTo(5.8, 6.2);
            mark.cubicTo(5.8, 3.8, 10.2, 3.8, 10.2, 6.2);
            mark.cubicTo(10.2, 7.8, 8, 7.8, 8, 9.6);
            painter.drawPath(mark);
            painter.drawPoint(QPointF(8, 12));
        }
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        return;
    }
    painter.drawPath(path);
}

// A small disc at the lower right, with a clear ring that keeps it apart from the symbol under it.
void drawExclamationBadge(QPainter& painter, const QColor& colour) {
    const QRectF disc(9, 9, 7, 7);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(disc.adjusted(-1.2, -1.2, 1.2, 1.2));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(colour);
    painter.drawEllipse(disc);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setBrush(Qt::black);
    painter.drawRect(QRectF(12.1, 10.2, 0.9, 3));
    painter.drawEllipse(QPointF(12.55, 14.3), 0.55, 0.55);
}

} // namespace

void findIconThemes() {
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& folder : QStandardPaths::locateAll(
             QStandardPaths::GenericDataLocation, QStringLiteral("icons"), QStandardPaths::LocateDirectory)) {
        if (!paths.contains(folder)) {
            paths.append(folder);
        }
    }
    QIcon::setThemeSearchPaths(paths);
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

QString themeIconName(std::string_view symbol) {
    const auto base = baseOf(symbol);
    for (const auto& [name, icon] : themeIcons) {
        if (name == base) {
            return QString::fromLatin1(icon.data(), static_cast<int>(icon.size()));
        }
    }
    return {};
}

QPixmap pixmap(std::string_view symbol, int size, const QColor& colour, qreal devicePixelRatio) {
    const int pixels = std::max(1, qRound(size * devicePixelRatio));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto base = baseOf(symbol);
    const QString name = themeIconName(base);
    const QIcon themed = name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
    if (!themed.isNull()) {
        // The theme draws in its own grey: keep its shape and give it our colour.
        painter.drawPixmap(0, 0,
                           themed.pixmap(QSize(pixels, pixels))
                               .scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    painter.scale(pixels / box, pixels / box);
    if (themed.isNull()) {
        drawFallback(painter, base, colour);
    }
    if (base.size() != symbol.size()) {
        drawExclamationBadge(painter, colour);
    }
    painter.end();
    QPixmap result = QPixmap::fromImage(image);
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

} // namespace tandalo::ui::Symbols
