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
    /// Told apart by its bus location from another attached device with the same serial number (phones
    /// of some makers all report one): its id, mount resource and shared status name the location too.
    bool located = false;

    /// The key of every per-device table, notification and shared status: the serial number exactly as
    /// reported, "<serial>@<location>" when located, or the registry entry ID in decimal when the device
    /// has no serial number.
    std::string id() const { return idOf(descriptor, located); }
    static std::string idOf(const corvane::USBDeviceDescriptor& descriptor, bool located = false) {
        if (descriptor.serialNumber.empty()) {
            return std::to_string(descriptor.registryEntryID);
        }
        return located ? descriptor.serialNumber + "@" + std::to_string(descriptor.locationID)
                       : descriptor.serialNumber;
    }

    bool operator==(const DeviceEntry&) const = default;
};

} // namespace tandalo::app
