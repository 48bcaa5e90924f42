#pragma once

#include "Tandalo/core/ProcessRunner.h"
#include "Tandalo/core/WorkerThreads.h"

#include <cstddef>

namespace tandalo::app {

/// Child processes on Linux: posix_spawn with one pipe for standard output and standard error, read by a
/// thread of its own while the child runs, so a child that writes more than a pipe holds never blocks on
/// it. A child still running when its time limit passes on the clock is killed. Output beyond the limit
/// given here is read and dropped. Destroying the runner kills the children still running and waits for
/// their threads; their completions are not called.
class LinuxProcessRunner final : public ProcessRunner {
public:
    static constexpr std::size_t defaultOutputLimit = 1U << 20;

    explicit LinuxProcessRunner(platform::Clock& clock = platform::Clock::system(),
                                std::size_t outputLimit = defaultOutputLimit);

    void start(const ProcessCommand& command, Completion done) override;
    /// Kills the children still running and waits until they are gone; their completions are not called.
    /// The application's quit does so first, so that no mount finishes after it unmounted everything.
    void stopAll() { m_watchers.stopAll(); }

private:
    platform::Clock& m_clock;
    std::size_t m_outputLimit;
    WorkerThreads m_watchers; // last: its threads use the members above
};

} // namespace tandalo::app
