#include "tools/MountHelper.h"

#include "tools/ExistingMount.h"
#include "tools/StopSignals.h"

#include "FileSystemExtension/TandaloFileSystem.h"
#include "platform/foundation/OwnedFolder.h"
#include "platform/foundation/URL.h"
#include "platform/fskit/Error.h"
#include "platform/fuse/FuseError.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

namespace tandalo::tools {

std::shared_ptr<fskit::FSResource> mountedResource(const MountArguments& arguments) {
    if (!arguments.namesTokenFile()) {
        return std::make_shared<fskit::FSGenericURLResource>(arguments.resource);
    }
    // The application writes the token file before it mounts; a missing one is a wrong path, not a device.
    std::error_code error;
    const auto path = std::filesystem::absolute(arguments.resource, error);
    if (error || !std::filesystem::is_regular_file(path, error)) {
        throw fusehost::FuseError(ENOENT, "the token file " + arguments.resource + " does not exist");
    }
    return std::make_shared<fskit::FSPathURLResource>(platform::URL::fileURL(path).absoluteString());
}

namespace {

constexpr std::chrono::seconds kernelCacheTimeout(60);

// The folder the application checked and named: the walk follows no link another user could have planted
// on the way and refuses a link in the folder's place, so the mount lands where the application meant.
std::filesystem::path checkedMountPoint(const std::filesystem::path& folder) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(folder, error);
    if (error) {
        throw fusehost::FuseError(error.value(), "mount folder " + folder.string() + ": " + error.message());
    }
    try {
        return platform::OwnedFolder::open(absolute).path();
    } catch (const platform::UnsafeFolderError& refused) {
        throw fusehost::FuseError(refused.errorNumber() != 0 ? refused.errorNumber() : EPERM, refused.what());
    } catch (const platform::FoundationError& failed) {
        // A folder whose mount lost its server says so here, which the application reads as a stale one.
        const int code = failed.errorNumber() != 0 ? failed.errorNumber() : EIO;
        throw fusehost::FuseError(code, "mount folder " + folder.string() + ": " + std::strerror(code));
    }
}

} // namespace

std::unique_ptr<fusehost::FuseMount> mountResource(const MountArguments& arguments) {
    const auto folder = checkedMountPoint(arguments.folder);
    // A named context rather than the default argument: GCC 12 at -O3 takes the temporary's function
    // members for uninitialised.
    TandaloFileSystem::Context context;
    auto fileSystem = std::make_shared<TandaloFileSystem>(std::move(context));
    fusehost::MountOptions options;
    // Mount tables then name the device's resource, which is how the application finds the mount again.
    std::error_code absolute;
    options.sourceName = arguments.namesTokenFile()
                             ? std::filesystem::absolute(arguments.resource, absolute).string()
                             : arguments.resource;
    // The kernel keeps names and attributes instead of asking again for every stat: the volume tells it
    // of each change it learns of that the kernel did not make itself, and the kernel sees its own.
    options.entryTimeout = kernelCacheTimeout;
    options.attributeTimeout = kernelCacheTimeout;
    if (arguments.readOnly) {
        options.taskOptions = fskit::FSTaskOptions({std::string(fskit::FSTaskOptions::readOnly)});
    }
    const auto resource = mountedResource(arguments);
    refuseIfAlreadyMounted(*fileSystem, *resource);
    return fusehost::FuseMount::mount(fileSystem, resource, folder, std::move(options));
}

void serveUntilUnmounted(fusehost::FuseMount& mount, StopSignals& signals) {
    // Whichever comes first ends the serving: the kernel letting go of the folder (an unmount from
    // anywhere) or a stop signal. Neither is polled for, so the process ends with its unmount.
    std::jthread watcher([&mount, &signals] {
        while (!mount.waitUntilUnmounted(std::chrono::hours(1))) {
        }
        signals.requestStop();
    });
    signals.waitForStop();
    mount.shutdown();
}

int errnoOf(const std::exception& error) noexcept {
    if (const auto* fuseError = dynamic_cast<const fusehost::FuseError*>(&error)) {
        return fuseError->code();
    }
    if (const auto* fskitError = dynamic_cast<const fskit::Error*>(&error);
        fskitError && fskitError->isPOSIX()) {
        return fskitError->code();
    }
    return EIO;
}

} // namespace tandalo::tools
