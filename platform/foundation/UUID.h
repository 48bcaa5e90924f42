#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// A 128-bit universally unique identifier, as 16 bytes in their written order.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The nil UUID, all zeros.
    constexpr UUID() noexcept = default;
    constexpr explicit UUID(const Bytes& bytes) noexcept : m_bytes(bytes) {}

    /// A random (version 4) UUID from OpenSSL's generator. Throws FoundationError when it has no entropy.
    static UUID random();
    /// A name-based UUID: the first 16 bytes of the SHA-256 digest of the name's bytes, with the
    /// version-5 nibble in byte 6 and the RFC 4122 variant bits in byte 8. The same name always gives the
    /// same UUID.
    static UUID fromSHA256(std::string_view name);
    /// Reads the canonical form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either letter case; anything
    /// else (braces, blanks, missing hyphens, other lengths) gives nothing.
    static std::optional<UUID> parse(std::string_view text);

    /// The canonical form in upper case, 36 characters.
    std::string uuidString() const;
    const Bytes& bytes() const noexcept { return m_bytes; }
    /// The version nibble (high nibble of byte 6): 4 for random, 5 for name-based.
    int version() const noexcept { return m_bytes[6] >> 4; }

    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes m_bytes{};
};

} // namespace platform

template <> struct std::hash<platform::UUID> {
    std::size_t operator()(const platform::UUID& uuid) const noexcept;
};
