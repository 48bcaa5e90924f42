#pragma once

// The state that the transaction engine keeps while one transaction runs, shared by its phases
// (TransactionEngine.cpp) and its recovery (TransactionRecovery.cpp). Internal to Corvane/device.

#include "Corvane/device/TransactionEngine.h"
#include "Corvane/wire/PTPContainer.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvane {

namespace transactionLimits {

inline constexpr std::size_t headerSize = PTPContainer::headerSize;

/// Empty reads tolerated in a row while data is awaited: the first read and 16 more.
inline constexpr std::uint32_t maxEmptyDataReads = 17;
/// Reads of the response phase: a device's zero-length packet that ended the data may come first.
inline constexpr std::uint32_t maxResponseReads = 4;
/// While catching up with a broken transaction, how many whole containers of earlier exchanges may be
/// skipped before the device counts as lost.
inline constexpr std::uint32_t maxSkippedContainers = 8;

} // namespace transactionLimits

/// The settings one transaction runs with, read once at its start.
struct TransactionEngine::Settings {
    Seconds commandTimeout;
    Seconds dataTimeout;
    /// The largest read asked for.
    std::size_t chunk = 0;
    std::size_t packet = 0;
    /// The largest write of a data-out phase: the chunk rounded down to whole packets, so that no write
    /// but the last ends in a short packet, which the device would take for the end of the data.
    std::size_t sendChunk = 0;
};

/// How far a transaction got, so that a failure can be cleaned up from the right place.
struct TransactionEngine::Progress {
    enum class Stage { notStarted, command, dataOut, dataIn, response };
    Stage stage = Stage::notStarted;
    /// The transport failed or the device stopped sending: reading on would only wait.
    bool deviceSilent = false;
    /// The transport itself gave up (a time-out, a disconnection): if a reset cannot bring the device
    /// back either, it is gone.
    bool transportFailed = false;
    /// The response container of this very transaction was read: the device is between transactions.
    bool inStep = false;

    // Data-out phase.
    bool headerSent = false;
    std::uint64_t bytesSent = 0; // header included
    std::uint64_t announced = 0;
    std::uint16_t operationCode = 0;
    bool providerEndedEarly = false;

    // Where the reading stands within what the device sends.
    bool positionKnown = true;
    bool insideContainer = false;
    std::optional<std::uint64_t> containerRemaining; // nothing: the container ends at a short packet
    std::size_t lastRead = 0;
    std::uint32_t emptyReads = 0;

    /// Starts tracking a data container whose first read (header included) was firstRead bytes.
    void enterDataContainer(const PTPContainer::Header& header, std::size_t firstRead) {
        insideContainer = true;
        positionKnown = true;
        lastRead = firstRead;
        if (header.length == PTPContainer::unknownLength) {
            containerRemaining.reset();
            return;
        }
        const std::uint64_t payload = header.length >= transactionLimits::headerSize
                                          ? header.length - transactionLimits::headerSize
                                          : 0;
        containerRemaining = payload;
        consume(firstRead - transactionLimits::headerSize, firstRead);
    }

    /// Accounts for payload bytes read inside the current container. Returns false when they run past
    /// the container's end; the position is then unknown.
    bool consume(std::uint64_t bytes, std::size_t readSize) {
        lastRead = readSize;
        if (!containerRemaining) {
            return true;
        }
        if (bytes > *containerRemaining) {
            insideContainer = false;
            positionKnown = false;
            return false;
        }
        *containerRemaining -= bytes;
        if (*containerRemaining == 0) {
            insideContainer = false;
        }
        return true;
    }

    void endContainer() {
        insideContainer = false;
        positionKnown = true;
    }
};

} // namespace corvane
