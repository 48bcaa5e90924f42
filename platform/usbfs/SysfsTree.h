#pragma once

#include "platform/usb/Endpoint.h"
#include "platform/usb/RegistryEntry.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace usbfs {

/// One USB device or interface as sysfs shows it, turned into the registry's terms: the properties the
/// registry publishes, under the names the USB family uses ("idVendor", "USB Serial Number",
/// "bInterfaceClass"...), and for an interface its endpoints in declared order.
struct SysfsEntry {
    enum class Kind { device, interface };

    Kind kind = Kind::device;
    std::string name;       // the kernel's name: "1-1.4" for a device, "1-1.4:1.0" for an interface
    std::string deviceName; // an interface's device; a device's own name
    /// Changes whenever the kernel makes the directory anew (an unplug and plug, a configuration change),
    /// even when the name stays: the registry gives such an entry a new ID.
    std::uint64_t identity = 0;
    usb::Properties properties;
    std::vector<usb::EndpointDescriptor> endpoints; // interfaces only
    unsigned busNumber = 0;                         // devices only: where the usbfs node is
    unsigned deviceNumber = 0;

    bool operator==(const SysfsEntry&) const = default;
};

/// Reads the USB devices and interfaces under a sysfs folder laid out like /sys/bus/usb/devices, so that
/// tests can hand it a tree of their own. Stateless; any thread.
class SysfsTree {
public:
    explicit SysfsTree(std::filesystem::path root = "/sys/bus/usb/devices");

    const std::filesystem::path& root() const noexcept { return m_root; }

    /// Every device (root hubs left out: the kernel makes them up for its controllers) followed by its
    /// interfaces, devices in bus and port order. An entry that vanishes while it is read is left out:
    /// its removal is reported by the kernel as well.
    std::vector<SysfsEntry> scan() const;

    /// The device's current configuration value; 0 while it is unconfigured or gone.
    std::uint8_t configuration(const std::string& deviceName) const;

    /// The kernel driver bound to an interface ("usbfs" while a program has claimed it), or "" for none.
    std::string driver(const std::string& interfaceName) const;

private:
    std::filesystem::path m_root;
};

/// The registry's locationID of a device: the bus number in the top byte, then one nibble per port on
/// the way from the root hub ("1-1.4" is 0x01140000).
std::uint32_t locationID(unsigned busNumber, const std::string& portPath);

} // namespace usbfs
