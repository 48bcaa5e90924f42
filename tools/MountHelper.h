#pragma once

#include "tools/MountArguments.h"

#include "platform/fskit/FSResource.h"
#include "platform/fuse/FuseMount.h"

#include <exception>
#include <memory>

// What mount-tandalo and the tools that mount in their own process share: a resource mounted through the
// FUSE host with the extension's file system, served until the folder is unmounted.
namespace tandalo::tools {

class StopSignals;

/// The resource the mount names, as the platform hands it to the file system: an mtp:// URL as a generic
/// URL resource, a token file as a path resource of its file URL. Throws fusehost::FuseError(ENOENT) when
/// the token file does not exist.
std::shared_ptr<fskit::FSResource> mountedResource(const MountArguments& arguments);

/// Mounts the resource on the folder with the extension's file system, whose connects open the interface
/// on the process's default bus. Throws fusehost::FuseError with the errno the file system or the kernel
/// gave.
std::unique_ptr<fusehost::FuseMount> mountResource(const MountArguments& arguments);

/// Serves until the folder is unmounted from outside or a stop signal comes, then shuts the mount down
/// (unmounts, deactivates, unloads). Throws fusehost::FuseError when a lifecycle step failed.
void serveUntilUnmounted(fusehost::FuseMount& mount, StopSignals& signals);

/// The errno of an error from mounting; EIO for any other error.
int errnoOf(const std::exception& error) noexcept;

} // namespace tandalo::tools
