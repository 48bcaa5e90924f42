#include "Tandalo/core/VolumeUnmounter.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace tandalo::app {

LinuxVolumeUnmounter::LinuxVolumeUnmounter(ProcessRunner& runner, std::filesystem::path fusermount)
    : m_runner(runner), m_fusermount(std::move(fusermount)) {}

void LinuxVolumeUnmounter::unmount(const std::filesystem::path& folder, Completion done) {
    // umount2 may wait for the file system; it runs away from the caller's thread.
    m_workers.start("unmount " + folder.string(), [folder, done = std::move(done)](std::stop_token) {
        if (::umount2(folder.c_str(), UMOUNT_NOFOLLOW) == 0) {
            done(std::nullopt);
        } else {
            done(std::string(std::strerror(errno)));
        }
    });
}

void LinuxVolumeUnmounter::forceUnmount(const std::filesystem::path& folder, Completion done) {
    m_workers.start(
        "force unmount " + folder.string(), [this, folder, done = std::move(done)](std::stop_token) {
            if (::umount2(folder.c_str(), MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {
                done(std::nullopt);
                return;
            }
            const int error = errno;
            if (error != EPERM) {
                done(std::string(std::strerror(error)));
                return;
            }
            // A user without the right to unmount: the setuid helper detaches the mounts it made for them.
            ProcessCommand command{m_fusermount, {"-u", "-z", folder.string()}, std::chrono::seconds(30)};
            try {
                m_runner.start(command, [done](ProcessResult result) {
                    while (!result.output.empty() &&
                           std::isspace(static_cast<unsigned char>(result.output.back()))) {
                        result.output.pop_back();
                    }
                    if (result.status == 0) {
                        done(std::nullopt);
                    } else {
                        done(result.output.empty() ? "fusermount3 exit " + std::to_string(result.status)
                                                   : result.output);
                    }
                });
            } catch (const std::exception& launch) {
                done(std::string(launch.what()));
            }
        });
}

} // namespace tandalo::app
