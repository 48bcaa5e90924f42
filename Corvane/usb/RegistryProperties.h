#pragma once

// The two property readers of the USB scans: a number when the property holds one, a string when it
// holds one, nothing otherwise. Internal to corvane_usb.

#include "platform/iokit/IOKitLib.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::registry {

inline std::optional<std::int64_t> integerProperty(const iokit::io_registry_entry_t& entry,
                                                   std::string_view key) {
    return iokit::CFNumberValue(iokit::IORegistryEntryCreateCFProperty(entry, key));
}

inline std::optional<std::string> stringProperty(const iokit::io_registry_entry_t& entry,
                                                 std::string_view key) {
    return iokit::CFStringValue(iokit::IORegistryEntryCreateCFProperty(entry, key));
}

/// The property from the entry when it has it, else from the fallback entry (which may be null).
inline std::optional<std::int64_t> integerProperty(const iokit::io_registry_entry_t& entry,
                                                   const iokit::io_registry_entry_t& fallback,
                                                   std::string_view key) {
    if (auto value = integerProperty(entry, key)) {
        return value;
    }
    return fallback ? integerProperty(fallback, key) : std::nullopt;
}

inline std::optional<std::string> stringProperty(const iokit::io_registry_entry_t& entry,
                                                 const iokit::io_registry_entry_t& fallback,
                                                 std::string_view key) {
    if (auto value = stringProperty(entry, key)) {
        return value;
    }
    return fallback ? stringProperty(fallback, key) : std::nullopt;
}

/// Whether an interface service is an MTP interface: Android's vendor-specific MTP function, recognisable
/// only by its name ("kUSBString", else "USB Interface Name"), or the still-image class with the PTP
/// protocol, which MTP devices may also present. Gives the interface name it read through `name`.
bool isMTPInterface(const iokit::io_registry_entry_t& interface, std::string* name = nullptr);

/// Whether the entry is still in the registry: a lookup that fails for an entry that has gone is a
/// device being unplugged, not a device without that relative.
inline bool isRegistered(const iokit::MainPort& port, const iokit::io_registry_entry_t& entry) {
    std::uint64_t id = 0;
    return iokit::IORegistryEntryGetRegistryEntryID(entry, id) == iokit::kIOReturnSuccess &&
           iokit::IOServiceGetMatchingService(port, iokit::IORegistryEntryIDMatching(id));
}

} // namespace corvane::registry
