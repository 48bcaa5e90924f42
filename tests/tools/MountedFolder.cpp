#include "tests/tools/MountedFolder.h"

#include "tests/support/PassingTime.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <iomanip>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tandalo::tools::testing {

namespace {
// Each piece of work on a mount gets this long, in real time, before the mount is forced away.
constexpr std::chrono::seconds workLimit{60};
} // namespace

std::string fuseUnavailableReason() {
    const int descriptor = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        return std::string("/dev/fuse cannot be opened (") + std::strerror(errno) + ")";
    }
    ::close(descriptor);
    return {};
}

std::string sha256Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::ostringstream hex;
    for (unsigned int index = 0; index < length; ++index) {
        hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(digest[index]);
    }
    return hex.str();
}

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761U + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

std::string readThrough(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    std::string bytes;
    std::vector<char> buffer(128 << 10);
    while (true) {
        const auto got = ::read(descriptor, buffer.data(), buffer.size());
        if (got < 0) {
            const int error = errno;
            ::close(descriptor);
            throw std::runtime_error("read " + path + ": " + std::strerror(error));
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(descriptor);
    return bytes;
}

void writeThrough(const std::string& path, const std::string& bytes) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto written =
            ::write(descriptor, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (written <= 0) {
            const int error = errno;
            ::close(descriptor);
            throw std::runtime_error("write " + path + ": " + std::strerror(error));
        }
        done += static_cast<std::size_t>(written);
    }
    if (::close(descriptor) != 0) {
        throw std::runtime_error("close " + path + ": " + std::strerror(errno));
    }
}

void patchThrough(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    const auto written = ::pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    const int writeError = errno;
    if (::close(descriptor) != 0) {
        throw std::runtime_error("close " + path + ": " + std::strerror(errno));
    }
    if (written != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("pwrite " + path + ": " +
                                 (written < 0 ? std::strerror(writeError) : "short write"));
    }
}

std::set<std::string> namesIn(const std::string& path) {
    std::set<std::string> names;
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        throw std::runtime_error("opendir " + path + ": " + std::strerror(errno));
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    }
    ::closedir(folder);
    return names;
}

CommandResult run(const std::vector<std::string>& arguments) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    CommandResult result;
    char buffer[4096];
    for (ssize_t got = 0; (got = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    if (spawned == 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

bool installed(const std::string& program) {
    return run({"sh", "-c", "command -v " + program}).status == 0;
}

bool rsyncTwiceKeepsTimes(const std::string& tree, const std::string& folder) {
    const auto first = run({"rsync", "-a", tree + "/", folder + "/"});
    if (first.status != 0) {
        EXPECT_EQ(first.status, 23) << first.output;
        EXPECT_NE(first.output.find("failed to set times"), std::string::npos) << first.output;
        return false;
    }
    const auto second = run({"rsync", "-a", "--stats", tree + "/", folder + "/"});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_NE(second.output.find("Number of regular files transferred: 0"), std::string::npos)
        << second.output;
    return true;
}

int errnoOf(int result) {
    return result < 0 ? errno : 0;
}

void withinLimit(fusehost::FuseMount& mount, const std::function<void()>& work) {
    withinLimit([&] { mount.unmount(fusehost::UnmountMode::force); }, work);
}

void withinLimit(const std::function<void()>& forceAway, const std::function<void()>& work) {
    std::packaged_task<void()> task(work);
    auto done = task.get_future();
    std::thread worker(std::move(task));
    if (done.wait_for(workLimit) != std::future_status::ready) {
        ADD_FAILURE() << "the work on the mount took longer than " << workLimit.count() << " s";
        forceAway();
    }
    worker.join();
    try {
        done.get();
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
    }
}

platform::Clock::Duration readOnUntilItEnds(int file, platform::VirtualClock& clock, int& error) {
    std::vector<char> buffer(128 << 10);
    return testsupport::passTimeWhile(clock, [&] {
        while (true) {
            const auto got = ::read(file, buffer.data(), buffer.size());
            if (got <= 0) {
                error = got < 0 ? errno : 0;
                return;
            }
        }
    });
}

void expectEverythingFailsAtOnceAndUnmounts(fusehost::FuseMount& mount, platform::VirtualClock& clock,
                                            const std::filesystem::path& folderNeverListed,
                                            const std::filesystem::path& newFile) {
    using RealClock = std::chrono::steady_clock;
    const auto started = RealClock::now();
    const auto laterTook = testsupport::passTimeWhile(clock, [&] {
        struct stat status {};
        EXPECT_EQ(errnoOf(::stat((folderNeverListed / "song.mp3").c_str(), &status)), EIO);
        const int created = ::open(newFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(created, 0) << std::strerror(errno);
        EXPECT_EQ(::write(created, "lost", 4), 4) << "a new file starts in memory";
        EXPECT_EQ(errnoOf(::close(created)), EIO);
    });
    EXPECT_EQ(laterTook, platform::Clock::Duration::zero());
    EXPECT_LT(RealClock::now() - started, std::chrono::seconds(5));

    const auto unmounting = RealClock::now();
    // Unmounting waits for work still ending a second at a time on the clock, which the rig may move on
    // while that work waits for a processor on a loaded machine; a wait for the phone would take 5 s.
    EXPECT_LT(testsupport::passTimeWhile(clock, [&] { EXPECT_NO_THROW(mount.shutdown()); }),
              std::chrono::seconds(5));
    EXPECT_LT(RealClock::now() - unmounting, std::chrono::seconds(5));
}

} // namespace tandalo::tools::testing
