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

/// Seconds as whole milliseconds in 32 bits, truncated. NaN and negative values become 0 and values too
/// large for 32 bits the largest, so no time-out a caller passes converts with undefined behaviour.
inline std::uint32_t milliseconds32(platform::Seconds timeout) {
    const auto duration = platform::Clock::toDuration(timeout);
    const auto count = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return static_cast<std::uint32_t>(
        std::min<std::chrono::milliseconds::rep>(count, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace corvane::transport
