#pragma once

#include "Corvane/usb/TransportFactory.h"
#include "platform/fuse/FuseMount.h"

#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// What mount-tandalo and tandalo-demo share: reading the mount tool's arguments, mounting a resource
// through the FUSE host, and serving it until the folder is unmounted or the process is told to stop.
namespace tandalo::tools {

/// A bad command line; what() is the message for the user.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct MountArguments {
    std::string resource;
    std::filesystem::path folder;
    /// Stay in the foreground and serve there instead of detaching once the mount is live.
    bool foreground = false;
    bool readOnly = false;
};

/// The USB layer's transport makers, opening interfaces on the process's default bus.
const corvane::TransportFactory& defaultBusTransports();

/// The usage line of mount-tandalo.
std::string_view mountUsage();

/// Parses "[-f] [-o ro|rw[,...]] -t tandalo <resource> <folder>" (options before the operands, in any
/// order, each at most once). Throws UsageError for anything else.
MountArguments parseMountArguments(std::span<const std::string> arguments);

/// Mounts the resource on the folder with the extension's file system, whose connects open the interface
/// on the process's default bus. Throws fusehost::FuseError with the errno the file system or the kernel
/// gave.
std::unique_ptr<fusehost::FuseMount> mountResource(const std::string& resource,
                                                   const std::filesystem::path& folder, bool readOnly);

/// Turns SIGINT and SIGTERM into a request to stop, through a self-pipe. One per process.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// Whether a stop was asked for; waits up to limit for one.
    bool waitForStop(std::chrono::milliseconds limit);
};

/// Serves until the folder is unmounted from outside or a stop signal comes, then shuts the mount down
/// (unmounts, deactivates, unloads). Throws fusehost::FuseError when a lifecycle step failed.
void serveUntilUnmounted(fusehost::FuseMount& mount, StopSignals& signals);

/// "<text>: <strerror(code)>" for an error from mounting; the errno otherwise EIO.
int errnoOf(const std::exception& error) noexcept;

} // namespace tandalo::tools
