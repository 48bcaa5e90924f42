#include "platform/updates/UpdateWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace updates {
namespace {

constexpr int iconSize = 64;
constexpr int outerMargin = 20;
constexpr int columnSpacing = 16;
constexpr int lineSpacing = 8;
constexpr int headingPointIncrease = 3;
constexpr int textWidth = 320;

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

QString titleFor(const std::string& applicationName) {
    return QApplication::translate("updates::UpdateWindow", "%1 Update").arg(fromStd(applicationName));
}

QPixmap iconPixmap(const QWidget& window, QStyle::StandardPixmap fallback) {
    const QIcon applicationIcon = QApplication::windowIcon();
    const QIcon icon = applicationIcon.isNull() ? window.style()->standardIcon(fallback) : applicationIcon;
    return icon.pixmap(iconSize, iconSize);
}

QLabel* textLabel(QWidget* window, const char* objectName, bool heading) {
    auto* label = new QLabel(window);
    label->setObjectName(QLatin1String(objectName));
    // The texts hold what the feed and its server wrote, which must not style or forge the window.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFixedWidth(textWidth);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (heading) {
        QFont font = label->font();
        font.setBold(true);
        font.setPointSize(font.pointSize() + headingPointIncrease);
        label->setFont(font);
    }
    return label;
}

// A window of fixed size takes its labels' plain size hints, which do not grow with wrapped lines, so each
// label asks for the height its text needs at the column's width.
void setWrappedText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setMinimumHeight(label->heightForWidth(textWidth));
}

QPushButton* button(QWidget* window, const char* objectName, const QString& title) {
    auto* pushButton = new QPushButton(title, window);
    pushButton->setObjectName(QLatin1String(objectName));
    return pushButton;
}

// Both windows share one arrangement: the icon beside a column of texts, the buttons at the bottom right.
void arrange(QWidget* window, QLabel* icon, std::initializer_list<QWidget*> texts,
             std::initializer_list<QPushButton*> buttons) {
    icon->setAlignment(Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(lineSpacing);
    for (auto* text : texts) {
        column->addWidget(text, 0, Qt::AlignLeft);
    }
    column->addStretch();

    auto* content = new QHBoxLayout;
    content->setSpacing(columnSpacing);
    content->addWidget(icon, 0, Qt::AlignTop);
    content->addLayout(column);

    auto* row = new QHBoxLayout;
    row->addStretch();
    for (auto* pushButton : buttons) {
        row->addWidget(pushButton);
    }

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(outerMargin, outerMargin, outerMargin, outerMargin);
    layout->setSpacing(columnSpacing);
    layout->addLayout(content);
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace

UpdateWindow::UpdateWindow(const std::string& applicationName, const std::string& runningDisplayVersion,
                           Actions actions)
    : m_applicationName(applicationName), m_runningDisplayVersion(runningDisplayVersion),
      m_actions(std::move(actions)), m_heading(textLabel(this, "heading", true)),
      m_detail(textLabel(this, "detail", false)), m_releaseNotes(new QLabel(this)),
      m_problem(textLabel(this, "problem", false)), m_download(button(this, "download", tr("Download"))) {
    setObjectName(QStringLiteral("updates.UpdateWindow"));
    setWindowTitle(titleFor(applicationName));
    auto* icon = new QLabel(this);
    icon->setPixmap(iconPixmap(*this, QStyle::SP_MessageBoxInformation));

    // The link goes through the service, which opens it with the desktop's handler it was given.
    m_releaseNotes->setObjectName(QStringLiteral("releaseNotes"));
    m_releaseNotes->setTextFormat(Qt::RichText);
    m_releaseNotes->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(m_releaseNotes, &QLabel::linkActivated, this, [this] { m_actions.openReleaseNotes(); });
    m_problem->setStyleSheet(QStringLiteral("color: #c0392b;"));
    m_problem->hide();

    auto* later = button(this, "later", tr("Later"));
    m_download->setDefault(true);
    connect(m_download, &QPushButton::clicked, this, [this] { m_actions.download(); });
    connect(later, &QPushButton::clicked, this, [this] { m_actions.later(); });
    arrange(this, icon, {m_heading, m_detail, m_releaseNotes, m_problem}, {later, m_download});
}

void UpdateWindow::setItem(const UpdateItem& item) {
    setWrappedText(m_heading,
                   tr("%1 %2 is available").arg(fromStd(m_applicationName), fromStd(item.displayVersion)));
    setWrappedText(m_detail, tr("You have version %1.").arg(fromStd(m_runningDisplayVersion)));
    if (item.releaseNotesURL.empty()) {
        m_releaseNotes->hide();
    } else {
        m_releaseNotes->setText(
            QStringLiteral("<a href=\"%1\">%2</a>")
                .arg(fromStd(item.releaseNotesURL).toHtmlEscaped(),
                     tr("What's new in %1").arg(fromStd(item.displayVersion)).toHtmlEscaped()));
        m_releaseNotes->show();
    }
    m_problem->clear();
    m_problem->hide();
    m_download->setFocus();
}

void UpdateWindow::showProblem(const QString& text) {
    setWrappedText(m_problem, text);
    m_problem->show();
}

void UpdateWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    m_actions.closed();
}

UpdateMessageWindow::UpdateMessageWindow(const std::string& applicationName)
    : m_icon(new QLabel(this)), m_heading(textLabel(this, "heading", true)),
      m_detail(textLabel(this, "detail", false)) {
    setObjectName(QStringLiteral("updates.UpdateMessage"));
    setWindowTitle(titleFor(applicationName));
    auto* ok = button(this, "ok", tr("OK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QWidget::close);
    arrange(this, m_icon, {m_heading, m_detail}, {ok});
}

void UpdateMessageWindow::setMessage(const QString& text, const QString& detail, Tone tone) {
    m_icon->setPixmap(iconPixmap(*this, tone == Tone::warning ? QStyle::SP_MessageBoxWarning
                                                              : QStyle::SP_MessageBoxInformation));
    setWrappedText(m_heading, text);
    setWrappedText(m_detail, detail);
}

QString UpdateMessageWindow::text() const {
    return m_heading->text();
}

UpdateWindow* visibleUpdateWindow() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<UpdateWindow*>(widget); window != nullptr && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

} // namespace updates
