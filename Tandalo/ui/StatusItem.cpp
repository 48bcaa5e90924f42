#include "Tandalo/ui/StatusItem.h"

#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/MenuWindow.h"
#include "Tandalo/ui/Style.h"
#include "Tandalo/view/MenuBarStatus.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>

namespace tandalo::ui {

StatusItem::StatusItem(ApplicationModel& model, MenuWindow& window, SceneActions scene, QObject* parent)
    : QObject(parent), m_model(model), m_window(window), m_scene(std::move(scene)),
      m_menu(std::make_unique<QMenu>()), m_tray(std::make_unique<QSystemTrayIcon>()) {
    m_tray->setContextMenu(m_menu.get());
    connect(m_menu.get(), &QMenu::aboutToShow, this, &StatusItem::rebuildMenu);
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, &StatusItem::activated);
    m_modelChanges = m_model.objectWillChange().subscribe([this] { scheduleRefresh(); });
    refresh();
}

StatusItem::~StatusItem() {
    m_tray->setContextMenu(nullptr);
}

void StatusItem::show() {
    m_tray->show();
}

void StatusItem::toggleWindow() {
    if (m_window.isVisible()) {
        m_window.hide();
        return;
    }
    const QRect icon = m_tray->geometry();
    m_window.open(icon.isValid() && !icon.isEmpty() ? icon : QRect(QCursor::pos(), QSize(1, 1)));
}

void StatusItem::setColorScheme(desktop::ColorScheme scheme) {
    if (scheme == m_scheme) {
        return;
    }
    m_scheme = scheme;
    m_drawn = false;
    refresh();
}

void StatusItem::setPanelRecolours(bool recolours) {
    if (recolours == m_panelRecolours) {
        return;
    }
    m_panelRecolours = recolours;
    m_drawn = false;
    refresh();
}

void StatusItem::scheduleRefresh() {
    if (m_refreshQueued) {
        return;
    }
    m_refreshQueued = true;
    QMetaObject::invokeMethod(this, &StatusItem::refresh, Qt::QueuedConnection);
}

void StatusItem::refresh() {
    m_refreshQueued = false;
    const auto state = m_model.state();
    const bool badged = state.waitingVersion.has_value();
    if (!m_drawn || state.menuBarIcon != m_icon || badged != m_badged) {
        m_drawn = true;
        m_icon = state.menuBarIcon;
        m_badged = badged;
        // The status area's background is the desktop's, not the application's: the glyph follows the
        // desktop's scheme, with a halo for the panels that do not.
        const auto ink = MenuBarImages::panelInk(m_scheme, colour(Tone::primary));
        // A status area on the bus draws an icon it finds by name in the panel's own colours, and the
        // pixels sent with the name where it does not find it; an X-embedded one shows the pixels alone.
        QString name;
        if (m_panelRecolours && !m_badged && QIcon::hasThemeIcon(MenuBarImages::symbolicName(m_icon))) {
            name = MenuBarImages::symbolicName(m_icon);
        }
        m_tray->setIcon(MenuBarImages::icon(m_icon, m_badged, ink.ink, ink.halo, name));
        m_tray->setToolTip(QString::fromStdString(view::accessibilityText(m_icon, m_badged)));
    }
    const bool asked = m_settingsRequests && *m_settingsRequests != state.settingsRequests;
    m_settingsRequests = state.settingsRequests;
    if (asked && m_scene.openSettings) {
        m_scene.openSettings();
    }
}

void StatusItem::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) {
        return; // the right click's menu is the context menu, which the status area opens itself
    }
    if (QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier)) {
        m_menu->popup(QCursor::pos());
        return;
    }
    toggleWindow();
}

void StatusItem::rebuildMenu() {
    m_menu->clear();
    fillCommandMenu(*m_menu, view::commandMenu(m_model.state()), m_model, m_scene,
                    SettingsRoute::throughModel);
}

} // namespace tandalo::ui
