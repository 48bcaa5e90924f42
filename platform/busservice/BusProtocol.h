#pragma once

#include "platform/usb/Endpoint.h"
#include "platform/usb/RegistryEntry.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/USBError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

// The messages that carry the USB bus interface between the bus service and its clients over one Unix
// stream socket: registry reads, notifications, opens and transfers, and the service's control commands.
//
// Every message is a 16-byte header (body length u32, kind u16, zero u16, request number u64; all
// little-endian) and a body. A client numbers its requests; the service answers each with a reply or a
// failure under the same number, in any order, and sends registry events unasked. Bodies are sequences
// of fixed-width integers, texts (u32 length and UTF-8 bytes) and lists (u32 count and elements); the
// bytes of a transfer are the rest of the body, so that a megabyte travels in one message without being
// re-encoded.
namespace busservice {

/// The layer's one error type: a message that breaks the protocol. Whoever reads one drops the
/// connection it came on.
class BusProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class MessageKind : std::uint16_t {
    // Client to service. The body of each is listed with the client's call that sends it.
    hello = 1,
    matchingEntries,
    entry,
    children,
    property,
    subscribe,
    unsubscribe,
    open,
    close,
    endpoints,
    readPipe,
    writePipe,
    controlRequest,
    clearStall,
    abortPipe,
    configuration,
    setConfiguration,
    command,
    // Service to client.
    reply = 0x100, // the request's result
    failure,       // the request failed: status u8, request text
    event,         // a registry event: subscription u64, kind u8, entry
};

/// "readPipe", or the number in hex for a kind this side does not know.
std::string name(MessageKind kind);

/// The first message on every connection, both ways, carries these; anything else ends the connection.
inline constexpr std::string_view protocolMagic = "tandalo-usb-bus";
inline constexpr std::uint16_t protocolVersion = 1;

/// The most bytes one transfer may move: the library's largest read chunk.
inline constexpr std::size_t maximumTransferSize = 256u << 20;
/// The largest body any message may have: a whole transfer and its fixed fields.
inline constexpr std::size_t maximumBodySize = maximumTransferSize + 1024;

struct FrameHeader {
    static constexpr std::size_t size = 16;

    std::uint32_t bodyLength = 0;
    MessageKind kind = MessageKind::reply;
    std::uint64_t request = 0;

    std::array<std::byte, size> encode() const;
    /// Throws BusProtocolError for a kind outside the protocol, a reserved field that is not zero or a
    /// body longer than maximumBodySize.
    static FrameHeader decode(std::span<const std::byte, size> bytes);
};

/// A command to the service's devices (plug, unplug, faults) as it reads it: the words of a command line.
using CommandWords = std::vector<std::string>;

/// What the service says to a command: whether it was carried out, and its text for the person.
struct CommandOutcome {
    bool succeeded = false;
    std::string text;
};

/// Builds a message body.
class MessageWriter {
public:
    template <typename... Values> MessageWriter& write(const Values&... values) {
        (put(values), ...);
        return *this;
    }
    /// Appends bytes as they are, with no length: the rest of a transfer's body.
    MessageWriter& writeRaw(std::span<const std::byte> bytes);

    const std::vector<std::byte>& bytes() const noexcept { return m_bytes; }
    std::vector<std::byte> take() noexcept { return std::move(m_bytes); }

private:
    void put(std::uint8_t value);
    void put(std::uint16_t value);
    void put(std::uint32_t value);
    void put(std::uint64_t value);
    void put(std::int64_t value);
    void put(bool value);
    void put(std::string_view text);
    void put(const std::string& text) { put(std::string_view(text)); }
    void put(const char* text) { put(std::string_view(text)); }
    void put(usb::Timeout timeout);
    void put(usb::OpenMode mode);
    void put(usb::Status status);
    void put(usb::RegistryEvent::Kind kind);
    void put(const usb::PropertyValue& value);
    void put(const usb::RegistryEntry& entry);
    void put(const usb::EndpointDescriptor& endpoint);
    void put(const usb::ControlSetup& setup);
    void put(const CommandOutcome& outcome);
    template <typename T> void put(const std::optional<T>& value) {
        put(value.has_value());
        if (value) {
            put(*value);
        }
    }
    template <typename T> void put(const std::vector<T>& values) {
        put(static_cast<std::uint32_t>(values.size()));
        for (const auto& value : values) {
            put(value);
        }
    }

    std::vector<std::byte> m_bytes;
};

/// Reads a message body; every read checks what is left, so a short or lying body throws
/// BusProtocolError instead of reading past its end or allocating for a count it cannot hold.
class MessageReader {
public:
    explicit MessageReader(std::span<const std::byte> body) noexcept : m_rest(body) {}

    template <typename T> T read() {
        T value{};
        get(value);
        return value;
    }
    /// Several values in order: auto [handle, endpoint] = reader.readAll<usb::HandleID, std::uint8_t>().
    template <typename... Ts> std::tuple<Ts...> readAll() { return std::tuple<Ts...>{read<Ts>()...}; }
    /// What is left, as it is: the bytes of a transfer.
    std::span<const std::byte> readRest() noexcept { return std::exchange(m_rest, {}); }
    /// Throws unless the whole body has been read.
    void finish() const;

private:
    std::span<const std::byte> take(std::size_t count);
    /// Throws unless count elements of at least minimumSize bytes each can still follow.
    void requireRoom(std::uint32_t count, std::size_t minimumSize) const;

    void get(std::uint8_t& value);
    void get(std::uint16_t& value);
    void get(std::uint32_t& value);
    void get(std::uint64_t& value);
    void get(std::int64_t& value);
    void get(bool& value);
    void get(std::string& text);
    void get(usb::Timeout& timeout);
    void get(usb::OpenMode& mode);
    void get(usb::Status& status);
    void get(usb::RegistryEvent::Kind& kind);
    void get(usb::PropertyValue& value);
    void get(usb::RegistryEntry& entry);
    void get(usb::EndpointDescriptor& endpoint);
    void get(usb::ControlSetup& setup);
    void get(CommandOutcome& outcome);
    void get(std::monostate&) {} // an empty reply
    template <typename T> void get(std::optional<T>& value) {
        if (read<bool>()) {
            value = read<T>();
        } else {
            value.reset();
        }
    }
    template <typename T> void get(std::vector<T>& values) {
        const auto count = read<std::uint32_t>();
        requireRoom(count, minimumSize(static_cast<T*>(nullptr)));
        values.clear();
        values.reserve(count);
        for (std::uint32_t index = 0; index < count; ++index) {
            values.push_back(read<T>());
        }
    }

    // The fewest bytes one encoded element takes, which bounds how many a body can hold.
    static constexpr std::size_t minimumSize(const usb::RegistryEntry*) { return 8 + 4 + 8 + 4; }
    static constexpr std::size_t minimumSize(const usb::EndpointDescriptor*) { return 5; }
    static constexpr std::size_t minimumSize(const std::string*) { return 4; }

    std::span<const std::byte> m_rest;
};

} // namespace busservice
