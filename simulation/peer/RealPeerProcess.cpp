#include "simulation/peer/RealPeerProcess.h"

#include "simulation/peer/RealPeerError.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace simulation {

namespace {

// How often a wait for the child looks again.
constexpr auto reapPollInterval = std::chrono::milliseconds(2);

// posix_spawn's file actions, freed however start ends.
class FileActions {
public:
    FileActions() {
        if (const int error = posix_spawn_file_actions_init(&m_actions); error != 0) {
            throw RealPeerError::fromErrno("posix_spawn_file_actions_init", error);
        }
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

} // namespace

std::string RealPeerProcess::Exit::text() const {
    return exited ? "exit status " + std::to_string(code) : "signal " + std::to_string(code);
}

RealPeerProcess RealPeerProcess::start(const std::filesystem::path& program,
                                       const std::vector<std::string>& arguments,
                                       const std::filesystem::path& logFile, platform::Clock& clock) {
    FileActions actions;
    // No standard input; output and errors to the log; nothing else of this process's is inherited (the
    // FUSE device above all, which would keep the mount's connection alive).
    int error = posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) {
        error = posix_spawn_file_actions_addopen(actions.get(), 1, logFile.c_str(),
                                                 O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    if (error == 0) {
        error = posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
    }
    if (error == 0) {
        error = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    }
    if (error != 0) {
        throw RealPeerError::fromErrno("posix_spawn_file_actions", error);
    }
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    error = posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (error != 0) {
        throw RealPeerError::fromErrno("posix_spawn " + program.string(), error);
    }
    return RealPeerProcess(pid, clock);
}

RealPeerProcess::RealPeerProcess(RealPeerProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)), m_clock(other.m_clock), m_exit(other.m_exit) {}

RealPeerProcess& RealPeerProcess::operator=(RealPeerProcess&& other) noexcept {
    if (this != &other) {
        stop();
        m_pid = std::exchange(other.m_pid, -1);
        m_clock = other.m_clock;
        m_exit = other.m_exit;
    }
    return *this;
}

RealPeerProcess::~RealPeerProcess() {
    stop();
}

bool RealPeerProcess::isRunning() {
    if (m_pid < 0) {
        return false;
    }
    int status = 0;
    const pid_t reaped = ::waitpid(m_pid, &status, WNOHANG);
    if (reaped == 0) {
        return true;
    }
    if (reaped == m_pid) {
        m_exit = WIFEXITED(status) ? Exit{true, WEXITSTATUS(status)} : Exit{false, WTERMSIG(status)};
    }
    // Reaped now, or by someone else (ECHILD): either way it no longer runs as ours.
    m_pid = -1;
    return false;
}

bool RealPeerProcess::waitFor(std::chrono::milliseconds limit) {
    const auto deadline = m_clock->deadlineAfter(limit);
    while (isRunning()) {
        if (m_clock->now() >= deadline) {
            return false;
        }
        m_clock->sleepFor(reapPollInterval);
    }
    return true;
}

std::optional<RealPeerProcess::Exit> RealPeerProcess::stop(std::chrono::milliseconds grace,
                                                           std::chrono::milliseconds limit) noexcept {
    if (!isRunning()) {
        return m_exit;
    }
    ::kill(m_pid, SIGTERM);
    if (waitFor(grace)) {
        return m_exit;
    }
    ::kill(m_pid, SIGKILL);
    if (waitFor(limit)) {
        return m_exit;
    }
    return std::nullopt;
}

} // namespace simulation
