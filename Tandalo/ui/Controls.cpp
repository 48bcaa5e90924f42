#include "Tandalo/ui/Controls.h"

#include "Tandalo/ui/Style.h"
#include "Tandalo/ui/Symbols.h"

#include <QCoreApplication>
#include <QEasingCurve>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QFrame>
#include <QLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVariantAnimation>

#include <utility>

namespace tandalo::ui {

namespace {

constexpr int hoverMilliseconds = 120;

constexpr int iconButtonSide = 28;
constexpr int iconButtonSymbol = 14; // the symbol as large as a 12-point semibold glyph

constexpr int pillHeight = 26;
constexpr int pillPadding = 12; // left and right of the title

constexpr int prominentRadius = 6;
constexpr int prominentVerticalPadding = 4;
constexpr int prominentSidePadding = 12;
constexpr int pressedDarkening = 120; // percent

constexpr int spinnerSide = 12; // the mini control size
constexpr int spinnerSpokes = 8;
constexpr int spinnerStepMilliseconds = 80;

void fillShape(QPainter& painter, const QPainterPath& shape, double opacity) {
    QColor fill = colour(Tone::primary);
    fill.setAlphaF(fill.alphaF() * opacity);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(shape, fill);
}

} // namespace

SoftButton::SoftButton(QWidget* parent)
    : QAbstractButton(parent), m_hoverAnimation(new QVariantAnimation(this)) {
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);
    m_hoverAnimation->setDuration(hoverMilliseconds);
    m_hoverAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_hoverAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_hoverProgress = value.toDouble();
        update();
    });
}

double SoftButton::fillOpacity() const {
    if (m_showsPress && isDown()) {
        return ControlFill::pressed;
    }
    return ControlFill::resting + (ControlFill::hovering - ControlFill::resting) * m_hoverProgress;
}

void SoftButton::enterEvent(QEnterEvent* event) {
    setHovering(true);
    QAbstractButton::enterEvent(event);
}

void SoftButton::leaveEvent(QEvent* event) {
    setHovering(false);
    QAbstractButton::leaveEvent(event);
}

void SoftButton::focusInEvent(QFocusEvent* event) {
    m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason ||
                      event->reason() == Qt::ShortcutFocusReason;
    QAbstractButton::focusInEvent(event);
}

void SoftButton::focusOutEvent(QFocusEvent* event) {
    m_keyboardFocus = false;
    QAbstractButton::focusOutEvent(event);
}

bool SoftButton::hitButton(const QPoint& position) const {
    return shape().contains(QPointF(position) + QPointF(0.5, 0.5));
}

void SoftButton::setHovering(bool hovering) {
    if (hovering == m_hovering) {
        return;
    }
    m_hovering = hovering;
    m_hoverAnimation->stop();
    m_hoverAnimation->setStartValue(m_hoverProgress);
    m_hoverAnimation->setEndValue(hovering ? 1.0 : 0.0);
    m_hoverAnimation->start();
}

IconButton::IconButton(std::string symbol, const QString& toolTip, QWidget* parent)
    : SoftButton(parent), m_symbol(std::move(symbol)) {
    setToolTip(toolTip);
    setAccessibleName(toolTip);
    setFixedSize(iconButtonSide, iconButtonSide);
}

IconButton* IconButton::softCircle(std::string symbol, const QString& toolTip, QWidget* parent) {
    auto* button = new IconButton(std::move(symbol), toolTip, parent);
    button->setShowsPress(false);
    return button;
}

QSize IconButton::sizeHint() const {
    return {iconButtonSide, iconButtonSide};
}

QPainterPath IconButton::shape() const {
    QPainterPath circle;
    circle.addEllipse(QRectF(rect()));
    return circle;
}

void IconButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillShape(painter, shape(), fillOpacity());
    const QPixmap face =
        Symbols::pixmap(m_symbol, iconButtonSymbol, colour(Tone::primary), devicePixelRatioF());
    const int offset = (iconButtonSide - iconButtonSymbol) / 2;
    painter.drawPixmap(offset, offset, face);
    if (showsFocusRing()) {
        painter.setPen(QPen(colour(Tone::accent), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75));
    }
}

PillButton::PillButton(const QString& title, QWidget* parent) : SoftButton(parent) {
    setText(title);
    setFont(ui::font(TextStyle::callout, QFont::Medium));
    setFixedHeight(pillHeight);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize PillButton::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text()) + 2 * pillPadding, pillHeight};
}

QPainterPath PillButton::shape() const {
    const QRectF bounds(rect());
    QPainterPath capsule;
    capsule.addRoundedRect(bounds, bounds.height() / 2, bounds.height() / 2);
    return capsule;
}

void PillButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF bounds(rect());
    const QPainterPath capsule = shape();
    fillShape(painter, capsule, fillOpacity());
    if (showsFocusRing()) {
        painter.setPen(QPen(colour(Tone::accent), 1.5));
        painter.drawPath(capsule);
    }
    painter.setPen(colour(Tone::primary));
    painter.drawText(bounds, Qt::AlignCenter, text());
}

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode mode) : QLabel(parent), m_mode(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Its texts are names and paths from devices and disks, never markup.
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == m_fullText) {
        return;
    }
    m_fullText = text;
    setToolTip(plainToolTip(text));
    setAccessibleName(text);
    updateGeometry();
    elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, fontMetrics().height()};
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(m_fullText), fontMetrics().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    setText(fontMetrics().elidedText(m_fullText, m_mode, width()));
}

QString plainToolTip(const QString& text) {
    // A tooltip that looks like markup is drawn as markup: as escaped rich text it reads as written, on
    // one line as a plain tooltip would.
    return text.isEmpty() ? text
                          : QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(text.toHtmlEscaped());
}

int fittedHeight(QWidget& widget, int width) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    auto* layout = widget.layout();
    layout->activate();
    return layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                       : layout->totalSizeHint().height();
}

void bringToFront(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

QWidget* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour(Tone::tertiary));
    line->setPalette(palette);
    return line;
}

QPushButton* textButton(const QString& title, ButtonProminence prominence, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setAutoDefault(false);
    if (prominence == ButtonProminence::small) {
        button->setFont(font(TextStyle::callout));
        return button;
    }
    const QPalette palette = button->palette();
    const QColor accent = colour(Tone::accent, palette);
    button->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; border: none;"
                                         " border-radius: %3px; padding: %4px %5px; }"
                                         "QPushButton:pressed { background-color: %6; }")
                              .arg(accent.name(), palette.color(QPalette::HighlightedText).name())
                              .arg(prominentRadius)
                              .arg(prominentVerticalPadding)
                              .arg(prominentSidePadding)
                              .arg(accent.darker(pressedDarkening).name()));
    return button;
}

Spinner::Spinner(QWidget* parent) : QWidget(parent), m_turn(new QTimer(this)) {
    setFixedSize(spinnerSide, spinnerSide);
    m_turn->setInterval(spinnerStepMilliseconds);
    connect(m_turn, &QTimer::timeout, this, [this] {
        m_phase = (m_phase + 1) % spinnerSpokes;
        update();
    });
}

QSize Spinner::sizeHint() const {
    return {spinnerSide, spinnerSide};
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double outer = spinnerSide / 2.0 - 1;
    for (int spoke = 0; spoke < spinnerSpokes; ++spoke) {
        // The leading spoke is darkest; the ones behind it fade.
        const int age = (spoke - m_phase + spinnerSpokes) % spinnerSpokes;
        QColor ink = palette().color(QPalette::WindowText);
        ink.setAlphaF(ink.alphaF() * (1.0 - age / double(spinnerSpokes)));
        painter.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -outer / 2), QPointF(0, -outer));
        painter.rotate(360.0 / spinnerSpokes);
    }
}

void Spinner::showEvent(QShowEvent* event) {
    m_turn->start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent* event) {
    m_turn->stop();
    QWidget::hideEvent(event);
}

SymbolLabel::SymbolLabel(int size, QWidget* parent) : QLabel(parent), m_size(size) {
    setAlignment(Qt::AlignCenter);
}

void SymbolLabel::setSymbol(const std::string& symbol, const QColor& colour) {
    if (symbol == m_symbol && colour.rgba() == m_colour) {
        return;
    }
    m_symbol = symbol;
    m_colour = colour.rgba();
    setPixmap(Symbols::pixmap(symbol, m_size, colour, devicePixelRatioF()));
}

} // namespace tandalo::ui
