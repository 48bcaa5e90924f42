#include "Corvane/wire/PTPContainer.h"

#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPReader.h"
#include "Corvane/wire/PTPWriter.h"

#include <algorithm>
#include <string>

namespace corvane {

PTPContainer::PTPContainer(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                           std::initializer_list<std::uint32_t> params)
    : PTPContainer(kind, code, transactionID, std::span<const std::uint32_t>(params.begin(), params.size())) {
}

PTPContainer::PTPContainer(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                           std::span<const std::uint32_t> params)
    : m_kind(kind), m_code(code), m_transactionID(transactionID) {
    PTPWriter writer;
    for (const std::uint32_t param : params) {
        writer.u32(param);
    }
    m_payload = writer.take();
}

PTPContainer PTPContainer::withPayload(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                                       std::vector<std::byte> payload) {
    PTPContainer container(kind, code, transactionID);
    container.m_payload = std::move(payload);
    return container;
}

std::vector<std::uint32_t> PTPContainer::params() const {
    PTPReader reader(m_payload);
    std::vector<std::uint32_t> result;
    result.reserve(reader.remaining() / 4);
    while (reader.remaining() >= 4) {
        result.push_back(reader.u32());
    }
    return result;
}

std::uint32_t PTPContainer::lengthField(std::uint64_t payloadSize) noexcept {
    if (payloadSize >= std::uint64_t{unknownLength} - headerSize) {
        return unknownLength;
    }
    return static_cast<std::uint32_t>(payloadSize + headerSize);
}

std::array<std::byte, PTPContainer::headerSize>
PTPContainer::header(Kind kind, std::uint16_t code, std::uint32_t transactionID, std::uint32_t totalLength) {
    std::array<std::byte, headerSize> bytes{};
    const auto put = [&bytes](std::size_t offset, std::uint32_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
        }
    };
    put(0, totalLength, 4);
    put(4, static_cast<std::uint16_t>(kind), 2);
    put(6, code, 2);
    put(8, transactionID, 4);
    return bytes;
}

std::vector<std::byte> PTPContainer::encoded() const {
    const auto head = header(m_kind, m_code, m_transactionID, lengthField(m_payload.size()));
    std::vector<std::byte> bytes(headerSize + m_payload.size());
    std::copy(head.begin(), head.end(), bytes.begin());
    std::copy(m_payload.begin(), m_payload.end(), bytes.begin() + headerSize);
    return bytes;
}

std::optional<PTPContainer::Kind> PTPContainer::kindFromRaw(std::uint16_t raw) noexcept {
    if (raw < 1 || raw > 4) {
        return std::nullopt;
    }
    return static_cast<Kind>(raw);
}

PTPContainer::Header PTPContainer::parseHeader(std::span<const std::byte> bytes) {
    if (bytes.size() < headerSize) {
        throw PTPError::malformedContainer("header too short (" + std::to_string(bytes.size()) + " bytes)");
    }
    PTPReader reader(bytes.first(headerSize));
    Header header;
    header.length = reader.u32();
    const std::uint16_t type = reader.u16();
    header.code = reader.u16();
    header.transactionID = reader.u32();
    const auto kind = kindFromRaw(type);
    if (!kind) {
        throw PTPError::unexpectedContainer(type, header.code);
    }
    header.kind = *kind;
    return header;
}

PTPContainer PTPContainer::parse(std::span<const std::byte> bytes) {
    const Header header = parseHeader(bytes);
    if (header.length < headerSize || bytes.size() < header.length) {
        throw PTPError::truncatedData(header.length, bytes.size());
    }
    const auto payload = bytes.subspan(headerSize, header.length - headerSize);
    return withPayload(header.kind, header.code, header.transactionID,
                       std::vector<std::byte>(payload.begin(), payload.end()));
}

std::string_view name(PTPContainer::Kind kind) noexcept {
    switch (kind) {
    case PTPContainer::Kind::command:
        return "command";
    case PTPContainer::Kind::data:
        return "data";
    case PTPContainer::Kind::response:
        return "response";
    case PTPContainer::Kind::event:
        return "event";
    }
    return "unknown";
}

} // namespace corvane
