#pragma once

#include "platform/updates/UpdateFeed.h"

#include <QWidget>

#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace updates {

/// The update service's window for one found update: what is offered, a link to its release notes, and
/// the choice between "Download" and "Later". It holds no state of the session: every choice goes to the
/// service through its actions. Applications find it among their top-level windows by its class
/// (qobject_cast<updates::UpdateWindow*>) or its object name "updates.UpdateWindow".
class UpdateWindow final : public QWidget {
    Q_OBJECT

public:
    struct Actions {
        std::function<void()> download;
        std::function<void()> later;
        std::function<void()> openReleaseNotes;
        std::function<void()> closed; // the window was closed by its close button or close()
    };

    UpdateWindow(const std::string& applicationName, const std::string& runningDisplayVersion,
                 Actions actions);

    /// Fills the window with the item; shows nothing by itself.
    void setItem(const UpdateItem& item);
    /// Shows a sentence about an action that failed, until the next item.
    void showProblem(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::string m_applicationName;
    std::string m_runningDisplayVersion;
    Actions m_actions;
    QLabel* m_heading;
    QLabel* m_detail;
    QLabel* m_releaseNotes;
    QLabel* m_problem;
    QPushButton* m_download;
};

/// The service's answer to a check the user asked for that found no update or failed: a sentence, the
/// details, and "OK". Its object name is "updates.UpdateMessage".
class UpdateMessageWindow final : public QWidget {
    Q_OBJECT

public:
    enum class Tone { information, warning };

    explicit UpdateMessageWindow(const std::string& applicationName);

    /// Fills the window; shows nothing by itself.
    void setMessage(const QString& text, const QString& detail, Tone tone);
    QString text() const;

private:
    QLabel* m_icon;
    QLabel* m_heading;
    QLabel* m_detail;
};

/// The first visible update window among the application's top-level windows, in their order; null when
/// none is shown.
UpdateWindow* visibleUpdateWindow();

} // namespace updates
