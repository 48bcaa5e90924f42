#pragma once

#include "platform/foundation/Clock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

using platform::Seconds;

/// What a device says about itself through the PTP class request Get Device Status: a response code
/// (0x2001 ready, 0x2019 still busy, for instance after a cancel) and the bulk endpoints it has halted.
struct PTPDeviceStatus {
    std::uint16_t code = 0;
    std::vector<std::uint8_t> haltedEndpoints;
};

/// The link that carries PTP containers over one USB interface's bulk pipes. MTPDevice owns exactly one
/// and is its only regular caller; each implementation serialises its own transfers with one lock.
/// Every failure is thrown as PTPError.
class PTPTransport {
public:
    virtual ~PTPTransport() = default;

    /// The bulk-IN endpoint's maximum packet size, never below 64.
    virtual std::size_t maxPacketSize() const = 0;
    /// The transport is open and still has its interface.
    virtual bool isConnected() const = 0;
    /// Sends one buffer on the bulk-OUT pipe as one USB request.
    virtual void write(std::span<const std::byte> data, Seconds timeout) = 0;
    /// Sends a zero-length packet on the bulk-OUT pipe.
    virtual void writeZeroLength(Seconds timeout) = 0;
    /// One bulk-IN read into the front of the caller's buffer: it asks for the buffer's size rounded down
    /// to whole packets, so the buffer must hold at least one packet (maxPacketSize()). Returns the number
    /// of bytes read. The bytes land where the caller wants them: nothing is allocated or copied on the way.
    virtual std::size_t read(std::span<std::byte> buffer, Seconds timeout) = 0;
    /// The same read into a new buffer of at most maxLength bytes, at least one packet, for callers that
    /// want the bytes themselves.
    std::vector<std::byte> read(std::size_t maxLength, Seconds timeout) {
        const std::size_t packet = maxPacketSize();
        std::vector<std::byte> bytes(std::max(packet, maxLength / packet * packet));
        bytes.resize(read(std::span<std::byte>(bytes), timeout));
        return bytes;
    }
    /// The PTP class request Device Reset, then clears the pipe stalls.
    virtual void resetDevice() = 0;
    /// The PTP class request Cancel for the transaction: the device stops its data phase and sends no
    /// response. Throws when the device refuses the request (a device without it stalls it).
    virtual void cancelTransaction(std::uint32_t transactionID) = 0;
    /// The PTP class request Get Device Status.
    virtual PTPDeviceStatus deviceStatus() = 0;
    /// Clears a halt of either bulk pipe on both ends; what cannot be cleared is left as it is.
    virtual void clearStalls() = 0;
    /// Releases the interface; later transfers fail. Never throws; a second call does nothing.
    virtual void close() noexcept = 0;
};

} // namespace corvane
