#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

/// SHA-256 on OpenSSL's libcrypto.
class SHA256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    /// The digest of the bytes. Throws FoundationError only when libcrypto itself fails.
    static Digest hash(std::span<const std::byte> data);
    /// The digest of the text's bytes as they are (UTF-8 in this system).
    static Digest hash(std::string_view text);
};

} // namespace platform
