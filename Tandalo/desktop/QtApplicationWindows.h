#pragma once

#include "Tandalo/core/Diagnostics.h"
#include "Tandalo/core/UpdateFramework.h"

namespace tandalo::app {

/// The application's top-level widgets, in QApplication's order, named by their classes. A window closed
/// through the list after it went is skipped. Main thread, inside a running QApplication.
WindowList qtApplicationWindows();

/// The desktop's clipboard through Qt. Main thread, inside a running QGuiApplication.
class QtClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
};

} // namespace tandalo::app
