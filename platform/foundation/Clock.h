#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>

namespace platform {

/// Seconds as the protocol code counts them: fractional, possibly out of range when a caller is careless.
using Seconds = std::chrono::duration<double>;

/// The one time source of the system: every wait, poll, retry and time-out goes through a Clock, so that
/// tests can run a 60 s poll or a 12 s permission wait in microseconds on a VirtualClock.
class Clock {
public:
    using Duration = std::chrono::nanoseconds;
    using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;
    using WallTime = std::chrono::system_clock::time_point;

    virtual ~Clock() = default;

    /// Continuous time: monotonic, unaffected by changes of the wall clock, and running while the computer
    /// sleeps.
    virtual TimePoint now() const = 0;
    /// Wall-clock time, for dates shown to people and written to devices.
    virtual WallTime wallNow() const = 0;

    /// Blocks until pred() holds, the deadline passes or stop is requested. The lock is held on entry and
    /// on return, and pred() is only called with it held. Returns the last value of pred().
    /// Whoever makes pred() true must notify cv while holding the lock's mutex (or after releasing it).
    virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv,
                           TimePoint deadline, std::stop_token stop, const std::function<bool()>& pred) = 0;

    bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv, Duration timeout,
                 std::stop_token stop, const std::function<bool()>& pred) {
        return waitUntil(lock, cv, deadlineAfter(timeout), stop, pred);
    }

    /// Sleeps for the duration. Returns false when stop was requested before it ended.
    virtual bool sleepFor(Duration duration, std::stop_token stop = {});

    /// now() + duration without overflow: a huge duration gives a deadline far in the future.
    TimePoint deadlineAfter(Duration duration) const;

    /// Converts protocol seconds to a duration: NaN and negative values become zero, values beyond a
    /// century are clamped there, so no caller can reach undefined behaviour through a conversion.
    static Duration toDuration(Seconds seconds);

    /// The process's real clock.
    static Clock& system();
};

/// The real clock: CLOCK_BOOTTIME for continuous time (it goes on while the computer sleeps; its time
/// points carry the steady clock's type only as the continuous clock's), system_clock for wall time.
class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    WallTime wallNow() const override;
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv, TimePoint deadline,
                   std::stop_token stop, const std::function<bool()>& pred) override;
};

/// A clock for tests: time stands still until the test advances it. Waiters re-check their condition
/// when time moves and at least every millisecond of real time, so no wake-up is lost.
/// With AutoAdvance::sleeps, a plain sleep moves time forward by itself instead of blocking, which lets
/// retry loops and polls run without a test thread driving them.
class VirtualClock final : public Clock {
public:
    enum class AutoAdvance { never, sleeps };

    explicit VirtualClock(AutoAdvance autoAdvance = AutoAdvance::never);

    TimePoint now() const override;
    WallTime wallNow() const override;
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv, TimePoint deadline,
                   std::stop_token stop, const std::function<bool()>& pred) override;
    bool sleepFor(Duration duration, std::stop_token stop = {}) override;

    /// Moves time forward; every waiter whose deadline has passed wakes up.
    void advance(Duration duration);
    /// Moves time to the earliest deadline any thread waits for; returns false when nobody waits.
    bool advanceToNextDeadline();
    /// How many threads are blocked in this clock right now.
    std::size_t waiterCount() const;
    /// Blocks (in real time, at most realLimit) until at least count threads wait in this clock.
    /// Returns false when the limit passed first: a test that expected a waiter should fail, not hang.
    bool waitForWaiters(std::size_t count,
                        std::chrono::milliseconds realLimit = std::chrono::seconds(20)) const;
    void setWallTime(WallTime wall);
    void setAutoAdvance(AutoAdvance autoAdvance);

private:
    std::atomic<Duration::rep> m_ticks{0};
    std::atomic<AutoAdvance> m_autoAdvance;
    mutable std::mutex
        m_mutex; // guards m_deadlines, m_wallBase; taken after any waiter's own lock, never before
    mutable std::condition_variable m_waitersChanged;
    std::multimap<TimePoint, int> m_deadlines;
    WallTime m_wallBase;
};

} // namespace platform
