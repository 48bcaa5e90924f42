#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace testsupport {

ChildProcess ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& extraEnvironment) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        envp.push_back(*variable);
    }
    for (const auto& variable : extraEnvironment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (result != 0) {
        ::close(pipe[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(result));
    }
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
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::pair<int, std::string> runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& extraEnvironment) {
    auto child = ChildProcess::start(program, arguments, extraEnvironment);
    auto output = child.readRest();
    return {child.wait(), std::move(output)};
}

} // namespace testsupport
