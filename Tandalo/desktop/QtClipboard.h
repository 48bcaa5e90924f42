#pragma once

#include "Tandalo/core/Diagnostics.h"

namespace tandalo::app {

/// The desktop's clipboard through Qt. Main thread, inside a running QGuiApplication.
class QtClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
};

} // namespace tandalo::app
