#pragma once

// What the two USB transports share: their texts, the read length rule and time-out conversion. Internal
// to corvane_usb.

#include "platform/foundation/Clock.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace corvane::transport {

inline constexpr const char* busyText =
    "interface is claimed by another process (Image Capture, Photos, adb?)";
inline constexpr const char* noBulkPairText = "interface has no bulk IN/OUT endpoint pair";
inline constexpr const char* closedText = "transport closed";

/// A 32-bit code in lower-case hexadecimal without leading zeros: "e00002c0".
inline std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

/// The bytes one bulk-IN read asks for: maxLength rounded down to whole packets, at least one packet, and
/// never more whole packets than `limit` bytes hold. Whole packets keep a device from overrunning the
/// buffer with a full packet.
inline std::size_t readRequestLength(std::size_t maxLength, std::size_t packetSize, std::size_t limit) {
    const std::size_t packets = std::max<std::size_t>(1, std::min(maxLength, limit) / packetSize);
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
