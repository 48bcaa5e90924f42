#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simulation {

/// What the simulated phone says about itself in its DeviceInfo dataset. The operation list is also the
/// phone's rule: it refuses every operation that the list lacks with Operation Not Supported, as a
/// phone without that extension would.
struct PhoneDeviceInfo {
    std::uint16_t standardVersion = 100;
    std::uint32_t vendorExtensionID = 6; // the MTP vendor extension ID
    std::uint16_t vendorExtensionVersion = 100;
    std::string vendorExtensionDescription = "microsoft.com: 1.0; android.com: 1.0;";
    std::uint16_t functionalMode = 0;
    std::vector<std::uint16_t> operations = defaultOperations();
    std::vector<std::uint16_t> events = {0x4002, 0x4003, 0x4004, 0x4005, 0x400C, 0xC801};
    std::vector<std::uint16_t> deviceProperties = {0x5001, 0xD402};
    std::vector<std::uint16_t> captureFormats{};
    std::vector<std::uint16_t> playbackFormats = {0x3000, 0x3001, 0x3004, 0x3009, 0x3801, 0x380B, 0xB982};
    std::string manufacturer = "Tandalo Labs";
    std::string model = "Simulated Phone";
    std::string deviceVersion = "1.0";
    std::string serialNumber = "SIM0000000001";

    /// Every operation that the simulated phone carries out, Android extensions included.
    static std::vector<std::uint16_t> defaultOperations();
};

/// The battery level device property (0x5001), in every form a phone may describe it.
struct PhoneBattery {
    /// The property description's form flag.
    enum class Form : std::uint8_t { none = 0, range = 1, enumeration = 2 };

    /// An MTP data type: one of the integer types 0x0001 to 0x0008, or 0xFFFF for a text.
    std::uint16_t dataType = 0x0002;
    std::int64_t factoryDefault = 0;
    std::int64_t current = 80;
    Form form = Form::range;
    std::int64_t minimum = 0;
    std::int64_t maximum = 100;
    std::int64_t step = 1;
    std::vector<std::int64_t> enumeration{};
    /// The value of a text-typed property.
    std::string text{};
};

} // namespace simulation
