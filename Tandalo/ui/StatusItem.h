#pragma once

#include "Tandalo/core/Published.h"
#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/ui/CommandMenu.h"
#include "platform/desktop/ColorScheme.h"

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>

class QMenu;

namespace tandalo::ui {

class MenuWindow;

/// The application's place in the desktop's status area: a tray icon that shows the menu-bar glyph of the
/// model's status (with the update badge while an update waits) and says it in words, opens the
/// menu-bar window on a left click and the everyday commands on a right or Control-click. It also opens
/// the settings window each time the model asks for it, tray or no tray. Main thread only.
class StatusItem final : public QObject {
    Q_OBJECT
public:
    StatusItem(ApplicationModel& model, MenuWindow& window, SceneActions scene, QObject* parent = nullptr);
    ~StatusItem() override;

    /// Puts the icon in the status area.
    void show();
    /// Opens the window below the icon, or at the pointer where the status area does not say where the
    /// icon is; closes it when it is open.
    void toggleWindow();

    QSystemTrayIcon& trayIcon() { return *m_tray; }
    /// The menu of the right click, built afresh each time it is about to show.
    QMenu& menu() { return *m_menu; }
    /// Draws the glyph for the desktop's colour scheme from now on.
    void setColorScheme(desktop::ColorScheme scheme);
    /// Whether the status area draws icons given by name in the panel's own colours: then the glyph is
    /// given as its symbolic icon, where the theme has it, and drawn with its halo otherwise.
    void setPanelRecolours(bool recolours);

    /// What the icon shows and says now.
    view::MenuBarIcon shownIcon() const { return m_icon; }
    bool showsBadge() const { return m_badged; }
    QString accessibilityText() const { return m_tray->toolTip(); }

private:
    void scheduleRefresh();
    void refresh();
    void activated(QSystemTrayIcon::ActivationReason reason);
    void rebuildMenu();

    ApplicationModel& m_model;
    MenuWindow& m_window;
    SceneActions m_scene;
    std::unique_ptr<QMenu> m_menu; // before the tray, which refers to it
    std::unique_ptr<QSystemTrayIcon> m_tray;
    app::Subscription m_modelChanges;
    bool m_refreshQueued = false;
    view::MenuBarIcon m_icon = view::MenuBarIcon::idle;
    bool m_badged = false;
    bool m_drawn = false;
    desktop::ColorScheme m_scheme = desktop::ColorScheme::noPreference;
    bool m_panelRecolours = false;
    std::optional<int> m_settingsRequests; // the last count seen; the first is only taken note of
};

} // namespace tandalo::ui
