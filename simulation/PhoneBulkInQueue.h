#pragma once

#include "platform/usb/DeviceFunction.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace simulation {

/// What the phone has written to its bulk-IN endpoint and the bus has not taken yet. Each write is one
/// device transfer: it ends the host's read by itself when it does not fill whole packets, and with a
/// zero-length packet after it when it does (unless the write says otherwise, as a device that forgets
/// its ZLP does). A large write goes to the bus in pieces of whole packets, so a data phase of many
/// gigabytes never exists as one buffer.
class PhoneBulkInQueue {
public:
    /// Produces the bytes of a write at offset; called under the phone's lock when the bus takes them.
    using Source = std::function<void(std::uint64_t offset, std::span<std::byte> out)>;

    /// The largest piece handed to the bus at once: a whole number of packets of any packet size.
    static constexpr std::size_t pieceLimit = 1 << 20;

    /// One device transfer: prefix, then sourceLength bytes of source, then suffix; or a marker that
    /// halts the endpoint or unplugs the phone when the bus asks for it. An empty write without a marker
    /// is a zero-length packet.
    struct Write {
        enum class Marker { none, stall, disconnect };

        std::vector<std::byte> prefix;
        Source source;
        std::uint64_t sourceLength = 0;
        std::vector<std::byte> suffix;
        Marker marker = Marker::none;
        bool zeroLengthPacketWhenAligned = true;
        /// The log entry of the transaction that this write ends.
        std::optional<std::size_t> ends;

        std::uint64_t size() const noexcept { return prefix.size() + sourceLength + suffix.size(); }
    };

    /// The next transfer for the bus, and the transaction it ended, if any.
    struct Piece {
        usb::InReply reply;
        std::optional<std::size_t> ends;
    };

    void push(Write write);
    bool empty() const noexcept { return m_writes.empty(); }
    void clear() noexcept;

    /// The byte count of the next piece (0 for a marker or a zero-length packet).
    std::uint64_t nextPieceSize() const noexcept;
    /// Takes the next piece; the queue must not be empty.
    Piece next();

    /// Copies the bytes of a write at offset into out.
    static void copyOut(const Write& write, std::uint64_t offset, std::span<std::byte> out);

private:
    std::deque<Write> m_writes;
    /// Bytes of the front write already handed out.
    std::uint64_t m_frontConsumed = 0;
};

} // namespace simulation
