#pragma once

#include "Tandalo/core/Published.h"
#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/view/SetupGuideContent.h"
#include "platform/foundation/Environment.h"

#include <QSize>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace desktop {
class ClockTimers;
}

namespace tandalo::ui {

class StepRow;

/// The set-up guide's window: a header that welcomes the user (or says all is set up), the numbered steps
/// that tick themselves as the model shows each done, and a footer whose one button ends the guide. It
/// follows every change of the model. While it is shown it asks the model every 2 s whether the extension
/// is enabled and what the notification permission is, from the moment it comes on screen until it
/// leaves it. Main thread only.
class SetupGuideWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize contentSize{520, 560};
    static constexpr std::chrono::seconds statusInterval{2};

    /// onFinish runs after the guide was marked finished with the footer button.
    SetupGuideWindow(ApplicationModel& model, desktop::ClockTimers& timers,
                     const platform::Environment& environment, std::function<void()> onFinish,
                     QWidget* parent = nullptr);
    ~SetupGuideWindow() override;

    /// What it shows now, and its parts, for tests.
    const view::SetupGuideContent& content() const { return m_content; }
    QLabel* title() const { return m_title; }
    QPushButton* footerButton() const { return m_footerButton; }
    /// The step's row while it shows; its button while it offers one.
    QWidget* step(view::SetupStep step) const;
    QPushButton* stepButton(view::SetupStep step) const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void scheduleRefresh();
    void refresh();
    void checkStatus();
    void stepButtonClicked(view::SetupStep step);
    void finish();

    ApplicationModel& m_model;
    desktop::ClockTimers& m_timers;
    const platform::Environment& m_environment;
    std::function<void()> m_onFinish;
    app::Subscription m_modelChanges;
    bool m_refreshQueued = false;
    view::SetupGuideContent m_content;

    QLabel* m_title;
    QLabel* m_subtitle;
    QVBoxLayout* m_stepsLayout;
    std::map<view::SetupStep, StepRow*> m_steps;
    QPushButton* m_footerButton;
    std::optional<std::uint64_t> m_statusTimer;
};

/// The one set-up guide of the application, shown by whoever asks: the core at launch and on reopen, the
/// menus and the settings. Closing the window keeps it, and the next show() brings the same window back;
/// finishing the guide ends the window, and the next show() makes a new one. Main thread only.
class SetupGuide final {
public:
    SetupGuide(ApplicationModel& model, desktop::ClockTimers& timers,
               const platform::Environment& environment = platform::Environment::process());
    ~SetupGuide();
    SetupGuide(const SetupGuide&) = delete;
    SetupGuide& operator=(const SetupGuide&) = delete;

    /// Shows the window in front, made first where there is none.
    void show();
    /// The window while there is one.
    SetupGuideWindow* window() const { return m_window.get(); }

private:
    void finished();

    ApplicationModel& m_model;
    desktop::ClockTimers& m_timers;
    const platform::Environment& m_environment;
    std::unique_ptr<SetupGuideWindow> m_window;
};

} // namespace tandalo::ui
