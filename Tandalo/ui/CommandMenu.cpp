#include "Tandalo/ui/CommandMenu.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>

namespace tandalo::ui {

namespace {

void run(view::MenuCommand command, ApplicationModel& model, const SceneActions& scene, SettingsRoute route) {
    switch (command) {
    case view::MenuCommand::mountAutomatically:
        // The value at the moment of the choice, not the one the menu was built with.
        model.setAutoMount(!model.state().autoMount);
        return;
    case view::MenuCommand::ejectAll:
        model.ejectAll();
        return;
    case view::MenuCommand::setupGuide:
        if (scene.showSetupGuide) {
            scene.showSetupGuide();
        }
        return;
    case view::MenuCommand::settings:
        if (route == SettingsRoute::throughModel) {
            model.requestSettings();
        } else if (scene.openSettings) {
            scene.openSettings();
        }
        return;
    case view::MenuCommand::checkForUpdates:
        model.checkForUpdates();
        return;
    case view::MenuCommand::copyDiagnostics:
        model.copyDiagnostics();
        return;
    case view::MenuCommand::quit:
        if (scene.quit) {
            scene.quit();
        }
        return;
    }
}

// The desktop's shortcut map looks for a menu's actions only through the menu bar that holds the menu, so a
// menu that pops up on its own would ignore its items' keys: it answers them itself while it is open.
class MenuKeys final : public QObject {
public:
    static constexpr char name[] = "tandalo.menuKeys";

    explicit MenuKeys(QMenu& menu) : QObject(&menu), m_menu(menu) {
        setObjectName(QLatin1String(name));
        menu.installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (QAction* action : m_menu.actions()) {
            if (action->isEnabled() && !action->shortcut().isEmpty() && action->shortcut() == pressed) {
                m_menu.close();
                action->trigger();
                return true;
            }
        }
        return false;
    }

private:
    QMenu& m_menu;
};

} // namespace

QString commandTitle(view::MenuCommand command) {
    switch (command) {
    case view::MenuCommand::mountAutomatically:
        return QCoreApplication::translate("CommandMenu", "Mount Automatically");
    case view::MenuCommand::ejectAll:
        return QCoreApplication::translate("CommandMenu", "Eject All");
    case view::MenuCommand::setupGuide:
        return QCoreApplication::translate("CommandMenu", "Setup Guide…");
    case view::MenuCommand::settings:
        return QCoreApplication::translate("CommandMenu", "Settings…");
    case view::MenuCommand::checkForUpdates:
        return QCoreApplication::translate("CommandMenu", "Check for Updates…");
    case view::MenuCommand::copyDiagnostics:
        return QCoreApplication::translate("CommandMenu", "Copy Diagnostics");
    case view::MenuCommand::quit:
        break;
    }
    return QCoreApplication::translate("CommandMenu", "Quit Tandalo");
}

void fillCommandMenu(QMenu& menu, const std::vector<view::MenuItem>& items, ApplicationModel& model,
                     const SceneActions& scene, SettingsRoute settingsRoute) {
    for (const auto& item : items) {
        if (!item.command) {
            menu.addSeparator();
            continue;
        }
        const auto command = *item.command;
        QAction* action = menu.addAction(commandTitle(command));
        action->setEnabled(item.enabled);
        action->setCheckable(item.checkable);
        action->setChecked(item.checked);
        if (command == view::MenuCommand::quit) {
            if (menu.findChild<QObject*>(QLatin1String(MenuKeys::name), Qt::FindDirectChildrenOnly) ==
                nullptr) {
                new MenuKeys(menu);
            }
            action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
            action->setShortcutVisibleInContextMenu(true);
        }
        // The model and the scene outlive every menu; the scene's actions are copied with the item.
        QObject::connect(action, &QAction::triggered, &menu, [command, &model, scene, settingsRoute] {
            run(command, model, scene, settingsRoute);
        });
    }
}

} // namespace tandalo::ui
