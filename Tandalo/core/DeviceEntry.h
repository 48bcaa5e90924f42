#pragma once

#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/MountState.h"

#include <string>

namespace tandalo::app {

/// One attached MTP device as the application sees it: the interface as the USB monitor last reported it,
/// and its mount state. A plain value; equal when both parts are.
struct DeviceEntry {
    corvane::USBDeviceDescriptor descriptor;
    MountState state;

    /// The key of every per-device table, notification and shared status: the serial number exactly as
    /// reported, or the registry entry ID in decimal when the device has none.
    std::string id() const { return idOf(descriptor); }
    static std::string idOf(const corvane::USBDeviceDescriptor& descriptor) {
        return descriptor.serialNumber.empty() ? std::to_string(descriptor.registryEntryID)
                                               : descriptor.serialNumber;
    }

    bool operator==(const DeviceEntry&) const = default;
};

} // namespace tandalo::app
