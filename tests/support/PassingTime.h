#pragma once

#include "platform/foundation/Clock.h"

#include <chrono>
#include <functional>
#include <future>

namespace testsupport {

/// Runs work on a thread of its own and, whenever a thread waits on the clock while the work runs, moves
/// the clock on to that deadline: the work's time-outs pass in virtual time, so work that waits for a
/// silent device ends instead of hanging the test. Returns the virtual time the work took; rethrows what
/// the work throws. Only for work whose waits on the clock are time-outs: nothing else may wait on it.
inline platform::Clock::Duration passTimeWhile(platform::VirtualClock& clock,
                                               const std::function<void()>& work) {
    const auto start = clock.now();
    auto running = std::async(std::launch::async, work);
    while (running.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        clock.advanceToNextDeadline();
    }
    const auto elapsed = clock.now() - start;
    running.get();
    return elapsed;
}

} // namespace testsupport
