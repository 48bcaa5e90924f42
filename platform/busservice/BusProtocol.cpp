#include "platform/busservice/BusProtocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace busservice {

namespace {

template <typename T> void putLittleEndian(std::byte* into, T value) {
    for (std::size_t index = 0; index < sizeof(T); ++index) {
        into[index] = static_cast<std::byte>(static_cast<std::uint64_t>(value) >> (8 * index));
    }
}

template <typename T> T getLittleEndian(const std::byte* from) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < sizeof(T); ++index) {
        value |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(from[index])) << (8 * index);
    }
    return static_cast<T>(value);
}

bool isKnownKind(std::uint16_t kind) {
    return (kind >= static_cast<std::uint16_t>(MessageKind::hello) &&
            kind <= static_cast<std::uint16_t>(MessageKind::command)) ||
           (kind >= static_cast<std::uint16_t>(MessageKind::reply) &&
            kind <= static_cast<std::uint16_t>(MessageKind::event));
}

constexpr std::uint8_t integerTag = 0;
constexpr std::uint8_t textTag = 1;

} // namespace

std::string name(MessageKind kind) {
    switch (kind) {
    case MessageKind::hello:
        return "hello";
    case MessageKind::matchingEntries:
        return "matchingEntries";
    case MessageKind::entry:
        return "entry";
    case MessageKind::children:
        return "children";
    case MessageKind::property:
        return "property";
    case MessageKind::subscribe:
        return "subscribe";
    case MessageKind::unsubscribe:
        return "unsubscribe";
    case MessageKind::open:
        return "open";
    case MessageKind::close:
        return "close";
    case MessageKind::endpoints:
        return "endpoints";
    case MessageKind::readPipe:
        return "readPipe";
    case MessageKind::writePipe:
        return "writePipe";
    case MessageKind::controlRequest:
        return "controlRequest";
    case MessageKind::clearStall:
        return "clearStall";
    case MessageKind::abortPipe:
        return "abortPipe";
    case MessageKind::configuration:
        return "configuration";
    case MessageKind::setConfiguration:
        return "setConfiguration";
    case MessageKind::command:
        return "command";
    case MessageKind::reply:
        return "reply";
    case MessageKind::failure:
        return "failure";
    case MessageKind::event:
        return "event";
    }
    char text[8];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(kind));
    return text;
}

// --- Header ------------------------------------------------------------------------------------------

std::array<std::byte, FrameHeader::size> FrameHeader::encode() const {
    std::array<std::byte, size> bytes{};
    putLittleEndian(bytes.data(), bodyLength);
    putLittleEndian(bytes.data() + 4, static_cast<std::uint16_t>(kind));
    putLittleEndian(bytes.data() + 8, request);
    return bytes;
}

FrameHeader FrameHeader::decode(std::span<const std::byte, size> bytes) {
    FrameHeader header;
    header.bodyLength = getLittleEndian<std::uint32_t>(bytes.data());
    const auto kind = getLittleEndian<std::uint16_t>(bytes.data() + 4);
    const auto reserved = getLittleEndian<std::uint16_t>(bytes.data() + 6);
    header.request = getLittleEndian<std::uint64_t>(bytes.data() + 8);
    if (!isKnownKind(kind)) {
        throw BusProtocolError("unknown message kind " + name(static_cast<MessageKind>(kind)));
    }
    if (reserved != 0) {
        throw BusProtocolError("a reserved header field is not zero");
    }
    if (header.bodyLength > maximumBodySize) {
        throw BusProtocolError("a message body of " + std::to_string(header.bodyLength) +
                               " bytes is beyond the limit");
    }
    header.kind = static_cast<MessageKind>(kind);
    return header;
}

// --- Writer ------------------------------------------------------------------------------------------

MessageWriter& MessageWriter::writeRaw(std::span<const std::byte> bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

void MessageWriter::put(std::uint8_t value) {
    m_bytes.push_back(std::byte{value});
}

void MessageWriter::put(std::uint16_t value) {
    const auto at = m_bytes.size();
    m_bytes.resize(at + 2);
    putLittleEndian(m_bytes.data() + at, value);
}

void MessageWriter::put(std::uint32_t value) {
    const auto at = m_bytes.size();
    m_bytes.resize(at + 4);
    putLittleEndian(m_bytes.data() + at, value);
}

void MessageWriter::put(std::uint64_t value) {
    const auto at = m_bytes.size();
    m_bytes.resize(at + 8);
    putLittleEndian(m_bytes.data() + at, value);
}

void MessageWriter::put(std::int64_t value) {
    put(static_cast<std::uint64_t>(value));
}

void MessageWriter::put(bool value) {
    put(static_cast<std::uint8_t>(value ? 1 : 0));
}

void MessageWriter::put(std::string_view text) {
    put(static_cast<std::uint32_t>(text.size()));
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    m_bytes.insert(m_bytes.end(), bytes, bytes + text.size());
}

void MessageWriter::put(usb::Timeout timeout) {
    put(static_cast<std::int64_t>(timeout.count()));
}

void MessageWriter::put(usb::OpenMode mode) {
    put(static_cast<std::uint8_t>(mode == usb::OpenMode::exclusive ? 0 : 1));
}

void MessageWriter::put(usb::Status status) {
    put(static_cast<std::uint8_t>(status));
}

void MessageWriter::put(usb::RegistryEvent::Kind kind) {
    put(static_cast<std::uint8_t>(kind == usb::RegistryEvent::Kind::published ? 0 : 1));
}

void MessageWriter::put(const usb::PropertyValue& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        put(integerTag);
        put(*number);
    } else {
        put(textTag);
        put(std::get<std::string>(value));
    }
}

void MessageWriter::put(const usb::RegistryEntry& entry) {
    write(entry.id, entry.className, entry.parentID, static_cast<std::uint32_t>(entry.properties.size()));
    for (const auto& [key, value] : entry.properties) {
        write(key, value);
    }
}

void MessageWriter::put(const usb::EndpointDescriptor& endpoint) {
    write(endpoint.address, endpoint.attributes, endpoint.maxPacketSize, endpoint.interval);
}

void MessageWriter::put(const usb::ControlSetup& setup) {
    write(setup.requestType, setup.request, setup.value, setup.index, setup.length);
}

void MessageWriter::put(const CommandOutcome& outcome) {
    write(outcome.succeeded, outcome.text);
}

// --- Reader ------------------------------------------------------------------------------------------

std::span<const std::byte> MessageReader::take(std::size_t count) {
    if (count > m_rest.size()) {
        throw BusProtocolError("a message body ends early");
    }
    const auto taken = m_rest.first(count);
    m_rest = m_rest.subspan(count);
    return taken;
}

void MessageReader::requireRoom(std::uint32_t count, std::size_t minimumSize) const {
    if (count > m_rest.size() / minimumSize) {
        throw BusProtocolError("a list of " + std::to_string(count) + " elements cannot fit in " +
                               std::to_string(m_rest.size()) + " bytes");
    }
}

void MessageReader::finish() const {
    if (!m_rest.empty()) {
        throw BusProtocolError(std::to_string(m_rest.size()) + " bytes follow the end of a message");
    }
}

void MessageReader::get(std::uint8_t& value) {
    value = std::to_integer<std::uint8_t>(take(1)[0]);
}

void MessageReader::get(std::uint16_t& value) {
    value = getLittleEndian<std::uint16_t>(take(2).data());
}

void MessageReader::get(std::uint32_t& value) {
    value = getLittleEndian<std::uint32_t>(take(4).data());
}

void MessageReader::get(std::uint64_t& value) {
    value = getLittleEndian<std::uint64_t>(take(8).data());
}

void MessageReader::get(std::int64_t& value) {
    value = static_cast<std::int64_t>(read<std::uint64_t>());
}

void MessageReader::get(bool& value) {
    const auto byte = read<std::uint8_t>();
    if (byte > 1) {
        throw BusProtocolError("a flag is neither 0 nor 1");
    }
    value = byte == 1;
}

void MessageReader::get(std::string& text) {
    const auto length = read<std::uint32_t>();
    const auto bytes = take(length);
    text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void MessageReader::get(usb::Timeout& timeout) {
    // A negative time-out asks for no wait at all.
    timeout = usb::Timeout(std::max<std::int64_t>(0, read<std::int64_t>()));
}

void MessageReader::get(usb::OpenMode& mode) {
    switch (read<std::uint8_t>()) {
    case 0:
        mode = usb::OpenMode::exclusive;
        return;
    case 1:
        mode = usb::OpenMode::seize;
        return;
    default:
        throw BusProtocolError("unknown open mode");
    }
}

void MessageReader::get(usb::Status& status) {
    const auto value = read<std::uint8_t>();
    if (value > static_cast<std::uint8_t>(usb::Status::error)) {
        throw BusProtocolError("unknown status " + std::to_string(value));
    }
    status = static_cast<usb::Status>(value);
}

void MessageReader::get(usb::RegistryEvent::Kind& kind) {
    switch (read<std::uint8_t>()) {
    case 0:
        kind = usb::RegistryEvent::Kind::published;
        return;
    case 1:
        kind = usb::RegistryEvent::Kind::terminated;
        return;
    default:
        throw BusProtocolError("unknown registry event");
    }
}

void MessageReader::get(usb::PropertyValue& value) {
    switch (read<std::uint8_t>()) {
    case integerTag:
        value = read<std::int64_t>();
        return;
    case textTag:
        value = read<std::string>();
        return;
    default:
        throw BusProtocolError("unknown property type");
    }
}

void MessageReader::get(usb::RegistryEntry& entry) {
    std::tie(entry.id, entry.className, entry.parentID) =
        readAll<usb::RegistryEntryID, std::string, usb::RegistryEntryID>();
    const auto count = read<std::uint32_t>();
    requireRoom(count, 4 + 1 + 4); // a key and the shortest value, an empty text
    entry.properties.clear();
    for (std::uint32_t index = 0; index < count; ++index) {
        auto key = read<std::string>();
        auto value = read<usb::PropertyValue>();
        if (!entry.properties.emplace(std::move(key), std::move(value)).second) {
            throw BusProtocolError("a registry entry names one property twice");
        }
    }
}

void MessageReader::get(usb::EndpointDescriptor& endpoint) {
    std::tie(endpoint.address, endpoint.attributes, endpoint.maxPacketSize, endpoint.interval) =
        readAll<std::uint8_t, std::uint8_t, std::uint16_t, std::uint8_t>();
}

void MessageReader::get(usb::ControlSetup& setup) {
    std::tie(setup.requestType, setup.request, setup.value, setup.index, setup.length) =
        readAll<std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t, std::uint16_t>();
}

void MessageReader::get(CommandOutcome& outcome) {
    std::tie(outcome.succeeded, outcome.text) = readAll<bool, std::string>();
}

} // namespace busservice
