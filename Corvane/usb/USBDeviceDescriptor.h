#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

/// One MTP interface found on the bus, as the rest of the system names, matches and opens a device. A
/// plain value; its identity is the interface's registry entry ID.
struct USBDeviceDescriptor {
    std::uint64_t registryEntryID = 0;
    std::uint16_t vendorID = 0;
    std::uint16_t productID = 0;
    std::string vendorName;
    std::string productName;
    std::string serialNumber;
    std::uint32_t locationID = 0;
    std::uint8_t interfaceNumber = 0;
    std::string interfaceName;

    std::uint64_t id() const { return registryEntryID; }
    /// The cleaned product name (DeviceName::clean).
    std::string displayName() const;
    /// "Phone 7 (Maker) 18D1:4EE1 serial=ABC if=0", for logs.
    std::string description() const;

    bool operator==(const USBDeviceDescriptor&) const = default;
};

} // namespace corvane

template <> struct std::hash<corvane::USBDeviceDescriptor> {
    std::size_t operator()(const corvane::USBDeviceDescriptor& descriptor) const noexcept;
};
