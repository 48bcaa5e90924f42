#pragma once

#include <cstddef>
#include <cstdint>

namespace usb {

enum class TransferType : std::uint8_t { control = 0, isochronous = 1, bulk = 2, interrupt = 3 };
enum class Direction : std::uint8_t { out = 0, in = 1 };

/// An endpoint descriptor as the device reports it (USB 2.0, 9.6.6): the raw fields, with helpers that
/// decode them. The order of an interface's descriptors is the order of its pipe references (1, 2, ...).
struct EndpointDescriptor {
    std::uint8_t address = 0;        // bEndpointAddress: bit 7 set for IN, low four bits the number
    std::uint8_t attributes = 0;     // bmAttributes: the low two bits are the transfer type
    std::uint16_t maxPacketSize = 0; // wMaxPacketSize, raw: bits 11-12 carry high-speed transaction counts
    std::uint8_t interval = 0;       // bInterval

    Direction direction() const { return (address & 0x80) != 0 ? Direction::in : Direction::out; }
    TransferType transferType() const { return static_cast<TransferType>(attributes & 0x03); }
    std::uint8_t number() const { return address & 0x0F; }
    /// The packet size proper, without the transaction bits.
    std::size_t packetSize() const { return maxPacketSize & 0x7FF; }

    static EndpointDescriptor bulkIn(std::uint8_t number, std::uint16_t packetSize) {
        return {static_cast<std::uint8_t>(0x80 | number), 0x02, packetSize, 0};
    }
    static EndpointDescriptor bulkOut(std::uint8_t number, std::uint16_t packetSize) {
        return {number, 0x02, packetSize, 0};
    }
    static EndpointDescriptor interruptIn(std::uint8_t number, std::uint16_t packetSize,
                                          std::uint8_t interval) {
        return {static_cast<std::uint8_t>(0x80 | number), 0x03, packetSize, interval};
    }

    bool operator==(const EndpointDescriptor&) const = default;
};

/// The address of the default control pipe.
inline constexpr std::uint8_t controlEndpoint = 0;

/// The eight-byte set-up packet of a control request (USB 2.0, 9.3).
struct ControlSetup {
    std::uint8_t requestType =
        0;                    // bmRequestType: bit 7 direction (1 = IN), bits 5-6 type, bits 0-4 recipient
    std::uint8_t request = 0; // bRequest
    std::uint16_t value = 0;  // wValue
    std::uint16_t index = 0;  // wIndex
    std::uint16_t length = 0; // wLength: the most bytes of the data stage

    bool isDeviceToHost() const { return (requestType & 0x80) != 0; }
    bool isStandard() const { return (requestType & 0x60) == 0; }
    bool operator==(const ControlSetup&) const = default;
};

/// Standard requests the bus answers itself rather than passing them to the device function.
inline constexpr std::uint8_t requestClearFeature = 0x01;
inline constexpr std::uint8_t requestGetConfiguration = 0x08;
inline constexpr std::uint8_t requestSetConfiguration = 0x09;
inline constexpr std::uint16_t featureEndpointHalt = 0;

} // namespace usb
