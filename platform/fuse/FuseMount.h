#pragma once

#include "platform/foundation/Clock.h"
#include "platform/fskit/FSKitTypes.h"
#include "platform/fskit/FSResource.h"
#include "platform/fskit/FSUnaryFileSystem.h"
#include "platform/fskit/FSVolume.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct fuse_session;

namespace fskit {
class InProcessHost;
}

namespace fusehost {

class KernelMount;
class VolumeBridge;

/// How the folder is mounted: mount(2) when the process may, else the setuid fusermount3 helper.
enum class MountMethod { automatic, systemCall, fusermount };

/// normal fails while the mount is in use; force ends the connection and detaches the folder.
enum class UnmountMode { normal, force };

/// What the kernel agreed to when the connection started.
struct ConnectionLimits {
    std::uint32_t maxWrite = 0;
    std::uint32_t maxRead = 0;
    std::uint32_t maxReadahead = 0;
    std::uint32_t maxBackground = 0;
    std::uint32_t protocolMajor = 0;
    std::uint32_t protocolMinor = 0;
};

struct MountOptions {
    /// Passed to load, activate and mount, as the mount tool would; FSTaskOptions::readOnly also makes
    /// the kernel mount read-only.
    fskit::FSTaskOptions taskOptions;
    /// The mount's type in the mount table, as "fuse.<name>".
    std::string fileSystemName = "tandalo";
    /// The mount's source in the mount table, which names what is mounted (the resource); the file
    /// system's name when empty.
    std::string sourceName;
    /// How long the kernel may trust a name and an item's attributes. 0 means the kernel asks the volume
    /// every time, so a change made through the volume shows at once.
    std::chrono::duration<double> entryTimeout{0.0};
    std::chrono::duration<double> attributeTimeout{0.0};
    /// The largest read and write the kernel is asked to send: each one that reaches the device is one
    /// transaction, so bigger is cheaper. libfuse holds at most 1 MiB.
    std::uint32_t maxRequestSize = 1U << 20;
    /// libfuse's worker threads at most.
    unsigned maxThreads = 16;
    MountMethod method = MountMethod::automatic;
    /// How long, in real time, each step of the volume's lifecycle may take before it fails.
    std::chrono::milliseconds replyLimit = std::chrono::seconds(20);
    /// How long shutdown waits for the kernel and for the volume's last answers before it gives up on them.
    std::chrono::milliseconds shutdownLimit = std::chrono::seconds(10);
    /// The clock of those limits.
    platform::Clock* clock = &platform::Clock::system();
};

/// A volume served on a real Linux mount. It plays the platform's part for one resource: probes, loads,
/// activates and mounts the volume, mounts the folder in the kernel and serves the kernel's requests on
/// libfuse's worker threads until the folder is unmounted; then it answers what is left, closes and
/// reclaims what the kernel held, and unmounts, deactivates and unloads the volume. It owns the session,
/// its threads and the kernel mount.
/// All members may be called from any thread except libfuse's workers.
class FuseMount {
public:
    /// Mounts and starts serving. Throws FuseError: the volume's refusal as its errno (ENODEV when the file
    /// system does not recognise the resource), or the kernel's (EPERM without the right to mount, ENOENT
    /// or ENOTDIR for a bad folder). Nothing stays mounted or loaded after a failure. Blocks for the
    /// volume's lifecycle steps.
    static std::unique_ptr<FuseMount> mount(std::shared_ptr<fskit::FSUnaryFileSystem> fileSystem,
                                            std::shared_ptr<fskit::FSResource> resource,
                                            const std::filesystem::path& folder, MountOptions options = {});
    /// shutdown(), with its errors logged.
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    /// The folder as mounted (its canonical path).
    const std::filesystem::path& folder() const noexcept;
    std::shared_ptr<fskit::FSVolume> volume() const;
    /// Empty until the kernel's first request (its INIT) has been answered.
    std::optional<ConnectionLimits> connectionLimits() const;
    /// How many items besides the root the kernel holds a reference to.
    std::size_t heldItemCount() const;
    /// False once the kernel has ended the connection (the folder was unmounted).
    bool isServing() const;

    /// Asks the kernel to unmount the folder. normal throws FuseError(EBUSY) while files are open or a
    /// process works in the folder; force ends the connection, failing what is in flight. Returns once
    /// the kernel has the request, before the serving has ended: see waitUntilUnmounted. Blocks while
    /// fusermount3 runs, when that is how the folder was mounted.
    void unmount(UnmountMode mode = UnmountMode::normal);
    /// Blocks until the kernel has let go of the folder, whoever unmounted it (also umount or
    /// fusermount3 -u from outside), or until limit passes. Returns whether serving has ended.
    bool waitUntilUnmounted(std::chrono::milliseconds limit);
    /// Ends everything: unmounts if still mounted (forcing when the folder is busy), stops serving, answers
    /// what is left, closes and reclaims what the kernel held, then unmounts, deactivates and unloads the
    /// volume. Throws FuseError for the first lifecycle step that failed; a second call does nothing.
    void shutdown();

private:
    FuseMount(MountOptions options, std::unique_ptr<fskit::InProcessHost> host);

    void serve();
    void widenReadahead();
    void stopServing();

    const MountOptions m_options;
    std::unique_ptr<fskit::InProcessHost> m_host;
    std::shared_ptr<VolumeBridge> m_bridge;
    fuse_session* m_session = nullptr; // owned; destroyed once the serving thread has ended
    std::unique_ptr<KernelMount> m_kernelMount;
    std::filesystem::path m_folder;
    std::thread m_serving;

    mutable std::mutex m_state; // guards the fields below; never held across a call out
    std::condition_variable_any m_servingEnded;
    bool m_ended = false;
    int m_loopResult = 0;

    std::mutex m_shutdown; // serialises unmount and shutdown; taken before m_state
    bool m_shutDown = false;
};

} // namespace fusehost
