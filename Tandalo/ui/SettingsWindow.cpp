#include "Tandalo/ui/SettingsWindow.h"

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/Style.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tandalo::ui {

namespace {

constexpr int windowMargin = 20;
constexpr int sectionSpacing = 18;
constexpr int sectionHeaderSpacing = 6; // between a section's header and its group
constexpr int groupRadius = 8;
constexpr int rowSideMargin = 12;
constexpr int rowEndMargin = 8;
constexpr int rowSpacing = 8;
constexpr int statusSymbolSize = 16;

QLabel* label(const QString& text, TextStyle style, Tone tone, QWidget* parent) {
    auto* result = new QLabel(text, parent);
    result->setTextFormat(Qt::PlainText);
    setTextStyle(*result, style, tone);
    return result;
}

/// Makes the label's text selectable and copyable, as a value the user may want to paste elsewhere.
void makeSelectable(QLabel& label) {
    label.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label.setCursor(Qt::IBeamCursor);
}

/// One section of the form: an optional header above a rounded group whose rows stand apart by thin lines.
class Section {
public:
    Section(QVBoxLayout& form, const QString& header, QWidget* parent) {
        m_widget = new QWidget(parent);
        auto* column = new QVBoxLayout(m_widget);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(sectionHeaderSpacing);
        if (!header.isEmpty()) {
            auto* title = label(header, TextStyle::callout, Tone::secondary, m_widget);
            title->setFont(font(TextStyle::callout, QFont::DemiBold));
            column->addWidget(title);
        }
        auto* group = new QFrame(m_widget);
        group->setObjectName(QStringLiteral("group"));
        const QPalette palette = group->palette();
        group->setStyleSheet(QStringLiteral("#group { background-color: %1; border: 1px solid %2;"
                                            " border-radius: %3px; }")
                                 .arg(palette.color(QPalette::Base).name(QColor::HexArgb),
                                      colour(Tone::tertiary, palette).name(QColor::HexArgb))
                                 .arg(groupRadius));
        m_rows = new QVBoxLayout(group);
        m_rows->setContentsMargins(0, 0, 0, 0);
        m_rows->setSpacing(0);
        column->addWidget(group);
        form.addWidget(m_widget);
    }

    QWidget* widget() const { return m_widget; }

    /// A new row, below a line when rows stand above it; the returned row hides with its line.
    QWidget* addRow() {
        auto* row = new QWidget(m_widget);
        auto* column = new QVBoxLayout(row);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        if (m_rows->count() > 0) {
            auto* line = new QWidget(row);
            auto* inset = new QHBoxLayout(line);
            inset->setContentsMargins(rowSideMargin, 0, 0, 0);
            inset->addWidget(divider(line));
            column->addWidget(line);
        }
        m_rows->addWidget(row);
        return row;
    }

    /// The row's content: a horizontal line of items.
    static QHBoxLayout* line(QWidget* row) {
        auto* items = new QHBoxLayout;
        items->setContentsMargins(rowSideMargin, rowEndMargin, rowSideMargin, rowEndMargin);
        items->setSpacing(rowSpacing);
        static_cast<QVBoxLayout*>(row->layout())->addLayout(items);
        return items;
    }

private:
    QWidget* m_widget;
    QVBoxLayout* m_rows;
};

/// A toggle at the trailing end of its row, named by the row's label.
QCheckBox* toggleRow(Section& section, const QString& title) {
    QWidget* row = section.addRow();
    auto* items = Section::line(row);
    items->addWidget(label(title, TextStyle::body, Tone::primary, row));
    items->addStretch(1);
    auto* toggle = new QCheckBox(row);
    toggle->setAccessibleName(title);
    items->addWidget(toggle);
    return toggle;
}

} // namespace

SettingsWindow::SettingsWindow(ApplicationModel& model, std::function<void()> showSetupGuide, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_model(model), m_showSetupGuide(std::move(showSetupGuide)) {
    const QString name = QString::fromStdString(app::appDisplayName());
    setWindowTitle(tr("%1 Settings").arg(name));
    setFixedWidth(fixedWidth);

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(windowMargin, windowMargin, windowMargin, windowMargin);
    form->setSpacing(sectionSpacing);

    Section general(*form, {}, this);
    m_autoMount = toggleRow(general, tr("Mount devices automatically"));
    connect(m_autoMount, &QAbstractButton::clicked, this, [this](bool on) {
        m_model.setAutoMount(on);
        // The toggle shows what the model kept, which a preference that failed to store may not be.
        scheduleRefresh();
    });

    QWidget* folderRow = general.addRow();
    auto* folder = Section::line(folderRow);
    folder->addWidget(label(tr("Devices appear in"), TextStyle::body, Tone::primary, folderRow));
    m_folder = new ElidedLabel(folderRow, Qt::ElideMiddle);
    m_folder->setTextFormat(Qt::PlainText);
    m_folder->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setTextStyle(*m_folder, TextStyle::body, Tone::secondary);
    folder->addWidget(m_folder, 1);
    auto* change = textButton(tr("Change…"), ButtonProminence::small, folderRow);
    connect(change, &QAbstractButton::clicked, this, [this] { m_model.chooseFolder(); });
    folder->addWidget(change);

    m_launchAtLogin = toggleRow(general, tr("Launch at login"));
    connect(m_launchAtLogin, &QAbstractButton::clicked, this, [this](bool on) {
        m_model.setLaunchAtLogin(on);
        scheduleRefresh();
    });
    m_loginItemRow = general.addRow();
    m_loginItemFailure = label({}, TextStyle::caption, Tone::red, m_loginItemRow);
    m_loginItemFailure->setWordWrap(true);
    Section::line(m_loginItemRow)->addWidget(m_loginItemFailure);

    Section extension(*form, tr("File system extension"), this);
    QWidget* statusRow = extension.addRow();
    auto* status = Section::line(statusRow);
    m_extensionSymbol = new SymbolLabel(statusSymbolSize, statusRow);
    m_extensionText = label({}, TextStyle::body, Tone::primary, statusRow);
    status->addWidget(m_extensionSymbol);
    status->addWidget(m_extensionText);
    status->addStretch(1);
    auto* systemSettings = textButton(tr("Set-up Page…"), ButtonProminence::small, statusRow);
    connect(systemSettings, &QAbstractButton::clicked, this, [this] { m_model.turnOnExtension(); });
    auto* recheck = textButton(tr("Recheck"), ButtonProminence::small, statusRow);
    connect(recheck, &QAbstractButton::clicked, this, [this] { m_model.refreshExtensionStatus(); });
    status->addWidget(systemSettings);
    status->addWidget(recheck);

    QWidget* guideRow = extension.addRow();
    auto* guide = Section::line(guideRow);
    auto* showGuide = textButton(tr("Show setup guide…"), ButtonProminence::small, guideRow);
    connect(showGuide, &QAbstractButton::clicked, this, [this] {
        if (m_showSetupGuide) {
            m_showSetupGuide();
        }
    });
    guide->addWidget(showGuide);
    guide->addStretch(1);

    QWidget* explanationRow = extension.addRow();
    // On Linux the extension is this user's right to make FUSE mounts; "Set-up Page…" opens the page
    // that lists what this computer still lacks.
    m_explanation =
        label(tr("%1 mounts devices through FUSE. Your computer must let you make FUSE mounts once: "
                 "Set-up Page… shows what it still lacks and how to add it.")
                  .arg(name),
              TextStyle::caption, Tone::secondary, explanationRow);
    m_explanation->setWordWrap(true);
    Section::line(explanationRow)->addWidget(m_explanation);

    Section lastError(*form, tr("Last error"), this);
    m_lastErrorSection = lastError.widget();
    QWidget* errorRow = lastError.addRow();
    m_lastError = label({}, TextStyle::caption, Tone::primary, errorRow);
    m_lastError->setWordWrap(true);
    makeSelectable(*m_lastError);
    Section::line(errorRow)->addWidget(m_lastError);

    Section version(*form, {}, this);
    QWidget* versionRow = version.addRow();
    auto* versionItems = Section::line(versionRow);
    versionItems->addWidget(label(tr("Version"), TextStyle::body, Tone::primary, versionRow));
    versionItems->addStretch(1);
    m_version = label(QStringLiteral("%1 %2").arg(name, QString::fromStdString(app::appVersionString())),
                      TextStyle::body, Tone::secondary, versionRow);
    makeSelectable(*m_version);
    versionItems->addWidget(m_version);
    m_checkForUpdates = textButton(tr("Check for Updates…"), ButtonProminence::small, versionRow);
    connect(m_checkForUpdates, &QAbstractButton::clicked, this, [this] { m_model.checkForUpdates(); });
    versionItems->addWidget(m_checkForUpdates);

    m_modelChanges = m_model.objectWillChange().subscribe([this] { scheduleRefresh(); });
    refresh();
}

void SettingsWindow::open() {
    bringToFront(*this);
}

QAbstractButton* SettingsWindow::button(const QString& title) const {
    for (auto* each : findChildren<QAbstractButton*>()) {
        if (each->text() == title) {
            return each;
        }
    }
    return nullptr;
}

void SettingsWindow::scheduleRefresh() {
    // The model announces before it stores, and often several changes in a row: read once, afterwards.
    if (m_refreshQueued) {
        return;
    }
    m_refreshQueued = true;
    QMetaObject::invokeMethod(this, &SettingsWindow::refresh, Qt::QueuedConnection);
}

void SettingsWindow::refresh() {
    m_refreshQueued = false;
    m_content = view::settingsContent(m_model.state());

    m_autoMount->setChecked(m_content.autoMount);
    m_folder->setFullText(QString::fromStdString(m_content.folderText));
    m_launchAtLogin->setChecked(m_content.launchAtLogin);
    m_loginItemFailure->setText(QString::fromStdString(m_content.loginItemFailure.value_or("")));
    m_loginItemRow->setVisible(m_content.loginItemFailure.has_value());

    Tone tone = Tone::primary;
    QString text = tr("Checking…");
    switch (m_content.extensionLabel) {
    case view::ExtensionLabel::checking:
        break;
    case view::ExtensionLabel::enabled:
        tone = Tone::green;
        text = tr("Enabled");
        break;
    case view::ExtensionLabel::notEnabled:
        tone = Tone::red;
        text = tr("Not enabled");
        break;
    }
    m_extensionSymbol->setSymbol(std::string(view::extensionLabelSymbol(m_content.extensionLabel)),
                                 colour(tone));
    m_extensionText->setText(text);
    setTextStyle(*m_extensionText, TextStyle::body, tone);
    m_explanation->parentWidget()->setVisible(m_content.showsExplanation);

    m_lastError->setText(QString::fromStdString(m_content.lastError.value_or("")));
    m_lastErrorSection->setVisible(m_content.lastError.has_value());
    m_checkForUpdates->setEnabled(m_content.canCheckForUpdates);
    fitHeight();
}

void SettingsWindow::fitHeight() {
    // The height follows what shows: rows and sections come and go, and wrapping texts depend on the width.
    setFixedHeight(fittedHeight(*this, fixedWidth));
}

} // namespace tandalo::ui
