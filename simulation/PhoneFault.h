#pragma once

#include "platform/foundation/Clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace simulation {

/// One misbehaviour that the simulated phone shows in a transaction, injected by a test with
/// SimulatedPhone::injectFault for a chosen call of an operation. Several faults may hit one call.
struct PhoneFault {
    enum class Kind {
        respond,                    // answer responseCode instead of carrying the operation out
        silence,                    // send neither data nor response: the host's read times out
        delay,                      // answer only after delay has passed on the phone's clock
        disconnect,                 // unplug once byteCount bytes of the data phase went through
        stallIn,                    // halt bulk-IN byteCount bytes into the data container
        stallResponse,              // halt bulk-IN instead of sending the response
        stallOut,                   // halt bulk-OUT when the host's data phase begins
        emptyPackets,               // count zero-length packets byteCount bytes into the data container
        emptyPacketsBeforeResponse, // count zero-length packets just before the response
        wrongDataTransactionID,     // the data container carries the transaction ID plus one
        wrongResponseTransactionID, // the response carries the transaction ID plus one
        shortData,                  // only byteCount payload bytes follow a correct length field
        truncatedDataContainer,     // the length field announces byteCount more bytes than are sent
        oversizedDataContainer,     // byteCount bytes beyond the announced length follow the data
        truncatedResponse,          // the response's length field announces 4 more bytes than are sent
        missingZLP,                 // no zero-length packet after a container that fills whole packets
        transformData,              // transform rewrites the data payload (malformed datasets)
        responseParams,             // the response carries params instead of the real ones
    };

    Kind kind = Kind::respond;
    std::uint16_t responseCode = 0;
    std::uint64_t byteCount = 0;
    std::size_t count = 0;
    platform::Clock::Duration delay{0};
    std::vector<std::uint32_t> params;
    std::function<void(std::vector<std::byte>&)> transform;

    static PhoneFault respond(std::uint16_t code);
    /// Device Busy (0x2019).
    static PhoneFault busy();
    static PhoneFault silence();
    static PhoneFault delayed(platform::Clock::Duration delay);
    static PhoneFault disconnectAfter(std::uint64_t dataBytes);
    static PhoneFault stallIn(std::uint64_t afterBytes = 0);
    static PhoneFault stallResponse();
    static PhoneFault stallOut();
    static PhoneFault emptyPackets(std::size_t count, std::uint64_t afterBytes = 0);
    static PhoneFault emptyPacketsBeforeResponse(std::size_t count);
    static PhoneFault wrongDataTransactionID();
    static PhoneFault wrongResponseTransactionID();
    static PhoneFault shortData(std::uint64_t payloadBytes);
    static PhoneFault truncatedDataContainer(std::uint64_t missingBytes);
    static PhoneFault oversizedDataContainer(std::uint64_t extraBytes);
    static PhoneFault truncatedResponse();
    static PhoneFault missingZLP();
    static PhoneFault transformData(std::function<void(std::vector<std::byte>&)> transform);
    /// The payload cut to its first keptBytes bytes, inside a correct container: a malformed dataset.
    static PhoneFault truncateDataset(std::size_t keptBytes);
    /// The payload replaced by bytes, inside a correct container.
    static PhoneFault replaceData(std::vector<std::byte> bytes);
    static PhoneFault replaceResponseParams(std::vector<std::uint32_t> params);

    /// Whether the operation is skipped: the phone consumes the host's data and does nothing with it.
    bool replacesOperation() const noexcept { return kind == Kind::respond || kind == Kind::silence; }
};

} // namespace simulation
