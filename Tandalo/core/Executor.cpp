#include "Tandalo/core/Executor.h"

#include <vector>

namespace tandalo::app {

void Executor::Gate::post(Work work) {
    {
        std::lock_guard guard(m_mutex);
        if (m_executor != nullptr) {
            m_executor->post(std::move(work));
            return;
        }
    }
    work = nullptr; // destroyed outside the lock: it may own a task whose frames answer others
}

void Executor::Gate::close() noexcept {
    std::lock_guard guard(m_mutex);
    m_executor = nullptr;
}

void QueuedExecutor::post(Work work) {
    {
        std::lock_guard guard(m_mutex);
        m_ready.push_back(std::move(work));
    }
    workArrived();
}

Executor::TimerID QueuedExecutor::postAt(platform::Clock::TimePoint deadline, Work work) {
    TimerID id = 0;
    {
        std::lock_guard guard(m_mutex);
        id = m_nextTimer++;
        m_timers.emplace(deadline, std::pair(id, std::move(work)));
        m_timerDeadlines.emplace(id, deadline);
    }
    workArrived();
    return id;
}

void QueuedExecutor::cancelTimer(TimerID timer) noexcept {
    Work dropped; // destroyed after the lock is released: it may own a task whose frame goes with it
    std::lock_guard guard(m_mutex);
    const auto found = m_timerDeadlines.find(timer);
    if (found == m_timerDeadlines.end()) {
        return;
    }
    auto [begin, end] = m_timers.equal_range(found->second);
    for (auto entry = begin; entry != end; ++entry) {
        if (entry->second.first == timer) {
            dropped = std::move(entry->second.second);
            m_timers.erase(entry);
            break;
        }
    }
    m_timerDeadlines.erase(found);
}

bool QueuedExecutor::hasReadyWorkLocked() const {
    return !m_ready.empty() || (!m_timers.empty() && m_timers.begin()->first <= m_clock.now());
}

std::optional<Executor::Work> QueuedExecutor::takeNext() {
    std::lock_guard guard(m_mutex);
    if (!m_ready.empty()) {
        auto work = std::move(m_ready.front());
        m_ready.pop_front();
        return work;
    }
    if (!m_timers.empty() && m_timers.begin()->first <= m_clock.now()) {
        auto work = std::move(m_timers.begin()->second.second);
        m_timerDeadlines.erase(m_timers.begin()->second.first);
        m_timers.erase(m_timers.begin());
        return work;
    }
    return std::nullopt;
}

std::optional<platform::Clock::TimePoint> QueuedExecutor::nextDeadline() const {
    std::lock_guard guard(m_mutex);
    if (m_timers.empty()) {
        return std::nullopt;
    }
    return m_timers.begin()->first;
}

void QueuedExecutor::discardAll() noexcept {
    while (true) {
        std::deque<Work> ready;
        std::multimap<platform::Clock::TimePoint, std::pair<TimerID, Work>> timers;
        {
            std::lock_guard guard(m_mutex);
            if (m_ready.empty() && m_timers.empty()) {
                return;
            }
            ready.swap(m_ready);
            timers.swap(m_timers);
            m_timerDeadlines.clear();
        }
    }
}

} // namespace tandalo::app
