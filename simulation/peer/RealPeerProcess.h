#pragma once

#include "platform/foundation/Clock.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace simulation {

/// One run of a peer program as a child process: started with its arguments, its standard output and
/// error going to a log file. Owns the child: destruction stops it (SIGTERM, then SIGKILL) and reaps it,
/// never waiting longer than the limits. Move-only.
class RealPeerProcess {
public:
    /// How a run ended.
    struct Exit {
        bool exited = false; // by exit(): code is its status; otherwise by a signal
        int code = 0;        // the exit status or the signal number
        std::string text() const;
    };

    /// Starts the program. Throws RealPeerError when it cannot be started.
    static RealPeerProcess start(const std::filesystem::path& program,
                                 const std::vector<std::string>& arguments,
                                 const std::filesystem::path& logFile,
                                 platform::Clock& clock = platform::Clock::system());

    RealPeerProcess(RealPeerProcess&& other) noexcept;
    /// Stops what this owner ran, then takes the other's process. A self-move changes nothing.
    RealPeerProcess& operator=(RealPeerProcess&& other) noexcept;
    RealPeerProcess(const RealPeerProcess&) = delete;
    RealPeerProcess& operator=(const RealPeerProcess&) = delete;
    ~RealPeerProcess();

    pid_t pid() const noexcept { return m_pid; }
    /// Reaps the child if it has ended; true while it runs.
    bool isRunning();
    /// How it ended, once reaped.
    std::optional<Exit> exit() const noexcept { return m_exit; }
    /// Asks it to end (SIGTERM), waits up to grace, then kills it (SIGKILL) and waits up to limit for
    /// the reaping. Returns how it ended, or nothing when it could not be reaped within the limits (it is
    /// then left to the next call). Never throws; doing it again after the end changes nothing.
    std::optional<Exit> stop(std::chrono::milliseconds grace = std::chrono::seconds(2),
                             std::chrono::milliseconds limit = std::chrono::seconds(5)) noexcept;

private:
    RealPeerProcess(pid_t pid, platform::Clock& clock) : m_pid(pid), m_clock(&clock) {}
    bool waitFor(std::chrono::milliseconds limit);

    pid_t m_pid = -1; // -1 once reaped or moved from
    platform::Clock* m_clock;
    std::optional<Exit> m_exit;
};

} // namespace simulation
