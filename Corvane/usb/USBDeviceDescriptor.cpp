#include "Corvane/usb/USBDeviceDescriptor.h"

#include "Corvane/usb/DeviceName.h"

#include <cstdio>

namespace corvane {

std::string USBDeviceDescriptor::displayName() const {
    return DeviceName::clean(productName, vendorName, serialNumber);
}

std::string USBDeviceDescriptor::description() const {
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04X:%04X", static_cast<unsigned>(vendorID),
                  static_cast<unsigned>(productID));
    return displayName() + " (" + vendorName + ") " + ids + " serial=" + serialNumber +
           " if=" + std::to_string(static_cast<unsigned>(interfaceNumber));
}

} // namespace corvane

namespace {

void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace

std::size_t std::hash<corvane::USBDeviceDescriptor>::operator()(
    const corvane::USBDeviceDescriptor& descriptor) const noexcept {
    std::size_t seed = 0;
    combine(seed, std::hash<std::uint64_t>{}(descriptor.registryEntryID));
    combine(seed, std::hash<std::uint16_t>{}(descriptor.vendorID));
    combine(seed, std::hash<std::uint16_t>{}(descriptor.productID));
    combine(seed, std::hash<std::string>{}(descriptor.vendorName));
    combine(seed, std::hash<std::string>{}(descriptor.productName));
    combine(seed, std::hash<std::string>{}(descriptor.serialNumber));
    combine(seed, std::hash<std::uint32_t>{}(descriptor.locationID));
    combine(seed, std::hash<std::uint8_t>{}(descriptor.interfaceNumber));
    combine(seed, std::hash<std::string>{}(descriptor.interfaceName));
    return seed;
}
