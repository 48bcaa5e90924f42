#pragma once

#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/ui/CommandMenu.h"

#include <QObject>

#include <memory>

namespace desktop {
class ClockTimers;
}

namespace tandalo::ui {

class MenuWindow;
class SettingsWindow;
class SetupGuide;
class StatusItem;

/// The application on the desktop: the status item, the menu-bar window, the set-up guide and the
/// settings over the one model. Where the desktop has no status area, the window is an ordinary one,
/// opened at start so that the application can be used at all. The actions' set-up guide and settings
/// entries, where left empty, are the scene's own windows. Main thread only.
class Scene final : public QObject {
    Q_OBJECT
public:
    enum class StatusArea { available, missing };

    Scene(ApplicationModel& model, desktop::ClockTimers& timers, SceneActions actions, StatusArea statusArea);
    ~Scene() override;

    /// What the desktop offers now.
    static StatusArea desktopStatusArea();

    /// Puts the icon in the status area, or opens the window where there is none. From then on, closing a
    /// window never ends the application.
    void start();
    /// Another copy was started. With a status item the model answers as on a reopen: the notification
    /// that the application runs, or the set-up guide. Without one the window is the application, so it
    /// comes up instead, and nothing is said beside it.
    void reopen();

    /// Shows the set-up guide, or brings it to the front: the one way to it for every caller.
    void showSetupGuide();
    /// Opens the settings, or brings them to the front.
    void openSettings();

    MenuWindow& window() { return *m_window; }
    StatusItem& statusItem() { return *m_statusItem; }
    SetupGuide& setupGuide() { return *m_setupGuide; }
    SettingsWindow& settings() { return *m_settings; }

private:
    ApplicationModel& m_model;
    StatusArea m_statusArea;
    std::unique_ptr<SetupGuide> m_setupGuide;
    std::unique_ptr<SettingsWindow> m_settings;
    std::unique_ptr<MenuWindow> m_window;
    std::unique_ptr<StatusItem> m_statusItem;
};

} // namespace tandalo::ui
