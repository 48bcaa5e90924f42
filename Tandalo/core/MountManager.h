#pragma once

#include "Corvane/usb/TakeOver.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/FileOperations.h"
#include "Tandalo/core/MountError.h"
#include "Tandalo/core/MountTable.h"
#include "Tandalo/core/ProcessRunner.h"
#include "Tandalo/core/Task.h"
#include "Tandalo/core/VolumeServers.h"
#include "Tandalo/core/VolumeUnmounter.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

class ThreadExecutor;

/// The programs that mounting and unmounting run, and how long each may take.
struct MountTools {
    /// Our mount tool, run as "mount-tandalo -t tandalo <resource> <folder>": mounting through the
    /// system's mount would need root.
    std::filesystem::path mountTool;
    std::filesystem::path umount = "/usr/bin/umount";
    std::filesystem::path fusermount = "/usr/bin/fusermount3";
    /// A mount may wait for the phone's owner to allow access and retry its connection.
    platform::Clock::Duration mountTimeLimit = std::chrono::minutes(3);
    platform::Clock::Duration unmountTimeLimit = std::chrono::seconds(30);

    /// mount-tandalo in the folder of this program's executable.
    static MountTools besideExecutable();
};

/// What the mount manager uses of the platform. Every service must outlive the manager and be usable
/// from any thread: the unmounts before sleep and at quit run away from the main thread.
struct MountServices {
    ProcessRunner& processes;
    MountTable& mountTable;
    FileOperations& files;
    VolumeUnmounter& volumes;
    VolumeServers& servers;
    platform::Clock& clock;
    const BundleInformation& bundle = BundleInformation::main();
    /// The user whose mounts these are: the mount table also lists other users' mounts, which this
    /// application must neither count nor unmount.
    unsigned userID = currentUserID();

    static unsigned currentUserID();
};

/// The only way the application mounts and unmounts devices: it runs the mount tool with a resource that
/// names the device, reads the system's mount table to know what is mounted (it keeps no record of its
/// own), unmounts through the system's tools, and tidies the folders mounts leave. Failures are MountError
/// with a sentence for the user. It logs under "com.brenwick.Tandalo" in the category "mount".
///
/// Its tasks run on the caller's executor (the main one) and may run at the same time for different
/// devices; it keeps no state between calls apart from the thread on which unmountAll() works.
class MountManager {
public:
    /// One row of the mount table of this system's type ("fuse.tandalo") that this user mounted: the
    /// mount's source, which is the resource it was mounted with, and its mount point.
    struct Mount {
        std::string from;
        std::filesystem::path on;

        bool operator==(const Mount&) const = default;
    };

    /// A mount made: the folder it is on, and the process that serves it when the mount tool said which.
    struct Mounted {
        std::filesystem::path folder;
        std::optional<std::int32_t> server;

        bool operator==(const Mounted&) const = default;
    };

    /// How long a volume's server may take to answer whether it is there; one that does not answer in
    /// time is busy, not gone.
    static constexpr std::chrono::seconds serverAnswerLimit{2};

    MountManager(MountServices services, MountTools tools);
    ~MountManager();
    MountManager(const MountManager&) = delete;
    MountManager& operator=(const MountManager&) = delete;

    // Mounting.

    /// Mounts the device on its folder (which the caller made) and gives the folder it is mounted on: at
    /// once the existing one when the device is already mounted, unless that one lost its server, which is
    /// taken down and mounted anew. Retries, 1 s apart, while the device is
    /// still held by an earlier attempt (at most three such runs), and switches once to the URL form when
    /// the tool never began loading the token file. Throws MountError, or platform::FoundationError when
    /// the mount tool cannot be started.
    /// A located device (DeviceEntry::located) is named by its bus location as well as its serial number.
    Task<Mounted> mount(corvane::USBDeviceDescriptor device, std::filesystem::path folder,
                        std::optional<bool> extensionEnabled, corvane::TakeOver takeOver,
                        bool located = false);
    /// The serving process that a successful run of the mount tool named in its output.
    static std::optional<std::int32_t> serverNamedIn(std::string_view output);
    /// Makes the empty token file for the attempt beside the device's folder, or reuses it; nothing when it
    /// cannot be made. Throws MountError when the place is unsafe (a link or a folder of another user's
    /// where the token folder or file should be).
    std::optional<std::filesystem::path> tokenFile(const corvane::USBDeviceDescriptor& device,
                                                   const std::filesystem::path& folder, int attempt,
                                                   corvane::TakeOver takeOver, bool located = false) const;
    static std::string mtpURL(const corvane::USBDeviceDescriptor& device, int attempt,
                              corvane::TakeOver takeOver, bool located = false);
    /// The sentence for the user about a failed run of the mount tool.
    std::string failureMessage(std::string_view output, std::int32_t status,
                               std::optional<bool> extensionEnabled) const;
    /// Whether the lower-cased output says the phone has not allowed access.
    static bool indicatesAccessNotGranted(std::string_view lowerOutput);
    /// The findings of a failed run's lower-cased output.
    static MountFindings findingsOf(std::string_view lowerOutput);

    // The mount table, read afresh at each call. Never throws.

    std::vector<Mount> mounts() const;
    /// Where the device is mounted: the first row whose source names it, located or not as asked.
    std::optional<std::filesystem::path> existingMount(const corvane::USBDeviceDescriptor& device,
                                                       bool located = false) const;
    /// Whether the device is mounted anywhere, or anything of this system's type is mounted on the folder.
    bool isMounted(const corvane::USBDeviceDescriptor& device, const std::filesystem::path& folder,
                   bool located = false) const;
    /// Whether the volume on the folder has lost its server (it answers ENOTCONN); false while the
    /// server does not answer within serverAnswerLimit.
    Task<bool> hasLostServer(std::filesystem::path folder);

    // Unmounting. The folder is removed afterwards only when it is empty (rmdir), never with what is in it.

    /// The normal chain: the system's unmount, then umount, then fusermount3 -u. Throws MountError with
    /// the last tool's output, or platform::FoundationError when a tool cannot be started.
    Task<void> unmountVolume(std::filesystem::path folder);
    /// A lazy, forced detach that ends the volume's connection whatever still uses it. Throws MountError.
    Task<void> forceUnmount(std::filesystem::path folder);
    /// Takes down a volume that is not to be used again (its device is gone, or its server died): forced
    /// first, the normal chain when that fails, then the folder is removed when it is empty. Never throws.
    Task<void> takeDown(std::filesystem::path folder);
    /// The normal chain, forced as soon as it fails or the limit passes (the chain goes on regardless).
    /// Never throws.
    Task<void> unmount(std::filesystem::path folder, platform::Clock::Duration within);
    /// Unmounts every volume of this system's type in parallel, each within 4 s, away from the calling
    /// thread, which it blocks for at most 10 s; unmounts still running then go on in the background.
    void unmountAll();
    /// Removes a folder left from an earlier mount when nothing is mounted on it and it is empty.
    void removeStaleFolder(const std::filesystem::path& folder);

private:
    /// Whether a volume of this system's type is mounted on the folder.
    bool hasMountOn(const std::filesystem::path& folder) const;
    /// The source of the volume on the folder.
    std::optional<std::string> sourceOn(const std::filesystem::path& folder) const;
    /// After a volume mounted from a token file went: the device's token files beside its folder, which
    /// are made again by its next mount.
    void removeToken(const std::optional<std::string>& source, const std::filesystem::path& folder);
    /// The device's mount, unless it lost its server: then it is taken down, and there is none.
    Task<std::optional<std::filesystem::path>> liveMount(const corvane::USBDeviceDescriptor& device,
                                                         bool located);
    void removeFolderQuietly(const std::filesystem::path& folder);

    MountServices m_services;
    MountTools m_tools;
    oslog::Logger m_log;
    std::unique_ptr<ThreadExecutor> m_background; // last: its tasks use everything above
};

} // namespace tandalo::app
