#pragma once

#include "Tandalo/core/Executor.h"

#include <chrono>
#include <condition_variable>
#include <functional>

namespace tandalo::app {

/// The main executor of tests: nothing runs until the test asks, on the test's own thread, and time moves
/// only when the test advances the virtual clock. Work may still be posted from other threads (a child
/// process that ended); the test waits for it with runUntil(). Destroying it drops what is still queued,
/// which ends the tasks waiting in it.
class ManualExecutor final : public QueuedExecutor {
public:
    explicit ManualExecutor(platform::VirtualClock& clock);
    ~ManualExecutor() override;

    platform::VirtualClock& virtualClock() const { return m_virtualClock; }

    /// Runs posted work and due timers until none is left; returns how many items ran.
    std::size_t runUntilIdle();
    /// Moves time forward by the duration, stopping at each timer's deadline on the way to run what is due
    /// then, so work sees the time it was scheduled for.
    void advanceBy(platform::Clock::Duration duration);
    /// Moves time to the earliest timer and runs what is due; false when no timer waits.
    bool advanceToNextTimer();
    /// Runs work as it comes (also from other threads) until the condition holds or, in real time, the
    /// limit passes; returns the condition's last value. Time does not move.
    bool runUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds realLimit = std::chrono::seconds(20));

private:
    void workArrived() override;

    platform::VirtualClock& m_virtualClock;
    std::mutex m_arrivalMutex; // guards m_arrivals only
    std::condition_variable m_arrived;
    std::uint64_t m_arrivals = 0;
};

} // namespace tandalo::app
