#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace updates {

/// A started one-shot timer; destroying the handle cancels it.
class Timer {
public:
    virtual ~Timer() = default;
};

/// Where the framework's timers come from: Qt's event loop in the application, a clock the test moves in
/// tests. Every action runs on the thread of the framework's objects (the application's main thread).
class Timers {
public:
    virtual ~Timers() = default;

    /// Runs action once, delay from now, unless the returned handle is destroyed first. A zero delay
    /// runs it on a later turn of the event loop, never inside this call.
    virtual std::unique_ptr<Timer> startTimer(std::chrono::milliseconds delay,
                                              std::function<void()> action) = 0;

    /// Timers of the Qt event loop of the calling thread.
    static Timers& qt();
};

} // namespace updates
