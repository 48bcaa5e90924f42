#pragma once

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/TransportFactory.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "FileSystemExtension/AndroidVolume.h"
#include "FileSystemExtension/AsyncTasks.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/Logger.h"
#include "platform/fskit/FSEntityIdentifier.h"
#include "platform/fskit/FSResource.h"
#include "platform/fskit/FSUnaryFileSystem.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo {

/// What the file system takes from its surroundings; the defaults are the process's own. Everything
/// it points to must outlive the file system.
struct TandaloFileSystemContext {
    /// The continuous clock of every wait: the retry waits, the rediscovery, the volumes' polls.
    platform::Clock* clock = &platform::Clock::system();
    /// Lists the MTP interfaces on the bus; by default USBDeviceDiscovery on the process's bus.
    std::function<std::vector<corvane::USBDeviceDescriptor>()> findMTPInterfaces;
    /// Passed to MTPDevice::connect: the transport makers, the trace's environment. Its clock is
    /// replaced by the clock above.
    corvane::MTPDevice::Context deviceContext;
    /// Names the shared preferences' folder for the device status.
    const platform::Environment* environment = &platform::Environment::process();
    oslog::LogStore* logStore = &oslog::LogStore::shared();
};

/// The extension's unary file system: resolves mount resources to MTP interfaces, loads a volume for each
/// (connecting with retries) and keeps the registry of loaded volumes, keyed by the resource's URL. It
/// owns the volumes it holds and the tasks of its loads and unloads.
///
/// Threads: FSKit calls the four operations on its own threads. Probe blocks its caller while it lists
/// the USB interfaces; load and unload return at once and reply from a task of their own. The registry
/// lock is held only for one insertion, removal or look-up, never across a device call.
class TandaloFileSystem final : public fskit::FSUnaryFileSystem {
public:
    using Context = TandaloFileSystemContext;

    /// Rediscovery looks up an interface at most this often, this far apart.
    static constexpr int rediscoveryLookups = 24;
    static constexpr platform::Clock::Duration rediscoveryInterval = std::chrono::milliseconds(250);
    /// Loading makes at most this many attempts, waiting attempt x 0.4 s after each failure.
    static constexpr int loadAttempts = 3;
    static constexpr platform::Clock::Duration retryWaitUnit = std::chrono::milliseconds(400);

    explicit TandaloFileSystem(Context context = {});
    /// Stops and waits for loads and unloads in progress; the volumes still registered are shut down.
    ~TandaloFileSystem() override;

    // FSKit's unary file-system operations.

    /// Usable with the device's name and container when the resource names an attached device; not
    /// recognised when the resource is not ours (EINVAL); an error otherwise (ENXIO: no such device).
    void probeResource(std::shared_ptr<fskit::FSResource> resource, fskit::ProbeReply reply) override;
    /// Starts the load task and returns; the task replies with the volume or the mapped error and sets
    /// the container status. "--rdonly" among the task options loads the volume read-only.
    void loadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
                      fskit::LoadReply reply) override;
    /// Removes the resource's volume from the registry and shuts it down in a task, which then replies
    /// success. Never fails.
    void unloadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
                        fskit::UnloadReply reply) override;
    void didFinishLoading() override;

    // Mount resources. Stateless apart from the interface listing; any thread.

    /// The interface the resource names: by serial number (compared exactly, letter case and all;
    /// percent-encoded in a token file's name), by bus location for a device without one
    /// ("any@<location>.tandalo", "mtp://any?location=<location>"), by both for one of several devices
    /// that share a serial number ("<serial>@<location>.tandalo", "mtp://<serial>?location=<location>"),
    /// or the first one for "any". Throws a
    /// POSIX-domain fskit::Error: EINVAL for a resource that is not ours, ENXIO when no attached interface
    /// matches. Blocks while it lists the interfaces.
    corvane::USBDeviceDescriptor device(const fskit::FSResource& resource) const;
    /// The take-over permissions the resource carries: in the name of its token file's folder, or in the
    /// URL's "takeOver" query item ("anyone" or "never"; without it, the camera service only).
    static bool takesOverFromAnyone(const fskit::FSResource& resource);
    static bool takesOverFromCameraService(const fskit::FSResource& resource);
    /// The same two permissions, as MTPDevice::connect takes them.
    static corvane::TakeOver takeOver(const fskit::FSResource& resource);
    /// The registry key: the resource URL's absolute string; nothing for a resource of another class.
    static std::optional<std::string> volumeKey(const fskit::FSResource& resource);
    /// The device's key in the shared status when the resource names it by serial number and bus location
    /// both: "<serial>@<location>", as the application names a device whose serial number another
    /// attached device shares. Nothing for any other resource (the volume's key is then its own).
    static std::optional<std::string> locatedStatusKey(const fskit::FSResource& resource);
    /// A UUID derived by SHA-256 from the vendor, product and serial: the same device gets the same
    /// container on every mount, whichever port it uses.
    static fskit::FSContainerIdentifier containerIdentifier(const corvane::USBDeviceDescriptor& descriptor);
    /// Finds the interface again after a reset re-created it under a new registry ID: the first interface
    /// with the same serial (exactly) and interface number, at the same bus location too when it has no
    /// serial or atLocation says that another device shares it; looked up to 24 times 0.25 s apart;
    /// previous unchanged when it never comes back. A stop request ends each wait early. Never fails.
    corvane::USBDeviceDescriptor rediscover(const corvane::USBDeviceDescriptor& previous,
                                            std::stop_token stop = {}, bool atLocation = false) const;

    // Loading.

    /// Connects, opens the session and the file-system model, and makes the volume, in up to three
    /// attempts: only the first may take the interface over, the later ones reset the device first and
    /// use the interface as found again. Throws the last attempt's error. Blocks for the whole load; a stop
    /// request shortens the waits between attempts. A located status key (locatedStatusKey()) keeps the
    /// device found again at its bus location and names it in the shared status.
    std::shared_ptr<AndroidVolume> loadVolume(const corvane::USBDeviceDescriptor& descriptor,
                                              VolumeAccess access, corvane::TakeOver takeOver,
                                              std::stop_token stop = {},
                                              const std::optional<std::string>& locatedKey = std::nullopt);

    /// The volume registered under the key, or null. Any thread.
    std::shared_ptr<AndroidVolume> volume(std::string_view key) const;
    std::size_t volumeCount() const;

private:
    std::vector<corvane::USBDeviceDescriptor> findMTPInterfaces() const;
    AndroidVolume::Context volumeContext() const;

    const Context m_context;
    const oslog::Logger m_log;

    /// The interface the last probe of each resource found, by volume key, kept for the load that follows
    /// it: a mount lists the bus once.
    std::optional<corvane::USBDeviceDescriptor> takeProbed(const std::string& key);

    mutable std::mutex m_lock; // guards m_volumes and m_probed; held for one insertion, removal or look-up
    std::map<std::string, std::shared_ptr<AndroidVolume>, std::less<>> m_volumes;
    std::map<std::string, corvane::USBDeviceDescriptor, std::less<>> m_probed;

    // Last: its destructor waits for the tasks, which use everything above.
    AsyncTasks m_tasks;
};

} // namespace tandalo
