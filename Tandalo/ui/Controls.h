#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QPainterPath>
#include <QString>

#include <string>

class QPushButton;
class QVariantAnimation;
class QTimer;

namespace tandalo::ui {

/// A button drawn as a soft shape in the primary colour behind its face: faint at rest, stronger while the
/// pointer is over it (eased in over 0.12 s) and while pressed. It knows whether the pointer is over it
/// for as long as it stays in place, so a window that updates around it keeps its hover and focus.
class SoftButton : public QAbstractButton {
    Q_OBJECT
public:
    bool isHovering() const { return m_hovering; }

protected:
    explicit SoftButton(QWidget* parent);

    /// The opacity of the shape now.
    double fillOpacity() const;
    /// The shape, which is also where a click counts.
    virtual QPainterPath shape() const = 0;
    /// Whether a press shows (a button that only opens a menu does not).
    void setShowsPress(bool showsPress) { m_showsPress = showsPress; }
    /// Whether the focus ring shows: only when the keyboard brought the focus here, not a window that gave
    /// its first control the focus as it opened.
    bool showsFocusRing() const { return m_keyboardFocus && hasFocus(); }

    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    void setHovering(bool hovering);

    bool m_hovering = false;
    bool m_showsPress = true;
    bool m_keyboardFocus = false;
    double m_hoverProgress = 0.0; // 0 at rest, 1 while hovering
    QVariantAnimation* m_hoverAnimation;
};

/// A round 28-point button that shows a symbol: the rows' "Show in File Manager" and "Eject", and, without a
/// visible press, the face of the window's Options button.
class IconButton final : public SoftButton {
    Q_OBJECT
public:
    IconButton(std::string symbol, const QString& toolTip, QWidget* parent);
    /// A round face that shows no press: for a control that opens a menu rather than acting.
    static IconButton* softCircle(std::string symbol, const QString& toolTip, QWidget* parent);

    const std::string& symbol() const { return m_symbol; }
    QSize sizeHint() const override;

protected:
    QPainterPath shape() const override;
    void paintEvent(QPaintEvent* event) override;

private:
    std::string m_symbol;
};

/// A capsule 26 points high with a short title: "Mount", "Take Over", "Turn On…", "Update…".
class PillButton final : public SoftButton {
    Q_OBJECT
public:
    PillButton(const QString& title, QWidget* parent);
    QSize sizeHint() const override;

protected:
    QPainterPath shape() const override;
    void paintEvent(QPaintEvent* event) override;
};

/// A one-line text shortened with "…" where it does not fit (at its tail, or in its middle so that a
/// path keeps its start and its last name), with the whole text as its tooltip.
class ElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent, Qt::TextElideMode mode = Qt::ElideRight);
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    Qt::TextElideMode m_mode;
    QString m_fullText;
};

/// A tooltip that shows the text as written, even where it looks like markup ("<b>x</b>" from a device).
QString plainToolTip(const QString& text);

/// The height the widget's layout needs at that width, once the layout requests that its parts posted
/// (rows that came, went or rewrapped) are settled: for windows of a fixed width as high as their content.
int fittedHeight(QWidget& widget, int width);

/// Shows the window in front of the others. A window the user minimised counts as visible, and showing or
/// raising it leaves it down, so it is restored first.
void bringToFront(QWidget& window);

/// A thin line across a window between its parts.
QWidget* divider(QWidget* parent);

/// The push buttons of the set-up guide and the settings: a prominent one, filled with the accent colour,
/// for a step's main action, and a small plain one for the others.
enum class ButtonProminence { prominent, small };
QPushButton* textButton(const QString& title, ButtonProminence prominence, QWidget* parent);

/// A small spinning progress indicator, turning while it is shown.
class Spinner final : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* m_turn;
    int m_phase = 0;
};

/// A label that shows a symbol, sized in points.
class SymbolLabel final : public QLabel {
    Q_OBJECT
public:
    SymbolLabel(int size, QWidget* parent);
    /// Shows the symbol in the colour; does nothing when both are what it shows already.
    void setSymbol(const std::string& symbol, const QColor& colour);

private:
    int m_size;
    std::string m_symbol;
    QRgb m_colour = 0;
};

} // namespace tandalo::ui
