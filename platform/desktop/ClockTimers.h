#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Task.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <utility>

class QObject;

namespace desktop {

/// One-shot timers for code on the Qt main thread that run on a platform::Clock, so that every time-out
/// of the desktop services follows the injected clock (a VirtualClock in tests) rather than Qt's own.
/// It owns a worker thread that waits on the clock and posts each due action back to the thread that
/// created this object. Create, start and cancel on that thread only. Every timer of the application's
/// Qt side comes from here: the desktop services', the main executor's and the update service's.
class ClockTimers {
public:
    using Id = std::uint64_t;

    /// A started timer that is cancelled when the handle goes or is replaced; move-only. Its action may
    /// replace or destroy the very handle that started it. The ClockTimers must outlive it.
    class Timer {
    public:
        Timer() = default;
        Timer(Timer&& other) noexcept
            : m_timers(std::exchange(other.m_timers, nullptr)), m_id(std::exchange(other.m_id, 0)) {}
        Timer& operator=(Timer&& other) noexcept {
            if (this != &other) {
                reset();
                m_timers = std::exchange(other.m_timers, nullptr);
                m_id = std::exchange(other.m_id, 0);
            }
            return *this;
        }
        ~Timer() { reset(); }

        void reset() noexcept {
            if (auto* timers = std::exchange(m_timers, nullptr)) {
                timers->cancel(m_id);
            }
        }

    private:
        friend class ClockTimers;
        Timer(ClockTimers& timers, Id id) : m_timers(&timers), m_id(id) {}

        ClockTimers* m_timers = nullptr;
        Id m_id = 0;
    };

    explicit ClockTimers(platform::Clock& clock);
    /// Stops the worker. Actions that have not run are dropped.
    ~ClockTimers();
    ClockTimers(const ClockTimers&) = delete;
    ClockTimers& operator=(const ClockTimers&) = delete;

    /// Runs action on the creating thread, from its event loop, once the clock has reached now() + delay.
    /// Never runs it from inside start(), even for a zero delay.
    Id start(platform::Clock::Duration delay, std::function<void()> action);
    /// The same, cancelled when the returned handle goes.
    [[nodiscard]] Timer startTimer(platform::Clock::Duration delay, std::function<void()> action) {
        return Timer(*this, start(delay, std::move(action)));
    }
    /// The action will not run. A timer that already ran, or was cancelled, is ignored.
    void cancel(Id id) noexcept;

    platform::Clock& clock() const { return m_clock; }

private:
    void run(std::stop_token stop);
    void fire(Id id);

    platform::Clock& m_clock;
    // Lives on the creating thread: actions are posted to it, and those still queued die with it.
    std::unique_ptr<QObject> m_context;
    std::map<Id, std::function<void()>> m_actions; // creating thread only
    Id m_nextId = 1;                               // creating thread only
    std::mutex m_mutex; // guards m_deadlines and m_changed; never held across a post or an action
    std::condition_variable_any m_wake;
    std::multimap<platform::Clock::TimePoint, Id> m_deadlines;
    bool m_changed = false;
    platform::Task m_worker; // last: it reads every member above, and is stopped first
};

} // namespace desktop
