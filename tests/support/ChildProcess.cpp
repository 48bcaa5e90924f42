#include "ChildProcess.h"

#include "platform/foundation/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace testsupport {

ChildProcess ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& extraEnvironment) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pid_t pid = -1;
    try {
        pid = platform::spawnProgram(program, arguments, extraEnvironment, pipe[1]);
    } catch (...) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        throw;
    }
    ::close(pipe[1]);
    return ChildProcess(pid, pipe[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)), m_output(std::exchange(other.m_output, -1)),
      m_buffered(std::move(other.m_buffered)) {}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        wait();
    }
    if (m_output >= 0) {
        ::close(m_output);
    }
}

std::optional<std::string> ChildProcess::readLine() {
    while (true) {
        if (const auto end = m_buffered.find('\n'); end != std::string::npos) {
            auto line = m_buffered.substr(0, end);
            m_buffered.erase(0, end + 1);
            return line;
        }
        char piece[4096];
        const auto got = ::read(m_output, piece, sizeof piece);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (m_buffered.empty()) {
                return std::nullopt;
            }
            return std::exchange(m_buffered, {});
        }
        m_buffered.append(piece, static_cast<std::size_t>(got));
    }
}

std::string ChildProcess::readRest() {
    std::string text;
    while (const auto line = readLine()) {
        text += *line + "\n";
    }
    return text;
}

void ChildProcess::signal(int number) const {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

int ChildProcess::wait() {
    if (m_pid <= 0) {
        return -1;
    }
    return platform::waitForChild(std::exchange(m_pid, -1));
}

std::pair<int, std::string> runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& extraEnvironment) {
    auto child = ChildProcess::start(program, arguments, extraEnvironment);
    auto output = child.readRest();
    return {child.wait(), std::move(output)};
}

} // namespace testsupport
