#pragma once

#include "Tandalo/core/UpdateFramework.h"

namespace tandalo::app {

/// The application's top-level widgets, in QApplication's order, named by their classes. A window closed
/// through the list after it went is skipped. Main thread, inside a running QApplication.
WindowList qtApplicationWindows();

} // namespace tandalo::app
