#pragma once

// USB descriptors as the IOUSBHost framework hands them out: a configuration descriptor is the bytes the
// device sent (wTotalLength of them), and the walkers find the interface and endpoint descriptors inside
// it. The bytes come from a device, so every walk checks each length against what is left and stops at
// the first descriptor that does not fit, rather than reading past the end.

#include "platform/usb/Endpoint.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace iousbhost {

inline constexpr std::uint8_t kIOUSBDescriptorTypeConfiguration = 2;
inline constexpr std::uint8_t kIOUSBDescriptorTypeInterface = 4;
inline constexpr std::uint8_t kIOUSBDescriptorTypeEndpoint = 5;

inline constexpr std::size_t kIOUSBConfigurationDescriptorLength = 9;
inline constexpr std::size_t kIOUSBInterfaceDescriptorLength = 9;
inline constexpr std::size_t kIOUSBEndpointDescriptorLength = 7;

/// A configuration descriptor and every descriptor that follows it.
struct IOUSBConfigurationDescriptor {
    std::vector<std::byte> bytes;

    /// wTotalLength when the header is there, else 0.
    std::uint16_t wTotalLength() const;
    /// bConfigurationValue when the header is there, else 0.
    std::uint8_t bConfigurationValue() const;
};

/// One interface descriptor inside a configuration descriptor: where it starts and its fields.
struct IOUSBInterfaceDescriptor {
    std::size_t offset = 0;
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint8_t bInterfaceNumber = 0;
    std::uint8_t bAlternateSetting = 0;
    std::uint8_t bNumEndpoints = 0;
    std::uint8_t bInterfaceClass = 0;
    std::uint8_t bInterfaceSubClass = 0;
    std::uint8_t bInterfaceProtocol = 0;
    std::uint8_t iInterface = 0;
};

/// One endpoint descriptor inside a configuration descriptor.
struct IOUSBEndpointDescriptor {
    std::size_t offset = 0;
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint8_t bEndpointAddress = 0;
    std::uint8_t bmAttributes = 0;
    std::uint16_t wMaxPacketSize = 0; // raw: bits 11-12 carry high-speed transaction counts
    std::uint8_t bInterval = 0;
};

/// The interface descriptor after `current` (after the configuration header when current is null), or
/// nothing when there is none or the bytes are malformed before it.
std::optional<IOUSBInterfaceDescriptor>
IOUSBGetNextInterfaceDescriptor(const IOUSBConfigurationDescriptor& configuration,
                                const IOUSBInterfaceDescriptor* current);

/// The interface's endpoint descriptor after `current` (its first one when current is null). Nothing at
/// the next interface descriptor, at the end, or at a malformed descriptor: one shorter than its own
/// header, one that runs past the end, or an endpoint descriptor shorter than 7 bytes.
std::optional<IOUSBEndpointDescriptor>
IOUSBGetNextEndpointDescriptor(const IOUSBConfigurationDescriptor& configuration,
                               const IOUSBInterfaceDescriptor& interface,
                               const IOUSBEndpointDescriptor* current);

/// What one interface contributes to a configuration descriptor.
struct InterfaceDescriptorSource {
    IOUSBInterfaceDescriptor fields; // offset, bLength, bDescriptorType and bNumEndpoints are filled in
    std::vector<usb::EndpointDescriptor> endpoints;
};

/// Lays out a configuration descriptor: the header, then each interface followed by its endpoints.
IOUSBConfigurationDescriptor
makeConfigurationDescriptor(std::uint8_t configurationValue,
                            std::span<const InterfaceDescriptorSource> interfaces);

} // namespace iousbhost
