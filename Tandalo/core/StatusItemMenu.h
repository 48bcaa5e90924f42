#pragma once

namespace tandalo::app {

/// The status item's context menu, which the user interface makes for the model at the end of its
/// start-up and the model keeps for as long as it lives. The menu reaches the model through the weak
/// reference it was made with.
class StatusItemMenu {
public:
    virtual ~StatusItemMenu() = default;
};

} // namespace tandalo::app
