#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/DeviceEntry.h"

#include <cstdint>
#include <string>

// Devices and phones as discovery reports them, for the tests of what the windows show.
namespace tandalo::view::testing {

inline app::DeviceEntry phone(std::string serial, app::MountState state, std::string product = "Pixel 7",
                              std::string vendor = "Google") {
    corvane::USBDeviceDescriptor descriptor;
    descriptor.registryEntryID = 4300;
    descriptor.vendorID = 0x18D1;
    descriptor.productID = 0x4EE1;
    descriptor.vendorName = std::move(vendor);
    descriptor.productName = std::move(product);
    descriptor.serialNumber = std::move(serial);
    return {std::move(descriptor), std::move(state)};
}

/// A Samsung phone left in charge-only mode.
inline corvane::AndroidCandidate chargeOnlyPhone(std::uint64_t registryID = 7100, bool hasADB = false) {
    corvane::AndroidCandidate candidate;
    candidate.registryEntryID = registryID;
    candidate.vendorID = 0x04E8;
    candidate.productID = 0x6860;
    candidate.vendorName = "Samsung";
    candidate.productName = "Galaxy S21";
    candidate.hasADB = hasADB;
    return candidate;
}

} // namespace tandalo::view::testing
