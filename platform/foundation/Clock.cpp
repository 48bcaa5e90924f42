#include "platform/foundation/Clock.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <thread>

namespace platform {

namespace {

constexpr auto century = std::chrono::hours(24 * 365 * 100);

// A real-time slice after which a virtual waiter re-checks time: short enough that tests stay fast,
// long enough not to spin.
constexpr auto pollSlice = std::chrono::milliseconds(1);

// How late after a wake a real wait may end whose deadline passed while the computer slept.
constexpr auto suspendSlice = std::chrono::seconds(1);

} // namespace

Clock::Duration Clock::toDuration(Seconds seconds) {
    const double value = seconds.count();
    if (std::isnan(value) || value <= 0) {
        return Duration::zero();
    }
    const double limit = std::chrono::duration_cast<Seconds>(century).count();
    if (value >= limit) {
        return std::chrono::duration_cast<Duration>(century);
    }
    return std::chrono::duration_cast<Duration>(seconds);
}

Clock::TimePoint Clock::deadlineAfter(Duration duration) const {
    const auto start = now();
    if (duration <= Duration::zero()) {
        return start;
    }
    if (duration > TimePoint::max() - start) {
        return TimePoint::max();
    }
    return start + duration;
}

bool Clock::sleepFor(Duration duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    waitFor(lock, cv, duration, stop, [] { return false; });
    return !stop.stop_requested();
}

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

// CLOCK_BOOTTIME, not the steady clock (CLOCK_MONOTONIC), which stands still while the computer
// sleeps: a grace, a retry or a take-over window must count the time asleep as time passed.
Clock::TimePoint SystemClock::now() const {
    timespec time{};
    ::clock_gettime(CLOCK_BOOTTIME, &time);
    return TimePoint(std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec));
}

Clock::WallTime SystemClock::wallNow() const {
    return std::chrono::system_clock::now();
}

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv,
                            TimePoint deadline, std::stop_token stop, const std::function<bool()>& pred) {
    // The condition variable waits on the steady clock, which stops during a suspend: waiting in slices
    // and reading the time again ends a wait whose deadline passed while asleep soon after the wake.
    while (true) {
        const auto left = deadline - now();
        if (left <= Duration::zero()) {
            return pred();
        }
        if (cv.wait_for(lock, stop, std::min<Duration>(left, suspendSlice), pred)) {
            return true;
        }
        if (stop.stop_requested()) {
            return pred();
        }
    }
}

VirtualClock::VirtualClock(AutoAdvance autoAdvance)
    : m_autoAdvance(autoAdvance), m_wallBase(std::chrono::sys_days(std::chrono::year(2026) / 1 / 1)) {}

Clock::TimePoint VirtualClock::now() const {
    return TimePoint(Duration(m_ticks.load()));
}

Clock::WallTime VirtualClock::wallNow() const {
    std::lock_guard guard(m_mutex);
    return m_wallBase + std::chrono::duration_cast<WallTime::duration>(Duration(m_ticks.load()));
}

void VirtualClock::setWallTime(WallTime wall) {
    std::lock_guard guard(m_mutex);
    m_wallBase = wall - std::chrono::duration_cast<WallTime::duration>(Duration(m_ticks.load()));
}

void VirtualClock::setAutoAdvance(AutoAdvance autoAdvance) {
    m_autoAdvance = autoAdvance;
}

bool VirtualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv,
                             TimePoint deadline, std::stop_token stop, const std::function<bool()>& pred) {
    if (pred()) {
        return true;
    }
    std::multimap<TimePoint, int>::iterator entry;
    {
        std::lock_guard guard(m_mutex);
        entry = m_deadlines.emplace(deadline, 0);
    }
    m_waitersChanged.notify_all();
    bool result = false;
    while (true) {
        if (pred()) {
            result = true;
            break;
        }
        if (stop.stop_requested() || now() >= deadline) {
            break;
        }
        cv.wait_for(lock, stop, pollSlice, pred);
    }
    {
        std::lock_guard guard(m_mutex);
        m_deadlines.erase(entry);
    }
    m_waitersChanged.notify_all();
    return result;
}

bool VirtualClock::sleepFor(Duration duration, std::stop_token stop) {
    if (m_autoAdvance.load() == AutoAdvance::sleeps) {
        if (stop.stop_requested()) {
            return false;
        }
        advance(duration);
        return true;
    }
    return Clock::sleepFor(duration, stop);
}

void VirtualClock::advance(Duration duration) {
    if (duration > Duration::zero()) {
        m_ticks.fetch_add(duration.count());
    }
}

bool VirtualClock::advanceToNextDeadline() {
    TimePoint next;
    {
        std::lock_guard guard(m_mutex);
        if (m_deadlines.empty()) {
            return false;
        }
        next = m_deadlines.begin()->first;
    }
    const auto current = now();
    if (next > current) {
        advance(next - current);
    }
    return true;
}

std::size_t VirtualClock::waiterCount() const {
    std::lock_guard guard(m_mutex);
    return m_deadlines.size();
}

bool VirtualClock::waitForWaiters(std::size_t count, std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(m_mutex);
    return m_waitersChanged.wait_for(lock, realLimit, [&] { return m_deadlines.size() >= count; });
}

} // namespace platform
