#include "Tandalo/ui/MenuBarImages.h"

#include "Tandalo/view/MenuBarStatus.h"

#include <QDir>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <map>
#include <optional>
#include <tuple>

namespace tandalo::ui::MenuBarImages {

namespace {

// The glyph's box, centred in the canvas.
constexpr double boxWidth = 14.0;
constexpr double boxHeight = 14.14;
constexpr double x0 = (canvas - boxWidth) / 2;
constexpr double y0 = (canvas - boxHeight) / 2;
constexpr double cx = canvas / 2;

constexpr double triangleHeight = 8.96;
constexpr double outlineWidth = 1.3;
constexpr double barTop = triangleHeight + 2.38; // below the box's top
constexpr double barHeight = 2.8;
constexpr double thinBarHeight = 1.56;

constexpr double exclamationTop = 3.4048; // below the box's top
constexpr double exclamationBottom = 5.7344;
constexpr double exclamationWidth = 1.4;
constexpr double exclamationDotCentre = 7.3472;
constexpr double exclamationDot = 1.6;

// The badge: a dot in the top-right corner, and the ring cleared around it, 1 unit wider on each side.
constexpr double badgeDot = 4.5;
constexpr double badgeInset = 0.25; // from the canvas's right and top edges
constexpr double badgeRing = 1.0;

// The halo: as wide as the outline, and opaque enough to part the glyph from any panel.
constexpr double haloWidth = 1.3;
constexpr int haloDirections = 16;
const QColor lightInk(0xF2, 0xF2, 0xF2);
const QColor darkInk(0x1C, 0x1C, 0x1C);

void drawGlyph(QPainter& painter, view::MenuBarIcon icon, const QColor& colour) {
    const auto look = view::glyphLook(icon);
    QColor ink = colour;
    ink.setAlphaF(colour.alphaF() * look.alpha);
    QPainterPath triangle;
    triangle.moveTo(cx, y0);
    triangle.lineTo(x0 + boxWidth, y0 + triangleHeight);
    triangle.lineTo(x0, y0 + triangleHeight);
    triangle.closeSubpath();
    painter.setPen(QPen(ink, outlineWidth, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    painter.setBrush(look.solid ? QBrush(ink) : QBrush(Qt::NoBrush));
    painter.drawPath(triangle);

    const QRectF solidBar(x0, y0 + barTop, boxWidth, barHeight);
    // The thin bar keeps the solid one's middle line.
    const QRectF bar = look.solid ? solidBar
                                  : QRectF(solidBar.left(), solidBar.center().y() - thinBarHeight / 2,
                                           solidBar.width(), thinBarHeight);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawRoundedRect(bar, bar.height() / 2, bar.height() / 2);

    if (look.exclamation) {
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        painter.setPen(QPen(Qt::black, exclamationWidth, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(cx, y0 + exclamationTop), QPointF(cx, y0 + exclamationBottom));
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawEllipse(QPointF(cx, y0 + exclamationDotCentre), exclamationDot / 2, exclamationDot / 2);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
}

void drawBadge(QPainter& painter, const QColor& colour) {
    const QRectF dot(canvas - badgeDot - badgeInset, badgeInset, badgeDot, badgeDot);
    painter.setPen(Qt::NoPen);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setBrush(Qt::black);
    painter.drawEllipse(dot.adjusted(-badgeRing, -badgeRing, badgeRing, badgeRing));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(colour);
    painter.drawEllipse(dot);
}

/// The glyph's shape grown by the halo's width, in the halo's colour: the glyph drawn in that colour at
/// offsets all around, which also fills its cut-outs.
QImage haloLayer(const QImage& glyph, const QColor& halo, double pixelsPerUnit) {
    QImage shape = glyph;
    {
        QPainter tint(&shape);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(shape.rect(), halo);
    }
    QImage layer(glyph.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    QPainter painter(&layer);
    const double reach = haloWidth * pixelsPerUnit;
    painter.drawImage(QPointF(0, 0), shape);
    for (int step = 0; step < haloDirections; ++step) {
        const double angle = 2 * M_PI * step / haloDirections;
        for (const double distance : {reach / 2, reach}) {
            painter.drawImage(QPointF(distance * std::cos(angle), distance * std::sin(angle)), shape);
        }
    }
    return layer;
}

// Draws the glyph afresh for every size the icon is asked for, on a layer of its own so that the cut-outs
// clear only the glyph and never what the icon is painted over.
class GlyphEngine final : public QIconEngine {
public:
    GlyphEngine(view::MenuBarIcon icon, bool badged, QColor colour, std::optional<QColor> halo, QString name)
        : m_icon(icon), m_badged(badged), m_colour(colour), m_halo(halo), m_name(std::move(name)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = std::min(rect.width(), rect.height());
        QImage layer = image(m_icon, m_badged, qRound(side * ratio), m_colour, m_halo);
        layer.setDevicePixelRatio(ratio);
        painter->drawImage(
            QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0), layer);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return QPixmap::fromImage(
            image(m_icon, m_badged, std::min(size.width(), size.height()), m_colour, m_halo));
    }
    QIconEngine* clone() const override {
        return new GlyphEngine(m_icon, m_badged, m_colour, m_halo, m_name);
    }
    QString iconName() override { return m_name; }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {QSize(16, 16), QSize(18, 18), QSize(22, 22), QSize(24, 24),
                QSize(32, 32), QSize(36, 36), QSize(48, 48), QSize(64, 64)};
    }
    QString key() const override { return QStringLiteral("tandalo.menubar"); }

private:
    view::MenuBarIcon m_icon;
    bool m_badged;
    QColor m_colour;
    std::optional<QColor> m_halo;
    QString m_name;
};

} // namespace

void draw(QPainter& painter, view::MenuBarIcon icon, bool badged, const QColor& colour) {
    painter.setRenderHint(QPainter::Antialiasing);
    drawGlyph(painter, icon, colour);
    if (badged) {
        drawBadge(painter, colour);
    }
}

QImage image(view::MenuBarIcon icon, bool badged, int pixelSize, const QColor& colour,
             std::optional<QColor> halo) {
    QImage result(std::max(1, pixelSize), std::max(1, pixelSize), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    {
        QPainter painter(&result);
        painter.scale(result.width() / canvas, result.height() / canvas);
        draw(painter, icon, badged, colour);
    }
    if (!halo) {
        return result;
    }
    QImage framed = haloLayer(result, *halo, result.width() / canvas);
    QPainter painter(&framed);
    painter.drawImage(QPointF(0, 0), result);
    return framed;
}

QIcon icon(view::MenuBarIcon icon, bool badged, const QColor& colour, std::optional<QColor> halo,
           const QString& themeName) {
    // Main thread only, like every icon.
    static std::map<std::tuple<view::MenuBarIcon, bool, QRgb, std::optional<QRgb>, QString>, QIcon> made;
    auto& entry =
        made[{icon, badged, colour.rgba(), halo ? std::optional(halo->rgba()) : std::nullopt, themeName}];
    if (entry.isNull()) {
        entry = QIcon(new GlyphEngine(icon, badged, colour, halo, themeName));
    }
    return entry;
}

PanelInk panelInk(desktop::ColorScheme scheme, const QColor& textColour) {
    switch (scheme) {
    case desktop::ColorScheme::preferDark:
        return {lightInk, darkInk};
    case desktop::ColorScheme::preferLight:
        return {darkInk, lightInk};
    case desktop::ColorScheme::noPreference:
        break;
    }
    QColor ink = textColour;
    ink.setAlpha(255);
    return {ink, ink.lightnessF() < 0.5 ? lightInk : darkInk};
}

QString symbolicName(view::MenuBarIcon icon) {
    switch (icon) {
    case view::MenuBarIcon::mounted:
        return QStringLiteral("tandalo-mounted-symbolic");
    case view::MenuBarIcon::connected:
        return QStringLiteral("tandalo-connected-symbolic");
    case view::MenuBarIcon::needsFileTransfer:
        return QStringLiteral("tandalo-needs-file-transfer-symbolic");
    case view::MenuBarIcon::failed:
        return QStringLiteral("tandalo-failed-symbolic");
    case view::MenuBarIcon::idle:
        break;
    }
    return QStringLiteral("tandalo-idle-symbolic");
}

void findSymbolicIcons(const QString& programFolder) {
    QStringList paths = QIcon::themeSearchPaths();
    const QString beside = QDir::cleanPath(programFolder + QStringLiteral("/../share/icons"));
    if (!paths.contains(beside)) {
        paths.prepend(beside);
        QIcon::setThemeSearchPaths(paths);
    }
}

} // namespace tandalo::ui::MenuBarImages
