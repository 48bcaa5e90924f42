#include "platform/desktop/ClockTimers.h"

#include "platform/desktop/DesktopError.h"

#include <QObject>

#include <vector>

namespace desktop {

ClockTimers::ClockTimers(platform::Clock& clock) : m_clock(clock), m_context(std::make_unique<QObject>()) {
    m_worker = platform::Task::start("desktop timers", [this](std::stop_token stop) { run(stop); });
}

ClockTimers::~ClockTimers() {
    m_worker = platform::Task();
}

ClockTimers::Id ClockTimers::start(platform::Clock::Duration delay, std::function<void()> action) {
    const Id id = m_nextId++;
    m_actions.emplace(id, std::move(action));
    {
        std::lock_guard guard(m_mutex);
        m_deadlines.emplace(m_clock.deadlineAfter(delay), id);
        m_changed = true;
    }
    m_wake.notify_all();
    return id;
}

void ClockTimers::cancel(Id id) noexcept {
    if (m_actions.erase(id) == 0) {
        return;
    }
    std::lock_guard guard(m_mutex);
    for (auto entry = m_deadlines.begin(); entry != m_deadlines.end(); ++entry) {
        if (entry->second == id) {
            m_deadlines.erase(entry);
            break;
        }
    }
    // The worker may keep waiting for the old deadline; waking it early for nothing would only cost a turn.
}

void ClockTimers::run(std::stop_token stop) {
    std::unique_lock lock(m_mutex);
    while (!stop.stop_requested()) {
        m_changed = false;
        if (m_deadlines.empty()) {
            // Nothing is timed, so this waits for work, not for time, and leaves the clock alone: a
            // VirtualClock would otherwise see a waiter with a deadline at the end of time.
            m_wake.wait(lock, stop, [this] { return m_changed; });
            continue;
        }
        const auto deadline = m_deadlines.begin()->first;
        m_clock.waitUntil(lock, m_wake, deadline, stop,
                          [this, deadline] { return m_changed || m_clock.now() >= deadline; });
        const auto now = m_clock.now();
        std::vector<Id> due;
        while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
            due.push_back(m_deadlines.begin()->second);
            m_deadlines.erase(m_deadlines.begin());
        }
        lock.unlock();
        // One posted call per timer: an action may destroy this object, and the calls still queued for
        // the context are then dropped with it instead of running on a dead object.
        for (const Id id : due) {
            QMetaObject::invokeMethod(
                m_context.get(), [this, id] { fire(id); }, Qt::QueuedConnection);
        }
        lock.lock();
    }
}

void ClockTimers::fire(Id id) {
    auto node = m_actions.extract(id);
    if (!node.empty()) {
        runGuarded("a timer's action", node.mapped());
    }
}

} // namespace desktop
