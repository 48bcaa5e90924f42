#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

/// One PTP USB container: a 12-byte header (length, type, code, transaction ID) and the payload it owns.
/// Small containers (commands, responses, events, short datasets) go through encoded() and parse(); data
/// phases of any size are streamed by sending header() and parsing parseHeader() on the first 12 bytes.
class PTPContainer {
public:
    enum class Kind : std::uint16_t {
        command = 1,
        data = 2,
        response = 3,
        event = 4,
    };

    /// The header as received; the length field is not checked against anything.
    struct Header {
        std::uint32_t length = 0;
        Kind kind = Kind::command;
        std::uint16_t code = 0;
        std::uint32_t transactionID = 0;

        bool operator==(const Header&) const = default;
    };

    static constexpr std::size_t headerSize = 12;
    /// The length field of a container whose size does not fit in 32 bits.
    static constexpr std::uint32_t unknownLength = 0xFFFFFFFF;

    /// A container whose payload is the parameters as little-endian u32 (at most five by the protocol).
    PTPContainer(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                 std::initializer_list<std::uint32_t> params = {});
    PTPContainer(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                 std::span<const std::uint32_t> params);
    /// A container that takes the payload bytes unchanged.
    static PTPContainer withPayload(Kind kind, std::uint16_t code, std::uint32_t transactionID,
                                    std::vector<std::byte> payload);

    Kind kind() const noexcept { return m_kind; }
    std::uint16_t code() const noexcept { return m_code; }
    std::uint32_t transactionID() const noexcept { return m_transactionID; }
    const std::vector<std::byte>& payload() const noexcept { return m_payload; }
    void setKind(Kind kind) noexcept { m_kind = kind; }
    void setCode(std::uint16_t code) noexcept { m_code = code; }
    void setTransactionID(std::uint32_t transactionID) noexcept { m_transactionID = transactionID; }
    void setPayload(std::vector<std::byte> payload) noexcept { m_payload = std::move(payload); }

    /// The payload read as consecutive u32 from its start; 1 to 3 trailing bytes are ignored.
    std::vector<std::uint32_t> params() const;

    /// Header and payload. A payload too large for the 32-bit length gets unknownLength.
    std::vector<std::byte> encoded() const;

    /// The length field for a payload of payloadSize bytes: 12 + payloadSize, or unknownLength when that
    /// does not fit in 32 bits. Sizes are never truncated.
    static std::uint32_t lengthField(std::uint64_t payloadSize) noexcept;
    /// The 12 header bytes alone, with totalLength written as given, for a payload sent separately.
    static std::array<std::byte, headerSize> header(Kind kind, std::uint16_t code,
                                                    std::uint32_t transactionID, std::uint32_t totalLength);

    /// Parses the first 12 bytes. Throws malformedContainer for fewer than 12 bytes and
    /// unexpectedContainer for a type outside 1 to 4.
    static Header parseHeader(std::span<const std::byte> bytes);
    /// Parses one whole container; bytes past its length are ignored. Throws what parseHeader throws, and
    /// truncatedData(length, bytes present) for a length below 12 or beyond the bytes present.
    static PTPContainer parse(std::span<const std::byte> bytes);

    /// The kind for a type field of 1 to 4; nothing otherwise.
    static std::optional<Kind> kindFromRaw(std::uint16_t raw) noexcept;

    bool operator==(const PTPContainer&) const = default;

private:
    Kind m_kind;
    std::uint16_t m_code;
    std::uint32_t m_transactionID;
    std::vector<std::byte> m_payload;
};

/// The case name of a container kind ("command").
std::string_view name(PTPContainer::Kind kind) noexcept;

} // namespace corvane
