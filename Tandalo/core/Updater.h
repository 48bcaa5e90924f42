#pragma once

#include "Tandalo/core/Published.h"

namespace tandalo::app {

/// The update checker, as the model holds it: an observable object whose announcements the model
/// passes on as its own, so that views observing the model alone see the update state change.
class Updater {
public:
    virtual ~Updater() = default;

    Signal<> objectWillChange;
};

} // namespace tandalo::app
