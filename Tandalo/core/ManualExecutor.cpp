#include "Tandalo/core/ManualExecutor.h"

namespace tandalo::app {

ManualExecutor::ManualExecutor(platform::VirtualClock& clock)
    : QueuedExecutor(clock), m_virtualClock(clock) {}

ManualExecutor::~ManualExecutor() {
    closeGate();
    discardAll();
}

void ManualExecutor::workArrived() {
    {
        std::lock_guard guard(m_arrivalMutex);
        ++m_arrivals;
    }
    m_arrived.notify_all();
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t count = 0;
    while (auto work = takeNext()) {
        (*work)();
        ++count;
    }
    return count;
}

void ManualExecutor::advanceBy(platform::Clock::Duration duration) {
    const auto target = m_virtualClock.deadlineAfter(duration);
    runUntilIdle();
    while (true) {
        const auto next = nextDeadline();
        if (!next || *next > target) {
            break;
        }
        if (*next > m_virtualClock.now()) {
            m_virtualClock.advance(*next - m_virtualClock.now());
        }
        runUntilIdle();
    }
    if (target > m_virtualClock.now()) {
        m_virtualClock.advance(target - m_virtualClock.now());
    }
    runUntilIdle();
}

bool ManualExecutor::advanceToNextTimer() {
    const auto next = nextDeadline();
    if (!next) {
        return false;
    }
    if (*next > m_virtualClock.now()) {
        m_virtualClock.advance(*next - m_virtualClock.now());
    }
    runUntilIdle();
    return true;
}

bool ManualExecutor::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds realLimit) {
    const auto end = std::chrono::steady_clock::now() + realLimit;
    while (true) {
        std::uint64_t seen = 0;
        {
            std::lock_guard guard(m_arrivalMutex);
            seen = m_arrivals;
        }
        runUntilIdle();
        if (condition()) {
            return true;
        }
        std::unique_lock lock(m_arrivalMutex);
        if (!m_arrived.wait_until(lock, end, [&] { return m_arrivals != seen; })) {
            return condition();
        }
    }
}

} // namespace tandalo::app
