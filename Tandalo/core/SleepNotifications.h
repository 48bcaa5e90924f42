#pragma once

#include "Tandalo/core/Published.h"

#include <functional>
#include <memory>

namespace tandalo::app {

/// The system's wait for the work before sleep: it goes to sleep once the delay is released, by release()
/// or when its last copy goes, whichever comes first. Copies share the one delay. Any thread.
class SleepDelay {
public:
    /// A delay that holds nothing back.
    SleepDelay() = default;
    /// A delay that calls ready once, when released.
    explicit SleepDelay(std::function<void()> ready);

    /// Lets the system sleep now; later calls do nothing.
    void release() const;
    bool isReleased() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

/// The system's will-sleep and did-wake notifications, as the workspace announces them: the desktop's
/// sleep watcher sends them here and the model subscribes. A subscriber to willSleep that has to finish
/// work before the system sleeps keeps a copy of the delay until it is done. Main thread only.
class SleepNotifications {
public:
    Signal<SleepDelay> willSleep;
    Signal<> didWake;
};

} // namespace tandalo::app
