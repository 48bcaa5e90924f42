#include "Tandalo/core/ThreadExecutor.h"

namespace tandalo::app {

ThreadExecutor::ThreadExecutor(platform::Clock& clock)
    : QueuedExecutor(clock), m_thread([this](std::stop_token stop) { run(stop); }) {}

ThreadExecutor::~ThreadExecutor() {
    closeGate();
    m_thread.request_stop();
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    discardAll();
}

void ThreadExecutor::workArrived() {
    {
        std::lock_guard guard(m_mutex);
        ++m_arrivals;
    }
    m_changed.notify_all();
}

void ThreadExecutor::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::uint64_t seen = 0;
        {
            std::lock_guard guard(m_mutex);
            seen = m_arrivals;
        }
        if (auto work = takeNext()) {
            (*work)();
            continue;
        }
        // Anything that arrives from here on wakes the wait, so a new, earlier timer is not overslept.
        const auto deadline = nextDeadline();
        std::unique_lock lock(m_mutex);
        const auto changed = [&] { return m_arrivals != seen || hasReadyWorkLocked(); };
        if (deadline) {
            m_clock.waitUntil(lock, m_changed, *deadline, stop, changed);
        } else {
            // Without a timer there is no time to wait for: only new work wakes the thread.
            m_changed.wait(lock, stop, changed);
        }
    }
}

} // namespace tandalo::app
