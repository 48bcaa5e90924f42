#pragma once

#include <chrono>

namespace tandalo::tools {

/// Turns SIGINT and SIGTERM into a request to stop, through a self-pipe, for a program that serves until
/// it is told to end. One per process.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// Whether a stop was asked for; waits up to limit for one.
    bool waitForStop(std::chrono::milliseconds limit);
    /// Waits until a stop is asked for.
    void waitForStop();
    /// Asks for a stop as a signal would. Any thread.
    void requestStop();
};

} // namespace tandalo::tools
