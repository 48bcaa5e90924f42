#include "simulation/PhoneTimer.h"

#include <utility>

namespace simulation {

PhoneTimer::PhoneTimer(platform::Clock& clock, std::function<void()> fire)
    : m_clock(clock), m_fire(std::move(fire)) {}

PhoneTimer::~PhoneTimer() {
    m_thread.request_stop();
    m_changed.notify_all();
}

void PhoneTimer::schedule(platform::Clock::TimePoint when) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_due || when < *m_due) {
            m_due = when;
        }
        if (!m_thread.joinable()) {
            m_thread = std::jthread([this](std::stop_token stop) { run(stop); });
        }
    }
    m_changed.notify_all();
}

void PhoneTimer::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        platform::Clock::TimePoint due;
        {
            std::unique_lock lock(m_mutex);
            // Idle until there is something to time; not a timed wait, so it stays off the clock.
            if (!m_changed.wait(lock, stop, [this] { return m_due.has_value(); })) {
                return;
            }
            due = *m_due;
            m_due.reset();
        }
        const auto now = m_clock.now();
        if (due > now && !m_clock.sleepFor(due - now, stop)) {
            return;
        }
        m_fire();
    }
}

} // namespace simulation
