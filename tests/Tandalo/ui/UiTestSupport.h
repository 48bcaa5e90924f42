#pragma once

#include "Tandalo/ui/CommandMenu.h"
#include "platform/desktop/ClockTimers.h"
#include "tests/Tandalo/ui/FakeApplicationModel.h"
#include "tests/Tandalo/view/ViewTestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QTextDocumentFragment>
#include <QWidget>

#include <iostream>

#include <string>
#include <vector>

namespace tandalo::ui::testing {

using view::testing::chargeOnlyPhone;
using view::testing::phone;

/// The fake model, the clock of the windows' timers, and scene actions that write down what they did.
struct UiRig {
    FakeApplicationModel model;
    platform::VirtualClock clock;
    desktop::ClockTimers timers{clock};
    std::vector<std::string> sceneCalls;
    SceneActions scene{.showSetupGuide = [this] { sceneCalls.push_back("showSetupGuide"); },
                       .openSettings = [this] { sceneCalls.push_back("openSettings"); },
                       .quit = [this] { sceneCalls.push_back("quit"); }};

    /// Changes the model and lets the windows catch up.
    void publish(const std::function<void(view::ModelState&)>& change) {
        model.publish(change);
        settle();
    }
    static void settle() { QCoreApplication::processEvents(); }
};

/// A menu's entries as "title", "title (disabled)", "title (checked)" and "-" for separators.
inline std::vector<std::string> entries(const QMenu& menu) {
    std::vector<std::string> result;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            result.emplace_back("-");
            continue;
        }
        std::string entry = action->text().toStdString();
        if (!action->isEnabled()) {
            entry += " (disabled)";
        }
        if (action->isChecked()) {
            entry += " (checked)";
        }
        result.push_back(entry);
    }
    return result;
}

/// The texts of the labels shown inside the widget, in order, rich text as it reads.
inline std::vector<std::string> texts(const QWidget& widget) {
    std::vector<std::string> result;
    for (const QLabel* label : widget.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&widget) && !label->text().isEmpty()) {
            const QString text = label->textFormat() == Qt::RichText
                                     ? QTextDocumentFragment::fromHtml(label->text()).toPlainText()
                                     : label->text();
            result.push_back(text.toStdString());
        }
    }
    return result;
}

/// Saves a picture of the widget as name.png among the tests' screenshots, to be looked at by a person.
inline bool saveScreenshot(QWidget& widget, const QString& name) {
    const QString folder = QStringLiteral(SCREENSHOT_FOLDER);
    QDir().mkpath(folder);
    return widget.grab().save(folder + "/" + name + ".png");
}

inline QAction* action(const QMenu& menu, const QString& title) {
    for (QAction* each : menu.actions()) {
        if (each->text() == title) {
            return each;
        }
    }
    return nullptr;
}

} // namespace tandalo::ui::testing
