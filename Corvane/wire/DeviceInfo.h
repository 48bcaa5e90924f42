#pragma once

#include "Corvane/wire/PTPOperation.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace corvane {

/// The device information dataset (the answer to GetDeviceInfo), fields in wire order. The supported-code
/// sets hold raw codes, so codes that no table names are kept too.
struct DeviceInfo {
    std::uint16_t standardVersion = 0;
    std::uint32_t vendorExtensionID = 0;
    std::uint16_t vendorExtensionVersion = 0;
    std::string vendorExtensionDescription;
    std::uint16_t functionalMode = 0;
    std::set<std::uint16_t> operationsSupported;
    std::set<std::uint16_t> eventsSupported;
    std::set<std::uint16_t> devicePropertiesSupported;
    std::vector<std::uint16_t> captureFormats;
    std::vector<std::uint16_t> playbackFormats;
    std::string manufacturer;
    std::string model;
    std::string deviceVersion;
    std::string serialNumber;

    /// Reads every field in order; a dataset that ends early throws truncatedData. Bytes after the serial
    /// number are ignored.
    static DeviceInfo parse(std::span<const std::byte> data);

    bool supports(PTPOperation operation) const;
    /// Partial reads with 64-bit offsets and in-place edits: the Android operations 0x95C1, 0x95C2, 0x95C4
    /// and 0x95C5 are all listed. Truncation (0x95C3) is not required.
    bool supportsRandomAccess() const;
};

} // namespace corvane
