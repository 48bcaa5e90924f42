#include "Tandalo/core/LinuxProcessRunner.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UniqueFd.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tandalo::app {

namespace {

// How often, in real time, a watcher looks at the clock for the time limit and at its stop request.
constexpr int lookIntervalMilliseconds = 20;

/// posix_spawn's attributes and file actions, released when done.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&m_attributes);
        posix_spawn_file_actions_init(&m_actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&m_actions);
        posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawnattr_t m_attributes;
    posix_spawn_file_actions_t m_actions;
};

/// One child, from launch to its result.
struct Child {
    pid_t pid = 0;
    platform::UniqueFd output; // the pipe's read end, non-blocking
    platform::UniqueFd pidfd;  // readable once the child has ended
    std::string name;
};

Child launch(const ProcessCommand& command) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw platform::FoundationError::fromErrno("pipe2", errno);
    }
    platform::UniqueFd readEnd(pipeEnds[0]);
    platform::UniqueFd writeEnd(pipeEnds[1]);
    SpawnSetup setup;
    // The child gets no input, the pipe as both output streams, none of our other descriptors, default
    // signal handling and no blocked signals, whatever the application set for itself.
    posix_spawn_file_actions_addopen(&setup.m_actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.m_actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.m_actions, writeEnd.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&setup.m_actions, STDERR_FILENO + 1);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&setup.m_attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&setup.m_attributes, &signals);
    posix_spawnattr_setflags(&setup.m_attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> owned;
    owned.reserve(command.arguments.size() + 1);
    owned.push_back(command.executable.string());
    owned.insert(owned.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : owned) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    Child child;
    child.name = command.executable.filename().string();
    const int failed = posix_spawn(&child.pid, owned.front().c_str(), &setup.m_actions, &setup.m_attributes,
                                   argv.data(), environ);
    if (failed != 0) {
        throw platform::FoundationError::fromErrno("launch", failed, command.executable.string());
    }
    writeEnd.reset(); // only the child writes now, so the pipe ends when it and its heirs close it
    ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
    child.output = std::move(readEnd);
    // Without a pidfd (kernels before 5.3) the end is found by asking waitpid() at each look.
    // (glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage, so the system call is made
    // directly.)
    child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
    return child;
}

/// Collects output up to a limit, reading and dropping the rest so the child never blocks on a full pipe.
class OutputBuffer {
public:
    explicit OutputBuffer(std::size_t limit) : m_limit(limit) {}

    /// Reads what the pipe holds now; false once it has ended (every writer closed it) or failed.
    bool drain(int descriptor) {
        std::array<char, 65536> chunk{};
        while (true) {
            const auto got = ::read(descriptor, chunk.data(), chunk.size());
            if (got > 0) {
                const auto kept =
                    std::min<std::size_t>(static_cast<std::size_t>(got), m_limit - m_text.size());
                m_text.append(chunk.data(), kept);
                m_dropped += static_cast<std::size_t>(got) - kept;
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }

    std::string text() const {
        // One pass through UTF-16 replaces every invalid UTF-8 sequence.
        auto decoded = platform::unicode::fromUTF16(platform::unicode::toUTF16(m_text));
        if (m_dropped > 0) {
            decoded += "\n[" + std::to_string(m_dropped) + " more bytes of output were dropped]\n";
        }
        return decoded;
    }

private:
    std::size_t m_limit;
    std::string m_text;
    std::size_t m_dropped = 0;
};

/// Whether the child has ended, without reaping it.
bool hasEnded(const Child& child) {
    if (child.pidfd) {
        pollfd ended{child.pidfd.get(), POLLIN, 0};
        return ::poll(&ended, 1, 0) > 0;
    }
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == child.pid;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

std::string seconds(platform::Clock::Duration duration) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

ProcessResult resultOf(const Child& child, int status, bool timedOut, platform::Clock::Duration limit,
                       std::string output) {
    ProcessResult result;
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
        result.output = std::move(output);
        return result;
    }
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
    result.status = 128 + signal;
    result.timedOut = timedOut;
    if (!output.empty() && output.back() != '\n') {
        output += '\n';
    }
    if (timedOut) {
        output += child.name + " did not finish within " + seconds(limit) + " s and was stopped.";
    } else {
        output +=
            child.name + " was ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ").";
    }
    result.output = std::move(output);
    return result;
}

} // namespace

LinuxProcessRunner::LinuxProcessRunner(platform::Clock& clock, std::size_t outputLimit)
    : m_clock(clock), m_outputLimit(outputLimit) {}

void LinuxProcessRunner::start(const ProcessCommand& command, Completion done) {
    auto child = std::make_shared<Child>(launch(command));
    const auto deadline = m_clock.deadlineAfter(command.timeLimit);
    const auto limit = command.timeLimit;
    m_watchers.start(
        "run " + child->name, [this, child, deadline, limit, done = std::move(done)](std::stop_token stop) {
            OutputBuffer output(m_outputLimit);
            bool reading = true;
            bool timedOut = false;
            while (true) {
                if (reading) {
                    reading = output.drain(child->output.get());
                }
                if (hasEnded(*child)) {
                    // What the child wrote before it ended is still in the pipe: take it, then stop reading,
                    // even if a process it left behind keeps the pipe open.
                    if (reading) {
                        output.drain(child->output.get());
                    }
                    break;
                }
                if (stop.stop_requested()) {
                    ::kill(child->pid, SIGKILL);
                    reap(child->pid);
                    return;
                }
                if (!timedOut && m_clock.now() >= deadline) {
                    timedOut = true;
                    ::kill(child->pid, SIGKILL);
                }
                std::array<pollfd, 2> watched{pollfd{reading ? child->output.get() : -1, POLLIN, 0},
                                              pollfd{child->pidfd ? child->pidfd.get() : -1, POLLIN, 0}};
                ::poll(watched.data(), watched.size(), lookIntervalMilliseconds);
            }
            const int status = reap(child->pid);
            done(resultOf(*child, status, timedOut, limit, output.text()));
        });
}

} // namespace tandalo::app
