#pragma once

#include "platform/foundation/Clock.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace simulation {

/// Fires a callback once the phone's clock reaches a time: how a phone that answered notYet because its
/// link is slow tells the bus when it can go on. The thread starts with the first schedule() and sleeps
/// through the clock, so a virtual clock that advances on sleeps runs a benchmark's link in no real time.
class PhoneTimer {
public:
    PhoneTimer(platform::Clock& clock, std::function<void()> fire);
    ~PhoneTimer();
    PhoneTimer(const PhoneTimer&) = delete;
    PhoneTimer& operator=(const PhoneTimer&) = delete;

    /// Fires at or after when; an earlier pending time wins, and each time fires once.
    void schedule(platform::Clock::TimePoint when);

private:
    void run(std::stop_token stop);

    platform::Clock& m_clock;
    std::function<void()> m_fire;
    std::mutex m_mutex; // guards m_due and m_thread's start; never held across m_fire or a sleep
    std::condition_variable_any m_changed;
    std::optional<platform::Clock::TimePoint> m_due;
    std::jthread m_thread;
};

} // namespace simulation
