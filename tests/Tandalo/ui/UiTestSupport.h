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

/// A text as Qt shows it in a label of that format: rich text (or text that looks like it, where the
/// label guesses) reads as its markup renders.
inline std::string shownText(const QString& text, Qt::TextFormat format) {
    const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    return (rich ? QTextDocumentFragment::fromHtml(text).toPlainText() : text).toStdString();
}

/// The texts of the labels shown inside the widget, in order, rich text as it reads.
inline std::vector<std::string> texts(const QWidget& widget) {
    std::vector<std::string> result;
    for (const QLabel* label : widget.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&widget) && !label->text().isEmpty()) {
            result.push_back(shownText(label->text(), label->textFormat()));
        }
    }
    return result;
}

/// The texts of the labels and the tooltips shown inside the widget, as they read: a tooltip is rich text
/// wherever it looks like it.
inline std::vector<std::string> textsAndToolTips(const QWidget& widget) {
    auto result = texts(widget);
    for (const QWidget* child : widget.findChildren<QWidget*>()) {
        if (child->isVisibleTo(&widget) && !child->toolTip().isEmpty()) {
            result.push_back(shownText(child->toolTip(), Qt::AutoText));
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
