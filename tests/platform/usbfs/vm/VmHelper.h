#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace usbfs::vm {

/// A second program for the machine's tests: this test program run again in one of its helper modes
/// (see HolderProgram.cpp), with a pipe to its standard input and one from its standard output.
/// Destruction closes its input, which ends it, and reaps it.
class Helper {
public:
    explicit Helper(const std::vector<std::string>& arguments);
    ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t pid() const noexcept { return m_pid; }
    /// The next line it writes, without its newline; nothing when none comes within the limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(20));
    /// Ends its input and waits for it; its exit status (or 128 + signal).
    int finish();

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_buffered;
    std::optional<int> m_status;
};

/// Runs the helper mode named by argv[1], if any; its exit status, or nothing for a normal test run.
std::optional<int> runHelperMode(int argc, char** argv);

} // namespace usbfs::vm
