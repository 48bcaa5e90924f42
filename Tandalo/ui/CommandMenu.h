#pragma once

#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/view/MenuContent.h"

#include <QString>

#include <functional>
#include <vector>

class QMenu;

namespace tandalo::ui {

/// What the menus do beyond the model: the scene's windows and quitting.
struct SceneActions {
    std::function<void()> showSetupGuide; // the set-up guide window
    std::function<void()> openSettings;   // opens the settings window, or brings it to the front
    std::function<void()> quit;           // the normal quit: the model unmounts everything first
};

/// How "Settings…" opens the window: the Options menu opens it directly; the status item's menu asks the
/// model, whose request the status item answers, as any code that is not a view does.
enum class SettingsRoute { direct, throughModel };

/// The menus' titles; "Quit Tandalo" keeps the product's name written in.
QString commandTitle(view::MenuCommand command);

/// Fills the menu with the items, each running the command through the model or the scene.
void fillCommandMenu(QMenu& menu, const std::vector<view::MenuItem>& items, ApplicationModel& model,
                     const SceneActions& scene, SettingsRoute settingsRoute);

} // namespace tandalo::ui
