#include "Tandalo/core/VolumeServers.h"

#include "platform/foundation/Logger.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/WholeNumber.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tandalo::app {

namespace {

oslog::Logger& serversLog() {
    static oslog::Logger log("com.brenwick.Tandalo", "mount");
    return log;
}

/// What a watch and its thread share: the process's pidfd, and the eventfd that ends the watch early.
struct WatchState {
    platform::UniqueFd process;
    platform::UniqueFd stop;
    std::atomic<bool> cancelled = false;

    void cancel() {
        cancelled = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop.get(), &one, sizeof one);
    }
};

class LinuxWatch final : public VolumeServers::Watch {
public:
    explicit LinuxWatch(std::shared_ptr<WatchState> state) : m_state(std::move(state)) {}
    ~LinuxWatch() override {
        if (m_state) {
            m_state->cancel();
        }
    }

private:
    std::shared_ptr<WatchState> m_state;
};

} // namespace

void LinuxVolumeServers::askDisconnected(const std::filesystem::path& folder, Answer done) {
    // stat() goes to the volume's server, which may be slow to answer: never on the caller's thread.
    m_workers.start("server of " + folder.string(), [folder, done = std::move(done)](std::stop_token) {
        struct stat status {};
        done(::stat(folder.c_str(), &status) != 0 && errno == ENOTCONN);
    });
}

std::unique_ptr<VolumeServers::Watch> LinuxVolumeServers::watchProcess(std::int32_t pid, Ended ended) {
    auto state = std::make_shared<WatchState>();
    state->process = platform::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!state->process) {
        const int error = errno;
        if (error == ESRCH) {
            ended(); // gone already
        } else {
            serversLog().error("cannot watch process %d: %{public}s", pid, std::strerror(error));
        }
        return std::make_unique<LinuxWatch>(nullptr);
    }
    state->stop = platform::UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!state->stop) {
        serversLog().error("cannot watch process %d: %{public}s", pid, std::strerror(errno));
        return std::make_unique<LinuxWatch>(nullptr);
    }
    m_workers.start("watch process " + std::to_string(pid),
                    [state, ended = std::move(ended)](std::stop_token token) {
                        std::stop_callback onStop(token, [&state] { state->cancel(); });
                        std::array<pollfd, 2> watched{pollfd{state->process.get(), POLLIN, 0},
                                                      pollfd{state->stop.get(), POLLIN, 0}};
                        while (::poll(watched.data(), watched.size(), -1) < 0 && errno == EINTR) {
                        }
                        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !state->cancelled) {
                            ended();
                        }
                    });
    return std::make_unique<LinuxWatch>(std::move(state));
}

std::optional<std::int32_t> LinuxVolumeServers::serverOf(const std::filesystem::path& folder,
                                                         const std::filesystem::path& program) const {
    std::optional<std::int32_t> found;
    std::error_code error;
    std::filesystem::directory_iterator processes("/proc", error);
    for (const auto& entry : processes) {
        const auto name = entry.path().filename().string();
        const auto pid = platform::wholeNumber<std::int32_t>(name);
        if (!pid) {
            continue;
        }
        std::error_code unreadable;
        // A process whose executable cannot be read is another user's, or gone.
        if (std::filesystem::read_symlink(entry.path() / "exe", unreadable) != program || unreadable) {
            continue;
        }
        std::ifstream commandLine(entry.path() / "cmdline", std::ios::binary);
        std::string argument;
        std::string last;
        while (std::getline(commandLine, argument, '\0')) {
            last = argument;
        }
        if (std::filesystem::path(last) != folder) {
            continue;
        }
        if (found) {
            return std::nullopt; // two: one is still starting, and neither is known to serve
        }
        found = pid;
    }
    return found;
}

} // namespace tandalo::app
