#pragma once

#include "Corvane/usb/USBDeviceDescriptor.h"
#include "FileSystemExtension/TandaloFileSystem.h"
#include "platform/foundation/MountInfo.h"
#include "platform/fskit/FSResource.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

// A device can serve one mount at a time: before mounting, mount-tandalo looks for a mount of this system
// ("fuse.tandalo") whose source, the resource it was mounted with, names the same device.
namespace tandalo::tools {

/// Whether some process holds the device open, as the process serving its mount does.
using HeldCheck = std::function<bool(const corvane::USBDeviceDescriptor&)>;
/// Asks the bus (USBDeviceDiscovery::holder).
bool isHeldOnTheBus(const corvane::USBDeviceDescriptor& device);

/// Where the device the resource names is already mounted: a row of the mount table names it, and it is
/// held open. Nothing when it is not, or when the resource names no attached device. A row whose device
/// nobody holds is a record without a server (or, in tests, a device of the same serial number on
/// another process's own bus). Blocks while it lists the interfaces.
std::optional<std::filesystem::path> existingMount(const TandaloFileSystem& fileSystem,
                                                   const fskit::FSResource& resource,
                                                   const std::vector<platform::MountInfo>& mountTable,
                                                   const HeldCheck& isHeld = isHeldOnTheBus);

/// Throws fusehost::FuseError(ETXTBSY) saying where the device is mounted when it already is.
void refuseIfAlreadyMounted(const TandaloFileSystem& fileSystem, const fskit::FSResource& resource,
                            const std::vector<platform::MountInfo>& mountTable = platform::MountInfo::read(),
                            const HeldCheck& isHeld = isHeldOnTheBus);

} // namespace tandalo::tools
