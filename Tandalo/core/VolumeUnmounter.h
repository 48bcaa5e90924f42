#pragma once

#include "Tandalo/core/ProcessRunner.h"
#include "Tandalo/core/WorkerThreads.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tandalo::app {

/// The system's own ways to take a volume down, besides the unmount tools: a polite unmount that fails
/// while the volume is in use, and a forced one.
class VolumeUnmounter {
public:
    /// Nothing on success, else the reason as the system words it.
    using Completion = std::function<void(std::optional<std::string>)>;

    virtual ~VolumeUnmounter() = default;

    /// Unmounts the folder unless it is in use; calls done exactly once, on any thread. Does not block.
    virtual void unmount(const std::filesystem::path& folder, Completion done) = 0;
    /// Detaches the folder at once, ending the volume's connection, whatever still uses it; calls done
    /// exactly once, on any thread. Does not block.
    virtual void forceUnmount(const std::filesystem::path& folder, Completion done) = 0;
};

/// On Linux: umount2() itself, which needs the right to unmount; the forced unmount is a lazy, forced
/// detach (MNT_FORCE | MNT_DETACH), or "fusermount3 -u -z" for a user who mounted through fusermount3.
class LinuxVolumeUnmounter final : public VolumeUnmounter {
public:
    LinuxVolumeUnmounter(ProcessRunner& runner, std::filesystem::path fusermount = "/usr/bin/fusermount3");

    void unmount(const std::filesystem::path& folder, Completion done) override;
    void forceUnmount(const std::filesystem::path& folder, Completion done) override;

private:
    ProcessRunner& m_runner;
    std::filesystem::path m_fusermount;
    WorkerThreads m_workers; // last: its threads use the members above
};

} // namespace tandalo::app
