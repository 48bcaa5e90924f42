#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace usb {

/// The registry's 64-bit entry ID. IDs are never reused while the bus lives, so an entry that went away
/// and came back (a configuration reset) has a new one. 0 names no entry.
using RegistryEntryID = std::uint64_t;

/// The registry classes of the USB family that our code matches on.
inline constexpr std::string_view deviceClassName = "IOUSBHostDevice";
inline constexpr std::string_view interfaceClassName = "IOUSBHostInterface";

/// A registry property: a number or a text, as the registry stores them. Numbers are signed 64-bit,
/// like the registry's own number type; readers take the low bits they need.
using PropertyValue = std::variant<std::int64_t, std::string>;
using Properties = std::map<std::string, PropertyValue, std::less<>>;

/// One registry entry as the bus reports it: a self-contained record, so that it can travel as a message
/// and stays readable after the entry has been terminated.
struct RegistryEntry {
    RegistryEntryID id = 0;
    std::string className;
    RegistryEntryID parentID = 0; // 0: the entry hangs directly under the registry root
    Properties properties;

    const PropertyValue* property(std::string_view key) const;
    bool operator==(const RegistryEntry&) const = default;
};

/// A change of the registry that a subscriber hears about.
struct RegistryEvent {
    enum class Kind { published, terminated };
    Kind kind = Kind::published;
    RegistryEntry entry; // the record as it was when the event happened
};

/// The text of the "UsbExclusiveOwner" property that names the process holding an entry open.
struct ProcessIdentity {
    std::int32_t pid = 0;
    std::string name;

    /// "pid 123, ptpcamerad": the form the registry publishes.
    std::string ownerText() const;
    bool operator==(const ProcessIdentity&) const = default;
};

/// Property keys the bus itself maintains.
inline constexpr std::string_view exclusiveOwnerKey = "UsbExclusiveOwner";

} // namespace usb
