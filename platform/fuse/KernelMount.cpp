#include "platform/fuse/KernelMount.h"

#include "platform/foundation/MountInfo.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/fuse/FuseError.h"

#include <cerrno>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <spawn.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fusehost {

namespace {

/// Runs fusermount3 with the arguments and returns its exit status (-1 when it could not run).
int runFusermount(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    std::string program = "fusermount3";
    argv.push_back(program.data());
    auto owned = arguments;
    for (auto& argument : owned) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string octal(unsigned value) {
    std::ostringstream text;
    text << std::oct << value;
    return text.str();
}

/// Mounts with mount(2): the kernel gets the device's descriptor in the options, and the session takes the
/// descriptor over through the "/dev/fd/N" form of fuse_session_mount.
void mountWithSystemCall(fuse_session* session, const KernelMountParameters& parameters) {
    platform::UniqueFd device(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!device) {
        throw FuseError::fromErrno("open", errno, "/dev/fuse");
    }
    std::string options = "fd=" + std::to_string(device.get()) + ",rootmode=" + octal(S_IFDIR) +
                          ",user_id=" + std::to_string(::getuid()) +
                          ",group_id=" + std::to_string(::getgid()) + ",default_permissions";
    if (parameters.maxRead != 0) {
        options += ",max_read=" + std::to_string(parameters.maxRead);
    }
    unsigned long flags = MS_NOSUID | MS_NODEV;
    if (parameters.readOnly) {
        flags |= MS_RDONLY;
    }
    const auto folder = parameters.folder.string();
    std::string type = "fuse." + parameters.subtype;
    int result =
        ::mount(parameters.fileSystemName.c_str(), folder.c_str(), type.c_str(), flags, options.c_str());
    if (result != 0 && errno == ENODEV) {
        // Kernels without subtypes know the type only as "fuse".
        type = "fuse";
        result =
            ::mount(parameters.fileSystemName.c_str(), folder.c_str(), type.c_str(), flags, options.c_str());
    }
    if (result != 0) {
        throw FuseError::fromErrno("mount", errno, folder);
    }
    const std::string handOver = "/dev/fd/" + std::to_string(device.get());
    if (fuse_session_mount(session, handOver.c_str()) != 0) {
        ::umount2(folder.c_str(), MNT_DETACH);
        throw FuseError(EIO, "fuse_session_mount refused the descriptor for " + folder);
    }
    device.release(); // the session closes it when it is destroyed
}

} // namespace

std::string libfuseMountOptions(const KernelMountParameters& parameters) {
    // fsname and subtype are written into the mount table; commas would split them into other options.
    const auto clean = [](std::string text) {
        std::erase_if(text, [](char character) { return character == ',' || character == '\\'; });
        return text;
    };
    std::string options = "fsname=" + clean(parameters.fileSystemName) +
                          ",subtype=" + clean(parameters.subtype) + ",default_permissions";
    if (parameters.maxRead != 0) {
        options += ",max_read=" + std::to_string(parameters.maxRead);
    }
    if (parameters.readOnly) {
        options += ",ro";
    }
    return options;
}

std::optional<dev_t> fuseMountDevice(const std::filesystem::path& folder) {
    std::optional<dev_t> device;
    for (const auto& mount : platform::MountInfo::read()) {
        if (mount.mountPoint != folder) {
            continue;
        }
        // The last line for a mount point is the topmost mount there.
        if (mount.fileSystemType == "fuse" || mount.fileSystemType.starts_with("fuse.")) {
            device = makedev(mount.major, mount.minor);
        } else {
            device.reset();
        }
    }
    return device;
}

KernelMount KernelMount::attach(fuse_session* session, const KernelMountParameters& parameters,
                                MountMethod method) {
    MountMethod used = method;
    if (method != MountMethod::fusermount) {
        try {
            mountWithSystemCall(session, parameters);
            used = MountMethod::systemCall;
        } catch (const FuseError& error) {
            // Without the right to mount, the setuid helper may still do it for us.
            if (method == MountMethod::systemCall || error.code() != EPERM) {
                throw;
            }
            used = MountMethod::fusermount;
        }
    }
    if (used == MountMethod::fusermount) {
        const auto folder = parameters.folder.string();
        if (fuse_session_mount(session, folder.c_str()) != 0) {
            throw FuseError(EPERM, "fuse_session_mount could not mount " + folder);
        }
    }
    const auto device = fuseMountDevice(parameters.folder);
    if (!device) {
        throw FuseError(EIO, "the mount of " + parameters.folder.string() + " is not in the mount table");
    }
    return KernelMount(parameters.folder, used, *device);
}

bool KernelMount::isMounted() const {
    const auto device = fuseMountDevice(m_folder);
    return device && *device == m_device;
}

void KernelMount::unmount(UnmountMode mode) const {
    // Someone else may have mounted the folder again after ours went: never unmount what is not ours.
    if (!isMounted()) {
        return;
    }
    const auto folder = m_folder.string();
    if (m_method == MountMethod::systemCall) {
        if (mode == UnmountMode::normal) {
            if (::umount2(folder.c_str(), UMOUNT_NOFOLLOW) != 0 && errno != EINVAL) {
                throw FuseError::fromErrno("umount", errno, folder);
            }
            return;
        }
        // A forced unmount of a FUSE mount aborts its connection first; when the folder is still busy
        // after that, detaching it lets the kernel finish once the last user lets go.
        if (::umount2(folder.c_str(), MNT_FORCE | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL) {
            if (::umount2(folder.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL) {
                throw FuseError::fromErrno("umount", errno, folder);
            }
        }
        return;
    }
    if (mode == UnmountMode::normal) {
        const int status = runFusermount({"-u", "-q", folder});
        if (status != 0) {
            throw FuseError(EBUSY,
                            "fusermount3 -u " + folder + " failed with status " + std::to_string(status));
        }
        return;
    }
    abortConnection();
    const int status = runFusermount({"-u", "-q", "-z", folder});
    if (status != 0 && isMounted()) {
        throw FuseError(EBUSY,
                        "fusermount3 -u -z " + folder + " failed with status " + std::to_string(status));
    }
}

bool KernelMount::abortConnection() const {
    const auto control = "/sys/fs/fuse/connections/" + std::to_string(minor(m_device)) + "/abort";
    platform::UniqueFd abortFile(::open(control.c_str(), O_WRONLY | O_CLOEXEC));
    if (abortFile && ::write(abortFile.get(), "1", 1) == 1) {
        return true;
    }
    if (m_method == MountMethod::systemCall && isMounted()) {
        const auto folder = m_folder.string();
        return ::umount2(folder.c_str(), MNT_FORCE | UMOUNT_NOFOLLOW) == 0 || errno == EBUSY;
    }
    return false;
}

} // namespace fusehost
