#pragma once

#include "platform/busservice/BusProtocol.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <sys/types.h>
#include <vector>

namespace busservice {

/// The environment variable that names the bus service's socket. Where it is set, every program of the
/// system uses the service's bus instead of the machine's own USB.
inline constexpr std::string_view socketVariable = "TANDALO_USB_BUS";

/// Where the service puts its socket when it is given no path: "tandalo/usb-bus.sock" in
/// $XDG_RUNTIME_DIR, or in a folder of the user's own under /tmp ("/tmp/tandalo-<uid>") without one.
std::filesystem::path defaultSocketPath(const platform::Environment& environment);

/// Who is at the other end of a connection, as the kernel vouches for it (SO_PEERCRED).
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
};

/// One end of a connection between the bus service and a client: a Unix stream socket that carries whole
/// messages. Owns its descriptor.
///
/// Threads: one thread may send while another receives; sends from several threads must be serialised
/// by the caller, so that their messages do not interleave. shutdown() may be called from any thread, and
/// ends a send or receive blocked in another.
class BusSocket {
public:
    BusSocket() = default;
    explicit BusSocket(platform::UniqueFd descriptor) noexcept : m_descriptor(std::move(descriptor)) {}

    /// Connects to the socket at the path. Throws BusProtocolError with the system's reason.
    static BusSocket connect(const std::filesystem::path& path);
    /// Makes a socket file at the path, readable and writable by its user only (0600), and listens on it.
    /// Throws BusProtocolError with the system's reason.
    static BusSocket listen(const std::filesystem::path& path);
    /// The next connection to a listening socket; nothing when the one that came left again or the
    /// process has no descriptor left for it.
    std::optional<BusSocket> accept();

    bool valid() const noexcept { return m_descriptor.valid(); }
    int descriptor() const noexcept { return m_descriptor.get(); }

    /// Sends a header and a body given in pieces, all of it, as one message. Throws BusProtocolError when
    /// the connection fails; never raises SIGPIPE.
    void send(const FrameHeader& header, std::initializer_list<std::span<const std::byte>> body);
    /// Fills the buffer entirely. Returns false when the other end closed the connection before the first
    /// byte; throws BusProtocolError when it closed or failed part-way.
    bool receive(std::span<std::byte> buffer);
    /// The next header; nothing when the other end closed the connection between messages.
    std::optional<FrameHeader> receiveHeader();
    /// A body of the length, read as it arrives, so a header that lies about its length costs no more
    /// memory than the bytes that really came. The body is read into the memory of `reuse` as far as it
    /// reaches, so that a transfer's megabyte lands in memory already mapped.
    std::vector<std::byte> receiveBody(std::size_t length, std::vector<std::byte> reuse = {});

    /// Bounds every later receive: one that waits longer than the limit for its next bytes throws
    /// BusProtocolError. Zero lifts the bound. The kernel keeps this time, not the injected clock: it
    /// guards against a peer that accepted the connection and never speaks, where no clock of ours runs.
    void setReceiveLimit(std::chrono::milliseconds limit);

    PeerCredentials peerCredentials() const;
    /// Ends both directions of the connection; blocked calls in other threads return.
    void shutdown() noexcept;

private:
    platform::UniqueFd m_descriptor;
};

} // namespace busservice
