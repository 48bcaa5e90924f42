#pragma once

#include "platform/foundation/Clock.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace tandalo::app {

/// A serial queue of work on one thread: where the application core runs. The application's main
/// executor is its event loop; tests drive a ManualExecutor by hand; work that must go on while the main
/// thread is blocked runs on a ThreadExecutor.
///
/// Work runs one item at a time, in the order it was posted. A timer's work runs once the clock's
/// continuous time has reached its deadline and no posted work is waiting. Every member may be called
/// from any thread and never runs work inline.
class Executor {
public:
    using Work = std::function<void()>;
    using TimerID = std::uint64_t;

    /// Posts to the executor for as long as it lives, and drops the work once it has begun to go: what
    /// answers a task from another thread posts through it, so a late answer cannot reach a dead executor.
    class Gate {
    public:
        explicit Gate(Executor& executor) : m_executor(&executor) {}
        /// Posts the work, or drops it (outside the lock) when the executor is gone. Any thread.
        void post(Work work);
        /// Called by the executor's destructor: waits for a post under way, then drops every later one.
        void close() noexcept;

    private:
        std::mutex m_mutex; // guards m_executor; held across the executor's post
        Executor* m_executor;
    };

    virtual ~Executor() = default;

    /// The clock of the timers, and of every task that runs here.
    virtual platform::Clock& clock() const = 0;
    /// Queues the work.
    virtual void post(Work work) = 0;
    /// Queues the work once the clock's continuous time reaches the deadline.
    virtual TimerID postAt(platform::Clock::TimePoint deadline, Work work) = 0;
    /// Drops a timer whose work has not been queued yet; an unknown or spent ID is ignored.
    virtual void cancelTimer(TimerID timer) noexcept = 0;

    const std::shared_ptr<Gate>& gate() const noexcept { return m_gate; }

protected:
    Executor() : m_gate(std::make_shared<Gate>(*this)) {}
    /// Every executor's destructor calls this first, before anything it owns goes.
    void closeGate() noexcept { m_gate->close(); }

private:
    std::shared_ptr<Gate> m_gate;
};

/// The queue that ManualExecutor and ThreadExecutor share: posted work and timers under one mutex.
class QueuedExecutor : public Executor {
public:
    explicit QueuedExecutor(platform::Clock& clock) : m_clock(clock) {}

    platform::Clock& clock() const override { return m_clock; }
    void post(Work work) override;
    TimerID postAt(platform::Clock::TimePoint deadline, Work work) override;
    void cancelTimer(TimerID timer) noexcept override;

protected:
    /// Called after every post and timer, with the mutex released, so a waiting thread can look again.
    virtual void workArrived() {}

    /// The next work to run: posted work first, then due timers in deadline order. Takes m_mutex.
    std::optional<Work> takeNext();
    /// The earliest deadline of a timer still waiting, if any. Takes m_mutex.
    std::optional<platform::Clock::TimePoint> nextDeadline() const;
    /// Whether work is ready to run now. The caller holds m_mutex.
    bool hasReadyWorkLocked() const;
    /// Drops every queued work and timer, also what their destruction posts (a task whose frame goes may
    /// answer others). Closures are destroyed outside the lock.
    void discardAll() noexcept;

    mutable std::mutex m_mutex; // guards m_ready, m_timers, m_timerDeadlines, m_nextTimer; never held
                                // across running work
    platform::Clock& m_clock;

private:
    std::deque<Work> m_ready;
    std::multimap<platform::Clock::TimePoint, std::pair<TimerID, Work>> m_timers;
    std::map<TimerID, platform::Clock::TimePoint> m_timerDeadlines;
    TimerID m_nextTimer = 1;
};

} // namespace tandalo::app
