#include "Tandalo/core/SleepNotifications.h"

#include <atomic>

namespace tandalo::app {

struct SleepDelay::State {
    explicit State(std::function<void()> ready) : ready(std::move(ready)) {}
    ~State() {
        try {
            release();
        } catch (...) {
            // The watcher lets the system go by itself at the latest when it wakes or logind gives up.
        }
    }
    void release() {
        if (!released.exchange(true) && ready) {
            ready();
        }
    }

    std::function<void()> ready;
    std::atomic<bool> released{false};
};

SleepDelay::SleepDelay(std::function<void()> ready) : m_state(std::make_shared<State>(std::move(ready))) {}

void SleepDelay::release() const {
    if (m_state) {
        m_state->release();
    }
}

bool SleepDelay::isReleased() const {
    return !m_state || m_state->released.load();
}

} // namespace tandalo::app
