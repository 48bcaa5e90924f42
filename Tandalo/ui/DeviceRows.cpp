#include "Tandalo/ui/DeviceRows.h"

#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/Style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace tandalo::ui {

namespace {

constexpr int rowSpacing = 10;
constexpr int rowSideMargin = 14;
constexpr int rowEndMargin = 8; // top and bottom
constexpr int symbolColumn = 28;
constexpr int symbolSize = 22; // a title-2 glyph
constexpr int nameSpacing = 2; // between the name and the status line
constexpr int waitingTextSpacing = 3;
constexpr int progressSpacing = 4;
constexpr int batterySymbolSize = 14;
constexpr int buttonSpacing = 6;

QLabel* wrappingCaption(Tone tone, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    setTextStyle(*label, TextStyle::caption, tone);
    return label;
}

ElidedLabel* nameLabel(QWidget* parent) {
    auto* name = new ElidedLabel(parent);
    name->setTextFormat(Qt::PlainText);
    setTextStyle(*name, TextStyle::body, Tone::primary, QFont::Medium);
    return name;
}

QString shownText(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

void showDeviceFolder(ApplicationModel& model, std::string_view id) {
    const auto entry = model.state().device(id);
    if (entry && entry->state.isMounted()) {
        model.openFolder(*entry);
    }
}

void mountDevice(ApplicationModel& model, std::string_view id,
                 ApplicationModel::TakeOverFromAnyone takeOver) {
    if (const auto entry = model.state().device(id)) {
        model.mount(*entry, takeOver);
    }
}

DeviceRow::DeviceRow(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(rowSpacing);
    layout->setContentsMargins(rowSideMargin, rowEndMargin, rowSideMargin, rowEndMargin);

    m_symbol = new SymbolLabel(symbolSize, this);
    m_symbol->setFixedWidth(symbolColumn);
    layout->addWidget(m_symbol, 0, Qt::AlignVCenter);

    auto* text = new QVBoxLayout;
    text->setSpacing(nameSpacing);
    m_name = nameLabel(this);
    text->addWidget(m_name);

    m_message = wrappingCaption(Tone::red, this);
    text->addWidget(m_message);

    m_battery = new QWidget(this);
    auto* battery = new QHBoxLayout(m_battery);
    battery->setContentsMargins(0, 0, 0, 0);
    battery->setSpacing(progressSpacing);
    m_batteryText = new QLabel(m_battery);
    setTextStyle(*m_batteryText, TextStyle::caption, Tone::secondary);
    m_batterySymbol = new SymbolLabel(batterySymbolSize, m_battery);
    battery->addWidget(m_batterySymbol);
    battery->addWidget(m_batteryText);
    battery->addStretch();
    m_battery->setToolTip(tr("Battery"));
    text->addWidget(m_battery);

    m_progress = new QWidget(this);
    auto* progress = new QHBoxLayout(m_progress);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->setSpacing(progressSpacing);
    auto* spinner = new Spinner(m_progress);
    spinner->setPalette(m_batteryText->palette());
    m_progressText = new QLabel(m_progress);
    setTextStyle(*m_progressText, TextStyle::caption, Tone::secondary);
    progress->addWidget(spinner);
    progress->addWidget(m_progressText);
    progress->addStretch();
    text->addWidget(m_progress);

    layout->addLayout(text, 1);

    m_buttonLayout = new QHBoxLayout;
    m_buttonLayout->setSpacing(buttonSpacing);
    layout->addLayout(m_buttonLayout);

    m_message->hide();
    m_battery->hide();
    m_progress->hide();
}

void DeviceRow::setState(const view::DeviceRowState& state) {
    if (m_shown && state == m_state) {
        return;
    }
    m_shown = true;
    m_state = state;
    m_symbol->setSymbol("smartphone", colour(state.isMounted ? Tone::primary : Tone::secondary));
    m_name->setFullText(shownText(state.name));

    const bool message =
        state.status == view::RowStatus::ejectNote || state.status == view::RowStatus::failure;
    if (message) {
        setTextStyle(*m_message, TextStyle::caption,
                     state.status == view::RowStatus::failure ? Tone::red : Tone::orange);
        m_message->setText(shownText(state.statusText));
    }
    m_message->setVisible(message);

    const bool battery = state.status == view::RowStatus::battery;
    if (battery) {
        m_batteryText->setText(shownText(state.statusText));
        m_batterySymbol->setSymbol(state.batterySymbol, colour(Tone::secondary));
    }
    m_battery->setVisible(battery);

    const bool progress =
        state.status == view::RowStatus::mounting || state.status == view::RowStatus::ejecting;
    if (progress) {
        m_progressText->setText(state.status == view::RowStatus::ejecting ? tr("Ejecting…")
                                                                          : tr("Mounting…"));
    }
    m_progress->setVisible(progress);

    showButtons(state.buttons);
}

SoftButton* DeviceRow::button(view::RowButton kind) const {
    const auto found = m_buttons.find(kind);
    return found == m_buttons.end() ? nullptr : found->second;
}

void DeviceRow::showButtons(const std::vector<view::RowButton>& buttons) {
    for (auto entry = m_buttons.begin(); entry != m_buttons.end();) {
        if (std::find(buttons.begin(), buttons.end(), entry->first) == buttons.end()) {
            delete entry->second;
            entry = m_buttons.erase(entry);
        } else {
            ++entry;
        }
    }
    for (std::size_t index = 0; index < buttons.size(); ++index) {
        auto*& widget = m_buttons[buttons[index]];
        if (widget == nullptr) {
            widget = makeButton(buttons[index]);
        }
        // Moving a widget within its layout keeps it, and with it its hover and focus.
        m_buttonLayout->removeWidget(widget);
        m_buttonLayout->insertWidget(static_cast<int>(index), widget, 0, Qt::AlignVCenter);
        // Shown now rather than by the layout's later turn, so the window measures its height with it.
        widget->show();
    }
}

SoftButton* DeviceRow::makeButton(view::RowButton kind) {
    SoftButton* button = nullptr;
    switch (kind) {
    case view::RowButton::showInFinder:
        button = new IconButton("folder", tr("Show in File Manager"), this);
        break;
    case view::RowButton::eject:
        button = new IconButton("eject", tr("Eject"), this);
        break;
    case view::RowButton::takeOver:
        button = new PillButton(tr("Take Over"), this);
        button->setToolTip(tr("Close the device in the other app and mount it here"));
        break;
    case view::RowButton::chooseFolder:
        button = new PillButton(tr("Choose Folder…"), this);
        break;
    case view::RowButton::mount:
        button = new PillButton(tr("Mount"), this);
        break;
    }
    connect(button, &QAbstractButton::clicked, this, [this, kind] { emit buttonClicked(kind); });
    return button;
}

WaitingRow::WaitingRow(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(rowSpacing);
    layout->setContentsMargins(rowSideMargin, rowEndMargin, rowSideMargin, rowEndMargin);
    auto* symbol = new SymbolLabel(symbolSize, this);
    symbol->setFixedWidth(symbolColumn);
    symbol->setSymbol("iphone.gen3.badge.exclamationmark", colour(Tone::orange));
    layout->addWidget(symbol, 0, Qt::AlignTop);

    auto* text = new QVBoxLayout;
    text->setSpacing(waitingTextSpacing);
    m_name = nameLabel(this);
    m_mode = wrappingCaption(Tone::orange, this);
    m_hint = wrappingCaption(Tone::secondary, this);
    text->addWidget(m_name);
    text->addWidget(m_mode);
    text->addWidget(m_hint);
    layout->addLayout(text, 1);
}

void WaitingRow::setState(const view::WaitingRowState& state) {
    m_name->setFullText(shownText(state.name));
    m_mode->setText(state.hasADB ? tr("Connected in charge-only mode (USB debugging)")
                                 : tr("Connected in charge-only mode"));
    m_hint->setText(shownText(state.hint));
}

} // namespace tandalo::ui
