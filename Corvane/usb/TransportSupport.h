#pragma once

// What the two USB transports share: their texts, the read length rule and time-out conversion. Internal
// to corvane_usb.

#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Clock.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>

namespace corvane::transport {

inline constexpr const char* busyText =
    "interface is claimed by another process (Image Capture, Photos, adb?)";
inline constexpr const char* noBulkPairText = "interface has no bulk IN/OUT endpoint pair";
inline constexpr const char* closedText = "transport closed";

// The PTP class requests on the interface (USB still image class).
inline constexpr std::uint8_t cancelRequest = 0x64;
inline constexpr std::uint8_t deviceResetRequest = 0x66;
inline constexpr std::uint8_t deviceStatusRequest = 0x67;
inline constexpr std::uint8_t classToInterface = 0x21;   // host to device, class, interface
inline constexpr std::uint8_t classFromInterface = 0xA1; // device to host, class, interface
/// Room for a status with four halted endpoints.
inline constexpr std::uint16_t deviceStatusLength = 20;

/// The data stage of a Cancel Request: the cancellation code 0x4001, then the transaction ID, both
/// little-endian.
inline std::array<std::byte, 6> cancelData(std::uint32_t transactionID) {
    return {std::byte{0x01},
            std::byte{0x40},
            static_cast<std::byte>(transactionID & 0xFF),
            static_cast<std::byte>((transactionID >> 8) & 0xFF),
            static_cast<std::byte>((transactionID >> 16) & 0xFF),
            static_cast<std::byte>(transactionID >> 24)};
}

/// Reads the data stage of Get Device Status: its length, the code, then one 32-bit parameter per halted
/// endpoint. A stage too short to hold a code, or a length beyond what came, throws malformedContainer.
inline PTPDeviceStatus parseDeviceStatus(std::span<const std::byte> stage) {
    const auto u16At = [&](std::size_t at) {
        return static_cast<std::uint16_t>(std::to_integer<unsigned>(stage[at]) |
                                          (std::to_integer<unsigned>(stage[at + 1]) << 8));
    };
    if (stage.size() < 4 || u16At(0) < 4 || u16At(0) > stage.size()) {
        throw PTPError::malformedContainer("device status of " + std::to_string(stage.size()) + " bytes");
    }
    PTPDeviceStatus status;
    status.code = u16At(2);
    for (std::size_t at = 4; at + 4 <= u16At(0); at += 4) {
        status.haltedEndpoints.push_back(std::to_integer<std::uint8_t>(stage[at]));
    }
    return status;
}

/// A 32-bit code in lower-case hexadecimal without leading zeros: "e00002c0".
inline std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

/// The bytes one bulk-IN read into a buffer of bufferSize bytes asks for: whole packets only, so that a
/// device cannot overrun the buffer with a full packet, and never more than `limit` bytes. Throws usb for
/// a buffer that cannot hold one packet.
inline std::size_t readRequestLength(std::size_t bufferSize, std::size_t packetSize, std::size_t limit) {
    const std::size_t packets = std::min(bufferSize, limit) / packetSize;
    if (packets == 0) {
        throw PTPError::usb("read into " + std::to_string(bufferSize) + " bytes: a read takes at least one " +
                            std::to_string(packetSize) + "-byte packet");
    }
    return packets * packetSize;
}

/// Seconds as whole milliseconds in 32 bits, truncated, and at least 1 ms: the platform's pipe calls take
/// 0 ms to mean "no time-out", so a NaN, negative or sub-millisecond time-out must not become 0 and wait
/// forever. Values too large for 32 bits become the largest.
inline std::uint32_t milliseconds32(platform::Seconds timeout) {
    const auto duration = platform::Clock::toDuration(timeout);
    const auto count = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return static_cast<std::uint32_t>(
        std::clamp<std::chrono::milliseconds::rep>(count, 1, std::numeric_limits<std::uint32_t>::max()));
}

/// Seconds for the IOUSBHost requests, which also read 0 as "no time-out": NaN, negative and zero
/// time-outs become 1 ms, and the rest stay as they are up to a century.
inline double requestSeconds(platform::Seconds timeout) {
    const auto duration = platform::Clock::toDuration(timeout);
    return std::max(std::chrono::duration<double>(duration).count(), 0.001);
}

} // namespace corvane::transport
