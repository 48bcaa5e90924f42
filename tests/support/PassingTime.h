#pragma once

#include "platform/foundation/Clock.h"

#include <chrono>
#include <functional>
#include <future>

namespace testsupport {

/// Runs work on a thread of its own and, whenever the work waits on the clock, moves the clock on to the
/// next deadline: the work's time-outs pass in virtual time, so work that waits for a silent device ends
/// instead of hanging the test. Waits already under way when the work begins are not the work's: the
/// clock moves only while more threads wait than did then. Returns the virtual time the work took;
/// rethrows what the work throws. Only for work whose own waits on the clock are time-outs.
inline platform::Clock::Duration passTimeWhile(platform::VirtualClock& clock,
                                               const std::function<void()>& work) {
    const auto start = clock.now();
    const auto others = clock.waiterCount();
    auto running = std::async(std::launch::async, work);
    while (running.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        if (clock.waiterCount() > others) {
            clock.advanceToNextDeadline();
        }
    }
    const auto elapsed = clock.now() - start;
    running.get();
    return elapsed;
}

} // namespace testsupport
