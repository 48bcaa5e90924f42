#pragma once

#include "platform/foundation/Clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simulation {

/// What the simulated phone saw and did in one transaction, for tests to assert on.
struct PhoneTransaction {
    /// The operation code as received, also when the phone does not know it.
    std::uint16_t operation = 0;
    std::uint32_t transactionID = 0;
    std::vector<std::uint32_t> params;

    /// The host sent a data container; dataOutBytes counts its payload bytes as they arrived.
    bool hostSentData = false;
    std::uint64_t dataOutBytes = 0;
    /// The host ended its data phase with a zero-length packet.
    bool hostSentZLP = false;

    /// The phone sent a data container; dataInBytes counts the payload bytes it put on the pipe.
    bool phoneSentData = false;
    std::uint64_t dataInBytes = 0;
    /// The phone ended its data container with a zero-length packet.
    bool phoneSentZLP = false;

    /// Nothing when the phone sent no response (silence, a stall, a disconnection, an abandoned command).
    std::optional<std::uint16_t> responseCode;
    std::vector<std::uint32_t> responseParams;
    /// The host took the whole response off the pipe.
    bool completed = false;
    /// Reads of the host that timed out while this transaction was the phone's latest.
    std::uint32_t hostTimeouts = 0;
    /// A fault was injected into this transaction, or a gate held it.
    bool faulted = false;
    bool gated = false;
    /// Why the transaction ended without a response, when it did.
    std::string note;

    /// The phone's clock when the command arrived, and when the phone put the transaction's last transfer
    /// (its response, or the stall or disconnection that ended it) on the pipe.
    platform::Clock::TimePoint started{};
    platform::Clock::TimePoint finished{};
};

} // namespace simulation
