#pragma once

#include "platform/fuse/FuseMount.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

struct fuse_session;

namespace fusehost {

/// What the kernel is told about a mount.
struct KernelMountParameters {
    std::filesystem::path folder;
    /// The mount's source, as mount tables show it.
    std::string fileSystemName;
    /// The type shown as "fuse.<subtype>".
    std::string subtype;
    bool readOnly = false;
    std::uint32_t maxRead = 0;
};

/// The mount options in the form libfuse parses them ("fsname=...,subtype=...,max_read=..."); the
/// session must be created with the same max_read as the init callback asks for.
std::string libfuseMountOptions(const KernelMountParameters& parameters);

/// The device number of the topmost mount on the folder when that mount is a FUSE mount, from the
/// process's mount table; nothing otherwise.
std::optional<dev_t> fuseMountDevice(const std::filesystem::path& folder);

/// One FUSE mount in the kernel's mount table, made for one libfuse session: mounted with mount(2) when
/// the process may, else through fusermount3. Unmounting is asked of the kernel, which then ends the
/// session's connection; the record itself owns no descriptor (the session owns the device's).
class KernelMount {
public:
    /// Mounts the folder and hands the connection to the session. Throws FuseError: the errno of
    /// mount(2) (EPERM, ENOENT, ENOTDIR...) when the method is systemCall or no other way worked.
    static KernelMount attach(fuse_session* session, const KernelMountParameters& parameters,
                              MountMethod method);

    const std::filesystem::path& folder() const noexcept { return m_folder; }
    MountMethod method() const noexcept { return m_method; }
    dev_t device() const noexcept { return m_device; }

    /// Whether the folder still shows this mount on top.
    bool isMounted() const;
    /// Asks the kernel to unmount. normal fails with FuseError(EBUSY) while the mount is in use; force
    /// ends the connection (requests in flight fail) and detaches the folder. Unmounting a mount that is
    /// already gone does nothing. Blocks while fusermount3 runs, when that is the method.
    void unmount(UnmountMode mode) const;
    /// Ends the connection without waiting for its users (the fuse control file system's abort, when it
    /// is mounted). Returns false when there was no way to do it.
    bool abortConnection() const;

private:
    KernelMount(std::filesystem::path folder, MountMethod method, dev_t device)
        : m_folder(std::move(folder)), m_method(method), m_device(device) {}

    std::filesystem::path m_folder;
    MountMethod m_method;
    dev_t m_device;
};

} // namespace fusehost
