#include "Corvane/usb/USBDeviceDiscovery.h"

#include "Corvane/usb/RegistryProperties.h"
#include "Corvane/usb/TextMatching.h"

#include <charconv>
#include <utility>

namespace corvane::USBDeviceDiscovery {

namespace {

constexpr std::uint16_t appleVendorID = 0x05AC;

using registry::integerProperty;
using registry::stringProperty;

std::string_view trimSpacesAndTabs(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A decimal 32-bit integer with an optional sign, the whole text and nothing else.
std::optional<std::int32_t> parseInt32(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::vector<USBDeviceDescriptor> findMTPInterfaces(const iokit::MainPort& port) {
    std::vector<USBDeviceDescriptor> found;
    iokit::io_iterator_t interfaces;
    if (iokit::IOServiceGetMatchingServices(port, iokit::IOServiceMatching("IOUSBHostInterface"),
                                            interfaces) != iokit::kIOReturnSuccess) {
        return found;
    }
    while (const auto interface = iokit::IOIteratorNext(interfaces)) {
        std::string interfaceName;
        if (!registry::isMTPInterface(interface, &interfaceName)) {
            continue;
        }
        USBDeviceDescriptor descriptor;
        if (iokit::IORegistryEntryGetRegistryEntryID(interface, descriptor.registryEntryID) !=
            iokit::kIOReturnSuccess) {
            continue;
        }
        iokit::io_registry_entry_t device;
        if (iokit::IORegistryEntryGetParentEntry(interface, iokit::kIOServicePlane, device) !=
                iokit::kIOReturnSuccess &&
            !registry::isRegistered(port, interface)) {
            // The device went away under the scan: its interface would come out with the device's
            // half of the fields missing.
            continue;
        }
        const auto vendor =
            static_cast<std::uint16_t>(integerProperty(interface, device, "idVendor").value_or(0));
        if (vendor == appleVendorID) {
            continue;
        }
        descriptor.vendorID = vendor;
        descriptor.productID =
            static_cast<std::uint16_t>(integerProperty(interface, device, "idProduct").value_or(0));
        descriptor.vendorName = stringProperty(interface, device, "USB Vendor Name").value_or("");
        descriptor.productName = stringProperty(interface, device, "USB Product Name").value_or("");
        descriptor.serialNumber = stringProperty(interface, device, "USB Serial Number").value_or("");
        descriptor.locationID =
            static_cast<std::uint32_t>(integerProperty(interface, device, "locationID").value_or(0));
        descriptor.interfaceNumber =
            static_cast<std::uint8_t>(integerProperty(interface, "bInterfaceNumber").value_or(0));
        descriptor.interfaceName = std::move(interfaceName);
        found.push_back(std::move(descriptor));
    }
    return found;
}

std::optional<Holder> holder(const USBDeviceDescriptor& descriptor, const iokit::MainPort& port) {
    const auto service = iokit::IOServiceGetMatchingService(
        port, iokit::IORegistryEntryIDMatching(descriptor.registryEntryID));
    if (!service) {
        return std::nullopt;
    }
    return holder(service);
}

std::optional<Holder> holder(const iokit::io_service_t& interfaceService) {
    const auto owner = stringProperty(interfaceService, "UsbExclusiveOwner");
    if (!owner) {
        return std::nullopt;
    }
    return parseExclusiveOwner(*owner);
}

std::optional<Holder> parseExclusiveOwner(std::string_view text) {
    // "pid 123, ptpcamerad": split at the first comma only, so a name may hold commas itself.
    std::vector<std::string_view> pieces;
    const auto comma = text.find(',');
    for (const auto piece : {text.substr(0, comma),
                             comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1)}) {
        if (!piece.empty()) {
            pieces.push_back(trimSpacesAndTabs(piece));
        }
    }
    if (pieces.size() != 2 || !pieces[0].starts_with("pid ") || pieces[1].empty()) {
        return std::nullopt;
    }
    const auto pid = parseInt32(pieces[0].substr(4));
    if (!pid) {
        return std::nullopt;
    }
    return Holder{*pid, std::string(pieces[1])};
}

bool isCameraService(std::string_view processName) {
    // On Linux desktops the camera service's part is played by GVfs's MTP and camera back ends, which
    // claim a phone as soon as it is plugged in and give it back when their mount is unmounted.
    return processName == "ptpcamerad" || processName == "PTPCamera" || processName == "gvfsd-mtp" ||
           processName == "gvfsd-gphoto2";
}

} // namespace corvane::USBDeviceDiscovery
