#include "Tandalo/ui/Scene.h"

#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/MenuWindow.h"
#include "Tandalo/ui/SettingsWindow.h"
#include "Tandalo/ui/SetupGuide.h"
#include "Tandalo/ui/StatusItem.h"

#include <QApplication>
#include <QCursor>
#include <QSystemTrayIcon>

namespace tandalo::ui {

namespace {

SceneActions withOwnWindows(SceneActions actions, Scene& scene) {
    if (!actions.showSetupGuide) {
        actions.showSetupGuide = [&scene] { scene.showSetupGuide(); };
    }
    if (!actions.openSettings) {
        actions.openSettings = [&scene] { scene.openSettings(); };
    }
    return actions;
}

} // namespace

Scene::Scene(ApplicationModel& model, desktop::ClockTimers& timers, SceneActions actions,
             StatusArea statusArea)
    : m_model(model), m_statusArea(statusArea), m_setupGuide(std::make_unique<SetupGuide>(model, timers)),
      m_settings(std::make_unique<SettingsWindow>(model, [this] { showSetupGuide(); })),
      m_window(std::make_unique<MenuWindow>(model, timers, withOwnWindows(actions, *this),
                                            statusArea == StatusArea::available
                                                ? MenuWindow::Presentation::popup
                                                : MenuWindow::Presentation::window)),
      m_statusItem(std::make_unique<StatusItem>(model, *m_window, withOwnWindows(actions, *this))) {}

Scene::~Scene() = default;

void Scene::showSetupGuide() {
    m_setupGuide->show();
}

void Scene::openSettings() {
    m_settings->open();
}

Scene::StatusArea Scene::desktopStatusArea() {
    return QSystemTrayIcon::isSystemTrayAvailable() ? StatusArea::available : StatusArea::missing;
}

void Scene::start() {
    // The application lives in the status area: closing the guide, the settings or the window keeps it.
    QApplication::setQuitOnLastWindowClosed(false);
    if (m_statusArea == StatusArea::available) {
        m_statusItem->show();
    } else {
        m_window->open(QRect(QCursor::pos(), QSize(1, 1)));
    }
}

void Scene::reopen() {
    if (m_statusArea == StatusArea::available) {
        m_model.handleReopen();
    } else if (!m_window->isVisible()) {
        m_window->open(QRect(QCursor::pos(), QSize(1, 1)));
    } else {
        bringToFront(*m_window);
    }
}

} // namespace tandalo::ui
