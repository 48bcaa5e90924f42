#include "Tandalo/desktop/QtApplicationWindows.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

namespace tandalo::app {

WindowList qtApplicationWindows() {
    return [] {
        std::vector<AppWindow> windows;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            windows.push_back(AppWindow{widget->metaObject()->className(), widget->isVisible(),
                                        [window = QPointer<QWidget>(widget)] {
                                            if (window) {
                                                window->close();
                                            }
                                        }});
        }
        return windows;
    };
}

} // namespace tandalo::app
