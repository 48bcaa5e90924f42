#pragma once

#include "platform/foundation/Clock.h"

#include <cstdint>

namespace simulation {

/// The speed of the simulated USB link, applied through the phone's clock so that tests can run it on a
/// virtual clock and benchmarks on the real one. The default costs nothing.
struct PhoneLink {
    /// How long the phone takes to answer each transaction (a phone needs about a millisecond).
    platform::Clock::Duration turnaround{0};
    /// Added to every bulk transfer in either direction.
    platform::Clock::Duration perTransfer{0};
    /// Payload speed in both directions; 0 is unlimited.
    std::uint64_t bytesPerSecond = 0;

    /// The time one transfer of byteCount bytes takes on this link.
    platform::Clock::Duration transferTime(std::uint64_t byteCount) const noexcept {
        platform::Clock::Duration time = perTransfer;
        if (bytesPerSecond != 0 && byteCount != 0) {
            const long double seconds = static_cast<long double>(byteCount) / bytesPerSecond;
            time += platform::Clock::Duration(static_cast<platform::Clock::Duration::rep>(seconds * 1e9L));
        }
        return time;
    }
};

} // namespace simulation
