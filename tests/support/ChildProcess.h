#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

/// A program run by a test as a process of its own, with its standard output and error on one pipe that
/// the test reads. Destruction kills it (SIGKILL) if it still runs and reaps it. Move-only.
class ChildProcess {
public:
    /// Starts the program with the test's environment plus extra "NAME=value" variables. Throws
    /// std::runtime_error when it cannot be started.
    static ChildProcess start(const std::string& program, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& extraEnvironment = {});
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const noexcept { return m_pid; }
    /// The next line it writes, without its newline; nothing once it has closed its output. Blocks.
    std::optional<std::string> readLine();
    /// What it writes until it closes its output. Blocks.
    std::string readRest();
    void signal(int number) const;
    /// Waits for it to end: its exit status, or 128 plus the signal that ended it.
    int wait();

private:
    ChildProcess(pid_t pid, int output) noexcept : m_pid(pid), m_output(output) {}

    pid_t m_pid = -1; // -1 once reaped
    int m_output = -1;
    std::string m_buffered;
};

/// Runs the program to its end; its exit status and what it wrote.
std::pair<int, std::string> runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& extraEnvironment = {});

} // namespace testsupport
