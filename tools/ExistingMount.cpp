#include "tools/ExistingMount.h"

#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/fuse/FuseError.h"
#include "tools/MountHelper.h"

#include <cerrno>

namespace tandalo::tools {

namespace {

/// The device a resource names, or nothing when it names none that is attached (or is not ours).
std::optional<corvane::USBDeviceDescriptor> deviceOf(const TandaloFileSystem& fileSystem,
                                                     const fskit::FSResource& resource) {
    try {
        return fileSystem.device(resource);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

/// The same for a mount's source; nothing for a source that names no resource (a token file gone).
std::optional<corvane::USBDeviceDescriptor> deviceOf(const TandaloFileSystem& fileSystem,
                                                     const MountArguments& source) {
    try {
        return deviceOf(fileSystem, *mountedResource(source));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

bool isHeldOnTheBus(const corvane::USBDeviceDescriptor& device) {
    return corvane::USBDeviceDiscovery::holder(device).has_value();
}

std::optional<std::filesystem::path> existingMount(const TandaloFileSystem& fileSystem,
                                                   const fskit::FSResource& resource,
                                                   const std::vector<platform::MountInfo>& mountTable,
                                                   const HeldCheck& isHeld) {
    const auto wanted = deviceOf(fileSystem, resource);
    if (!wanted || !isHeld(*wanted)) {
        return std::nullopt;
    }
    for (const auto& mount : mountTable) {
        if (mount.fileSystemType != "fuse.tandalo" || mount.source.empty()) {
            continue;
        }
        MountArguments mounted;
        mounted.resource = mount.source;
        const auto device = deviceOf(fileSystem, mounted);
        if (device && device->registryEntryID == wanted->registryEntryID) {
            return mount.mountPoint;
        }
    }
    return std::nullopt;
}

void refuseIfAlreadyMounted(const TandaloFileSystem& fileSystem, const fskit::FSResource& resource,
                            const std::vector<platform::MountInfo>& mountTable, const HeldCheck& isHeld) {
    if (const auto folder = existingMount(fileSystem, resource, mountTable, isHeld)) {
        // The mount that serves it holds the interface: without this, the kernel's answer would only be
        // that the device is busy (ETXTBSY), and a take-over would end the mount that works.
        throw fusehost::FuseError(ETXTBSY, fileSystem.device(resource).displayName() +
                                               " is already mounted at " + folder->string());
    }
}

} // namespace tandalo::tools
