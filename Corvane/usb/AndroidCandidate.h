#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

/// An attached Android device that shows no MTP interface (charge-only mode): what the application lists
/// so the user can switch it to file transfer. A plain value; its identity is the device's registry
/// entry ID.
struct AndroidCandidate {
    std::uint64_t registryEntryID = 0;
    std::uint16_t vendorID = 0;
    std::uint16_t productID = 0;
    std::string vendorName;
    std::string productName;
    std::string serialNumber;
    bool hasADB = false;

    std::uint64_t id() const { return registryEntryID; }
    /// The cleaned product name; "<vendor> device" or "Android device" without one.
    std::string displayName() const;
    /// How to switch this maker's phones to file transfer, in the words of their own menus.
    std::string fileTransferHint() const;

    bool operator==(const AndroidCandidate&) const = default;
};

/// Whether the USB vendor ID belongs to a maker of Android devices (a fixed table of 18 IDs).
bool isAndroidVendor(std::uint16_t vendorID);

} // namespace corvane

template <> struct std::hash<corvane::AndroidCandidate> {
    std::size_t operator()(const corvane::AndroidCandidate& candidate) const noexcept;
};
