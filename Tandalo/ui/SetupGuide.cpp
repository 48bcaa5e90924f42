#include "Tandalo/ui/SetupGuide.h"

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/MountLocation.h"
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/DeviceRows.h"
#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/Style.h"
#include "Tandalo/ui/Symbols.h"
#include "platform/desktop/ClockTimers.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tandalo::ui {

namespace {

using view::GuideButton;
using view::GuideText;
using view::GuideTextRole;
using view::SetupStep;

constexpr int headerSpacing = 14;
constexpr int headerMargin = 20;
constexpr int headerIconSize = 34;
constexpr int headerTextSpacing = 3;

constexpr int stepsSpacing = 18;
constexpr int stepsMargin = 20;

constexpr int footerSideMargin = 20;
constexpr int footerEndMargin = 14;

constexpr QSize minimumContentSize{480, 520};

constexpr int stepRowSpacing = 12;
constexpr int stepColumnSpacing = 6;
constexpr int badgeSide = 26;
constexpr int badgeSymbolSize = 12;
constexpr double badgeDoneOpacity = 0.15;
constexpr double badgeOpacity = 0.12;
constexpr int actionRowSpacing = 10;  // a button with what stands beside it
constexpr int progressRowSpacing = 8; // a spinner with its text

QString stepTitle(SetupStep step) {
    switch (step) {
    case SetupStep::extension:
        return SetupGuideWindow::tr("Turn on the file system extension");
    case SetupStep::notifications:
        return SetupGuideWindow::tr("Allow notifications");
    case SetupStep::folder:
        return SetupGuideWindow::tr("Choose where devices appear");
    case SetupStep::device:
        return SetupGuideWindow::tr("Plug in your device");
    case SetupStep::allSet:
        break;
    }
    return SetupGuideWindow::tr("You're all set");
}

QString buttonTitle(GuideButton button) {
    switch (button) {
    case GuideButton::openSystemSettings:
        return SetupGuideWindow::tr("Open Set-up Page");
    case GuideButton::allowNotifications:
        return SetupGuideWindow::tr("Allow Notifications");
    case GuideButton::openNotificationSettings:
        return SetupGuideWindow::tr("Open Notification Settings");
    case GuideButton::chooseFolder:
        return SetupGuideWindow::tr("Choose Folder…");
    case GuideButton::tryAgain:
        return SetupGuideWindow::tr("Try Again");
    case GuideButton::mount:
        return SetupGuideWindow::tr("Mount");
    case GuideButton::showInFinder:
        break;
    }
    return SetupGuideWindow::tr("Show in File Manager");
}

/// A text of a step, wrapping, with its bold pieces; names are escaped, so they never read as markup.
QLabel* guideLabel(const GuideText& text, QWidget* parent) {
    QString html;
    for (const auto& run : text.runs) {
        const QString escaped = QString::fromStdString(run.text).toHtmlEscaped();
        html += run.bold ? QStringLiteral("<b>%1</b>").arg(escaped) : escaped;
    }
    auto* label = new QLabel(html, parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    switch (text.role) {
    case GuideTextRole::explanation:
        setTextStyle(*label, TextStyle::body, Tone::secondary);
        break;
    case GuideTextRole::warning:
        setTextStyle(*label, TextStyle::body, Tone::orange);
        break;
    case GuideTextRole::failure:
        setTextStyle(*label, TextStyle::body, Tone::red);
        break;
    case GuideTextRole::waitingCaption:
        setTextStyle(*label, TextStyle::caption, Tone::tertiary);
        break;
    case GuideTextRole::caption:
        setTextStyle(*label, TextStyle::caption, Tone::secondary);
        break;
    }
    return label;
}

/// The round badge of a step: its number, or a green checkmark once it is done.
class StepBadge final : public QWidget {
public:
    explicit StepBadge(QWidget* parent) : QWidget(parent) { setFixedSize(badgeSide, badgeSide); }

    void setStep(int number, bool done) {
        if (number == m_number && done == m_done) {
            return;
        }
        m_number = number;
        m_done = done;
        setAccessibleName(done ? SetupGuideWindow::tr("Done") : QString::number(number));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = colour(m_done ? Tone::green : Tone::secondary, palette());
        fill.setAlphaF(fill.alphaF() * (m_done ? badgeDoneOpacity : badgeOpacity));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(rect());
        if (m_done) {
            const QPixmap mark = Symbols::pixmap("checkmark", badgeSymbolSize, colour(Tone::green, palette()),
                                                 devicePixelRatioF());
            const QPoint corner((width() - badgeSymbolSize) / 2, (height() - badgeSymbolSize) / 2);
            painter.drawPixmap(corner, mark);
            return;
        }
        painter.setFont(ui::font(TextStyle::callout, QFont::DemiBold));
        painter.setPen(colour(Tone::secondary, palette()));
        painter.drawText(rect(), Qt::AlignCenter, QString::number(m_number));
    }

private:
    int m_number = 0;
    bool m_done = false;
};

} // namespace

/// One numbered step: its badge, its title and what it says and offers now. Its content is made anew
/// only when what the step shows changed.
class StepRow final : public QWidget {
public:
    StepRow(SetupStep step, std::function<void()> buttonClicked, QWidget* parent)
        : QWidget(parent), m_buttonClicked(std::move(buttonClicked)) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(stepRowSpacing);
        m_badge = new StepBadge(this);
        row->addWidget(m_badge, 0, Qt::AlignTop);
        m_column = new QVBoxLayout;
        m_column->setSpacing(stepColumnSpacing);
        auto* title = new QLabel(stepTitle(step), this);
        title->setTextFormat(Qt::PlainText);
        setTextStyle(*title, TextStyle::headline, Tone::primary);
        m_column->addWidget(title);
        row->addLayout(m_column, 1);
        // A step is as high as what it says: the room left over in the window stays below the last one.
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    }

    void setStep(const view::GuideStep& step) {
        m_badge->setStep(step.number, step.done);
        const bool sameContent = m_shown && step.above == m_step.above && step.button == m_step.button &&
                                 step.spinner == m_step.spinner && step.besideButton == m_step.besideButton &&
                                 step.below == m_step.below;
        m_step = step;
        m_shown = true;
        if (!sameContent) {
            makeContent();
        }
    }

    QPushButton* button() const { return m_button; }

private:
    void makeContent() {
        delete m_content;
        m_button = nullptr;
        m_content = new QWidget(this);
        auto* column = new QVBoxLayout(m_content);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(stepColumnSpacing);
        for (const auto& text : m_step.above) {
            column->addWidget(guideLabel(text, m_content));
        }
        if (m_step.button || m_step.spinner || m_step.besideButton) {
            auto* row = new QHBoxLayout;
            row->setSpacing(m_step.button ? actionRowSpacing : progressRowSpacing);
            if (m_step.button) {
                m_button = textButton(buttonTitle(*m_step.button),
                                      view::isProminent(*m_step.button) ? ButtonProminence::prominent
                                                                        : ButtonProminence::small,
                                      m_content);
                connect(m_button, &QAbstractButton::clicked, this, [this] { m_buttonClicked(); });
                row->addWidget(m_button);
            }
            if (m_step.spinner) {
                row->addWidget(new Spinner(m_content));
            }
            if (m_step.besideButton) {
                row->addWidget(guideLabel(*m_step.besideButton, m_content), 1);
            } else {
                row->addStretch(1);
            }
            column->addLayout(row);
        }
        for (const auto& text : m_step.below) {
            column->addWidget(guideLabel(text, m_content));
        }
        m_column->addWidget(m_content);
        m_content->setVisible(m_content->layout()->count() > 0);
    }

    std::function<void()> m_buttonClicked;
    StepBadge* m_badge;
    QVBoxLayout* m_column;
    QWidget* m_content = nullptr;
    QPushButton* m_button = nullptr;
    view::GuideStep m_step;
    bool m_shown = false;
};

SetupGuideWindow::SetupGuideWindow(ApplicationModel& model, desktop::ClockTimers& timers,
                                   const platform::Environment& environment, std::function<void()> onFinish,
                                   QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_model(model), m_timers(timers), m_environment(environment), m_onFinish(std::move(onFinish)) {
    const QString name = QString::fromStdString(app::appDisplayName());
    setWindowTitle(tr("Set up %1").arg(name));
    setMinimumSize(minimumContentSize);
    // No resize control: the window keeps the size it opens at.
    setFixedSize(contentSize);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setSpacing(headerSpacing);
    header->setContentsMargins(headerMargin, headerMargin, headerMargin, headerMargin);
    auto* icon = new QLabel(this);
    icon->setPixmap(MenuBarImages::icon(view::MenuBarIcon::mounted, false, colour(Tone::accent))
                        .pixmap(QSize(headerIconSize, headerIconSize), devicePixelRatioF()));
    icon->setFixedSize(headerIconSize, headerIconSize);
    header->addWidget(icon, 0, Qt::AlignVCenter);
    auto* headerText = new QVBoxLayout;
    headerText->setSpacing(headerTextSpacing);
    m_title = new QLabel(this);
    m_title->setTextFormat(Qt::PlainText);
    setTextStyle(*m_title, TextStyle::title2, Tone::primary, QFont::DemiBold);
    m_subtitle = new QLabel(this);
    m_subtitle->setTextFormat(Qt::PlainText);
    setTextStyle(*m_subtitle, TextStyle::body, Tone::secondary);
    headerText->addWidget(m_title);
    headerText->addWidget(m_subtitle);
    header->addLayout(headerText, 1);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* steps = new QWidget(scroll);
    m_stepsLayout = new QVBoxLayout(steps);
    m_stepsLayout->setSpacing(stepsSpacing);
    m_stepsLayout->setContentsMargins(stepsMargin, stepsMargin, stepsMargin, stepsMargin);
    m_stepsLayout->addStretch(1);
    scroll->setWidget(steps);
    layout->addWidget(scroll, 1);
    layout->addWidget(divider(this));

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(footerSideMargin, footerEndMargin, footerSideMargin, footerEndMargin);
    footer->addStretch(1);
    m_footerButton = new QPushButton(this);
    m_footerButton->setDefault(true);
    connect(m_footerButton, &QAbstractButton::clicked, this, &SetupGuideWindow::finish);
    footer->addWidget(m_footerButton);
    layout->addLayout(footer);

    m_modelChanges = m_model.objectWillChange().subscribe([this] { scheduleRefresh(); });
    refresh();
}

SetupGuideWindow::~SetupGuideWindow() {
    if (m_statusTimer) {
        m_timers.cancel(*m_statusTimer);
    }
}

QWidget* SetupGuideWindow::step(SetupStep step) const {
    const auto found = m_steps.find(step);
    return found == m_steps.end() || found->second->isHidden() ? nullptr : found->second;
}

QPushButton* SetupGuideWindow::stepButton(SetupStep step) const {
    const auto found = m_steps.find(step);
    return found == m_steps.end() || found->second->isHidden() ? nullptr : found->second->button();
}

void SetupGuideWindow::scheduleRefresh() {
    // The model announces before it stores, and often several changes in a row: read once, afterwards.
    if (m_refreshQueued) {
        return;
    }
    m_refreshQueued = true;
    QMetaObject::invokeMethod(this, &SetupGuideWindow::refresh, Qt::QueuedConnection);
}

void SetupGuideWindow::refresh() {
    m_refreshQueued = false;
    const std::string name = app::appDisplayName();
    // The environment is read at every rebuild, as the mount folder's own rule reads it.
    const bool sandboxed = m_environment.contains(app::MountLocation::sandboxVariable);
    m_content = view::setupGuideContent(m_model.state(), sandboxed, name);

    const QString shownName = QString::fromStdString(name);
    m_title->setText(m_content.isSetUp ? tr("%1 is set up").arg(shownName)
                                       : tr("Welcome to %1").arg(shownName));
    m_subtitle->setText(m_content.isSetUp ? tr("Plug in a device and it shows up in your file manager.")
                                          : tr("A few steps and your device shows up in your file manager."));
    m_footerButton->setText(m_content.ready ? tr("Done") : tr("Close"));

    std::map<SetupStep, StepRow*> shown;
    int index = 0;
    for (const auto& each : m_content.steps) {
        auto*& row = m_steps[each.step];
        if (row == nullptr) {
            const SetupStep kind = each.step;
            row = new StepRow(
                kind, [this, kind] { stepButtonClicked(kind); }, m_stepsLayout->parentWidget());
        }
        row->setStep(each);
        if (m_stepsLayout->indexOf(row) != index) {
            m_stepsLayout->removeWidget(row);
            m_stepsLayout->insertWidget(index, row);
        }
        row->show();
        shown.emplace(each.step, row);
        ++index;
    }
    for (auto& [kind, row] : m_steps) {
        if (!shown.contains(kind)) {
            row->hide();
        }
    }
    // Steps whose content changed pass their new heights up through requests posted one level at a time,
    // which a later turn of the event loop would settle: lay each step out and then the column now, inner
    // first, so the window never shows a step at the height of what it said before.
    for (auto& [kind, row] : m_steps) {
        row->layout()->activate();
    }
    m_stepsLayout->activate();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

void SetupGuideWindow::stepButtonClicked(SetupStep which) {
    const auto found = std::find_if(m_content.steps.begin(), m_content.steps.end(),
                                    [&](const view::GuideStep& each) { return each.step == which; });
    if (found == m_content.steps.end() || !found->button) {
        return;
    }
    switch (*found->button) {
    case GuideButton::openSystemSettings:
        m_model.turnOnExtension();
        return;
    case GuideButton::allowNotifications:
        m_model.requestNotificationAuthorization();
        return;
    case GuideButton::openNotificationSettings:
        m_model.openNotificationSettings();
        return;
    case GuideButton::chooseFolder:
        m_model.chooseFolder();
        return;
    case GuideButton::tryAgain:
    case GuideButton::mount:
        mountDevice(m_model, found->deviceId, ApplicationModel::TakeOverFromAnyone::no);
        return;
    case GuideButton::showInFinder:
        showDeviceFolder(m_model, found->deviceId);
        return;
    }
}

void SetupGuideWindow::finish() {
    m_model.setHasCompletedOnboarding(true);
    if (m_onFinish) {
        m_onFinish();
    }
}

void SetupGuideWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_statusTimer) {
        checkStatus();
    }
}

void SetupGuideWindow::hideEvent(QHideEvent* event) {
    if (m_statusTimer) {
        m_timers.cancel(*m_statusTimer);
        m_statusTimer.reset();
    }
    QWidget::hideEvent(event);
}

void SetupGuideWindow::keyPressEvent(QKeyEvent* event) {
    // The footer button is the default one: Return ends the guide as a click does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        m_footerButton->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SetupGuideWindow::checkStatus() {
    m_model.refreshExtensionStatus();
    m_model.refreshNotificationStatus();
    m_statusTimer = m_timers.start(statusInterval, [this] {
        m_statusTimer.reset();
        checkStatus();
    });
}

SetupGuide::SetupGuide(ApplicationModel& model, desktop::ClockTimers& timers,
                       const platform::Environment& environment)
    : m_model(model), m_timers(timers), m_environment(environment) {}

SetupGuide::~SetupGuide() = default;

void SetupGuide::show() {
    if (!m_window) {
        m_window =
            std::make_unique<SetupGuideWindow>(m_model, m_timers, m_environment, [this] { finished(); });
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = m_window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            m_window->move(frame.topLeft());
        }
    }
    bringToFront(*m_window);
}

void SetupGuide::finished() {
    // The footer button that asked is inside the window: the window goes once the click is over.
    auto* window = m_window.release();
    window->close();
    window->deleteLater();
}

} // namespace tandalo::ui
