#include "platform/foundation/UUID.h"

#include "platform/foundation/EscapedText.h"
#include "platform/foundation/FoundationError.h"
#include "platform/foundation/SHA256.h"

#include <algorithm>
#include <cstring>
#include <openssl/rand.h>

namespace platform {

namespace {

// Positions of the hyphens in the 36-character canonical form.
constexpr std::array<std::size_t, 4> hyphens{8, 13, 18, 23};

UUID::Bytes withVersion(UUID::Bytes bytes, std::uint8_t version) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | (version << 4));
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return bytes;
}

} // namespace

UUID UUID::random() {
    Bytes bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw FoundationError("no random bytes for a UUID");
    }
    return UUID(withVersion(bytes, 4));
}

UUID UUID::fromSHA256(std::string_view name) {
    const auto digest = SHA256::hash(name);
    Bytes bytes{};
    std::copy_n(digest.begin(), bytes.size(), bytes.begin());
    return UUID(withVersion(bytes, 5));
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        const bool hyphenHere = std::find(hyphens.begin(), hyphens.end(), index) != hyphens.end();
        if (hyphenHere) {
            if (text[index] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int value = hexDigitValue(text[index]);
        if (value < 0) {
            return std::nullopt;
        }
        auto& byte = bytes[nibble / 2];
        byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
        ++nibble;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t index = 0; index < m_bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10) {
            text += '-';
        }
        text += digits[m_bytes[index] >> 4];
        text += digits[m_bytes[index] & 0x0F];
    }
    return text;
}

} // namespace platform

std::size_t std::hash<platform::UUID>::operator()(const platform::UUID& uuid) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, uuid.bytes().data(), 8);
    std::memcpy(&low, uuid.bytes().data() + 8, 8);
    return std::hash<std::uint64_t>()(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
