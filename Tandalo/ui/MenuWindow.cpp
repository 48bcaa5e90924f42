#include "Tandalo/ui/MenuWindow.h"

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/DeviceRows.h"
#include "Tandalo/ui/Style.h"
#include "platform/desktop/ClockTimers.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace tandalo::ui {

namespace {

constexpr int bannerSpacing = 10;
constexpr int bannerSideMargin = 14;
constexpr int bannerEndMargin = 10;
constexpr int bannerSymbolColumn = 28;
constexpr int bannerSymbolSize = 20;

constexpr int emptySpacing = 6;
constexpr int emptySideMargin = 14;
constexpr int emptyEndMargin = 18;
constexpr int emptySymbolSize = 26; // a title-2 glyph

constexpr int listEndMargin = 6;

constexpr int footerSpacing = 8;
constexpr int footerSideMargin = 14;
constexpr int footerEndMargin = 8;

constexpr int menuGap = 2; // between the Options button and its menu

QLabel* label(const QString& text, TextStyle style, Tone tone, QWidget* parent) {
    auto* result = new QLabel(text, parent);
    result->setTextFormat(Qt::PlainText);
    setTextStyle(*result, style, tone);
    return result;
}

} // namespace

MenuWindow::MenuWindow(ApplicationModel& model, desktop::ClockTimers& timers, SceneActions scene,
                       Presentation presentation, QWidget* parent)
    : QWidget(parent, presentation == Presentation::popup ? Qt::Popup : Qt::Window), m_model(model),
      m_timers(timers), m_scene(std::move(scene)), m_presentation(presentation) {
    setWindowTitle(QString::fromStdString(app::appDisplayName()));
    setFixedWidth(fixedWidth);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_extensionBanner =
        makeBanner(*layout, "exclamationmark.triangle.fill", colour(Tone::orange), tr("Turn On…"));
    m_extensionBanner.message->setText(tr("Tandalo is switched off on this computer"));
    connect(m_extensionBanner.button, &QAbstractButton::clicked, this, [this] { m_model.turnOnExtension(); });

    m_updateBanner = makeBanner(*layout, "arrow.down.circle.fill", colour(Tone::accent), tr("Update…"));
    connect(m_updateBanner.button, &QAbstractButton::clicked, this, [this] { m_model.showWaitingUpdate(); });

    m_emptyState = makeEmptyState();
    layout->addWidget(m_emptyState);

    m_list = new QWidget(this);
    m_listLayout = new QVBoxLayout(m_list);
    m_listLayout->setContentsMargins(0, listEndMargin, 0, listEndMargin);
    m_listLayout->setSpacing(0);
    layout->addWidget(m_list);

    layout->addWidget(divider(this));
    auto* footer = new QHBoxLayout;
    footer->setSpacing(footerSpacing);
    footer->setContentsMargins(footerSideMargin, footerEndMargin, footerSideMargin, footerEndMargin);
    footer->addStretch();
    m_options = IconButton::softCircle("ellipsis", tr("Options"), this);
    connect(m_options, &QAbstractButton::pressed, this, &MenuWindow::openOptionsMenu);
    footer->addWidget(m_options);
    layout->addLayout(footer);

    m_modelChanges = m_model.objectWillChange().subscribe([this] { scheduleRefresh(); });
    refresh();
}

MenuWindow::~MenuWindow() {
    if (m_batteryTimer) {
        m_timers.cancel(*m_batteryTimer);
    }
}

MenuWindow::BannerParts MenuWindow::makeBanner(QVBoxLayout& layout, const std::string& symbol,
                                               const QColor& tint, const QString& title) {
    BannerParts parts;
    parts.banner = new QWidget(this);
    auto* row = new QHBoxLayout(parts.banner);
    row->setSpacing(bannerSpacing);
    row->setContentsMargins(bannerSideMargin, bannerEndMargin, bannerSideMargin, bannerEndMargin);
    auto* icon = new SymbolLabel(bannerSymbolSize, parts.banner);
    icon->setFixedWidth(bannerSymbolColumn);
    icon->setSymbol(symbol, tint);
    row->addWidget(icon);
    parts.message = label({}, TextStyle::callout, Tone::primary, parts.banner);
    parts.message->setWordWrap(true);
    row->addWidget(parts.message, 1);
    parts.button = new PillButton(title, parts.banner);
    row->addWidget(parts.button);
    parts.divider = divider(this);
    layout.addWidget(parts.banner);
    layout.addWidget(parts.divider);
    return parts;
}

QWidget* MenuWindow::makeEmptyState() {
    auto* empty = new QWidget(this);
    auto* column = new QVBoxLayout(empty);
    column->setSpacing(emptySpacing);
    column->setContentsMargins(emptySideMargin, emptyEndMargin, emptySideMargin, emptyEndMargin);
    auto* symbol = new SymbolLabel(emptySymbolSize, empty);
    symbol->setSymbol("laptopcomputer.and.iphone", colour(Tone::tertiary));
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    column->addWidget(
        label(tr("Plug in a phone, tablet or e-reader"), TextStyle::body, Tone::secondary, empty), 0,
        Qt::AlignHCenter);
    auto* hint =
        label(tr("On Android, unlock it and choose File Transfer. Nothing shows up? Try another cable."),
              TextStyle::caption, Tone::tertiary, empty);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignHCenter);
    column->addWidget(hint);
    return empty;
}

DeviceRow* MenuWindow::row(const std::string& id) const {
    const auto found = m_rows.find(id);
    return found == m_rows.end() ? nullptr : found->second;
}

WaitingRow* MenuWindow::waitingRow(std::uint64_t id) const {
    const auto found = m_waitingRows.find(id);
    return found == m_waitingRows.end() ? nullptr : found->second;
}

QWidget* MenuWindow::banner(view::Banner banner) const {
    return banner == view::Banner::extensionOff ? m_extensionBanner.banner : m_updateBanner.banner;
}

PillButton* MenuWindow::bannerButton(view::Banner banner) const {
    return banner == view::Banner::extensionOff ? m_extensionBanner.button : m_updateBanner.button;
}

void MenuWindow::scheduleRefresh() {
    // The model announces before it stores, and often several changes in a row: read once, afterwards.
    if (m_refreshQueued) {
        return;
    }
    m_refreshQueued = true;
    QMetaObject::invokeMethod(this, &MenuWindow::refresh, Qt::QueuedConnection);
}

void MenuWindow::refresh() {
    m_refreshQueued = false;
    m_state = m_model.state();
    m_content = view::menuContent(m_state);
    const auto shows = [this](view::Banner banner) {
        return std::find(m_content.banners.begin(), m_content.banners.end(), banner) !=
               m_content.banners.end();
    };
    for (const auto& [kind, parts] : {std::pair{view::Banner::extensionOff, &m_extensionBanner},
                                      std::pair{view::Banner::updateAvailable, &m_updateBanner}}) {
        parts->banner->setVisible(shows(kind));
        parts->divider->setVisible(shows(kind));
    }
    m_updateBanner.message->setText(tr("%1 %2 is available")
                                        .arg(QString::fromStdString(app::appDisplayName()),
                                             QString::fromStdString(m_content.updateVersion)));
    m_emptyState->setVisible(m_content.showsEmptyState);
    m_list->setVisible(!m_content.showsEmptyState);
    showRows();
    fitHeight();
}

void MenuWindow::showRows() {
    // Rows are kept by identity: a device that stays keeps its widget, and with it hover and focus.
    std::map<std::string, DeviceRow*> rows;
    std::map<std::uint64_t, WaitingRow*> waitingRows;
    int index = 0;
    for (const auto& state : m_content.rows) {
        auto* row = m_rows.contains(state.id) ? m_rows.extract(state.id).mapped() : nullptr;
        if (row == nullptr) {
            row = new DeviceRow(m_list);
            connect(row, &DeviceRow::buttonClicked, this,
                    [this, row](view::RowButton button) { rowClicked(row->state().id, button); });
        }
        row->setState(state);
        if (m_listLayout->indexOf(row) != index) {
            m_listLayout->removeWidget(row);
            m_listLayout->insertWidget(index, row);
        }
        row->show();
        rows.emplace(state.id, row);
        ++index;
    }
    for (const auto& state : m_content.waitingRows) {
        auto* row = m_waitingRows.contains(state.id) ? m_waitingRows.extract(state.id).mapped() : nullptr;
        if (row == nullptr) {
            row = new WaitingRow(m_list);
        }
        row->setState(state);
        if (m_listLayout->indexOf(row) != index) {
            m_listLayout->removeWidget(row);
            m_listLayout->insertWidget(index, row);
        }
        row->show();
        waitingRows.emplace(state.id, row);
        ++index;
    }
    // What is left belongs to devices that are gone.
    for (auto& [id, row] : m_rows) {
        delete row;
    }
    for (auto& [id, row] : m_waitingRows) {
        delete row;
    }
    m_rows = std::move(rows);
    m_waitingRows = std::move(waitingRows);
}

void MenuWindow::fitHeight() {
    // Wrapping texts make the height depend on the width, which is fixed.
    setFixedHeight(fittedHeight(*this, fixedWidth));
    if (isVisible()) {
        place();
    }
}

void MenuWindow::open(const QRect& anchor) {
    if (m_presentation == Presentation::popup) {
        m_anchor = anchor;
        place();
    }
    bringToFront(*this);
}

void MenuWindow::place() {
    if (!m_anchor) {
        return;
    }
    const QScreen* screen = QGuiApplication::screenAt(m_anchor->center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        move(dropDownPosition(*m_anchor, size(), screen->availableGeometry()));
    }
}

void MenuWindow::rowClicked(const std::string& id, view::RowButton button) {
    switch (button) {
    case view::RowButton::showInFinder:
        showDeviceFolder(m_model, id);
        return;
    case view::RowButton::eject:
        if (const auto entry = m_model.state().device(id)) {
            m_model.eject(*entry);
        }
        return;
    case view::RowButton::takeOver:
        mountDevice(m_model, id, ApplicationModel::TakeOverFromAnyone::yes);
        return;
    case view::RowButton::chooseFolder:
        m_model.chooseFolder();
        return;
    case view::RowButton::mount:
        mountDevice(m_model, id, ApplicationModel::TakeOverFromAnyone::no);
        return;
    }
}

void MenuWindow::openOptionsMenu() {
    if (m_optionsMenu && m_optionsMenu->isVisible()) {
        m_optionsMenu->close();
        return;
    }
    // Built afresh each time it opens, so it matches the model at the click.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    fillCommandMenu(*menu, view::commandMenu(m_model.state()), m_model, m_scene, SettingsRoute::direct);
    m_optionsMenu = menu;
    connect(menu, &QMenu::aboutToHide, m_options, [this] { m_options->setDown(false); });
    const QPoint below = m_options->mapToGlobal(QPoint(m_options->width(), m_options->height() + menuGap));
    menu->popup(QPoint(below.x() - menu->sizeHint().width(), below.y()));
}

void MenuWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_model.cleanUpStaleMounts();
    m_model.refreshBatteryLevels();
    m_model.refreshExtensionStatus();
    scheduleBatteryRefresh();
}

void MenuWindow::hideEvent(QHideEvent* event) {
    if (m_batteryTimer) {
        m_timers.cancel(*m_batteryTimer);
        m_batteryTimer.reset();
    }
    if (m_optionsMenu) {
        m_optionsMenu->close();
    }
    QWidget::hideEvent(event);
}

void MenuWindow::keyPressEvent(QKeyEvent* event) {
    // A drop-down goes away with Escape, as a menu does.
    if (event->key() == Qt::Key_Escape && m_presentation == Presentation::popup) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MenuWindow::scheduleBatteryRefresh() {
    if (m_batteryTimer) {
        m_timers.cancel(*m_batteryTimer);
    }
    m_batteryTimer = m_timers.start(batteryInterval, [this] {
        m_batteryTimer.reset();
        m_model.refreshBatteryLevels();
        scheduleBatteryRefresh();
    });
}

QPoint dropDownPosition(const QRect& anchor, const QSize& size, const QRect& available) {
    int x = anchor.center().x() - size.width() / 2;
    x = std::clamp(x, available.left(), std::max(available.left(), available.right() + 1 - size.width()));
    int y = anchor.bottom() + 1;
    if (y + size.height() > available.bottom() + 1 && anchor.top() - size.height() >= available.top()) {
        y = anchor.top() - size.height();
    }
    y = std::clamp(y, available.top(), std::max(available.top(), available.bottom() + 1 - size.height()));
    return {x, y};
}

} // namespace tandalo::ui
