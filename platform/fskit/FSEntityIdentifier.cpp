#include "platform/fskit/FSEntityIdentifier.h"

#include <random>

namespace fskit {

namespace {

UUIDBytes randomUUID() {
    // random_device draws from the kernel's generator on Linux, which is what a random UUID needs.
    std::random_device device;
    UUIDBytes bytes{};
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(device());
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return bytes;
}

} // namespace

std::string FSEntityIdentifier::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t index = 0; index < m_uuid.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10) {
            text.push_back('-');
        }
        text.push_back(digits[m_uuid[index] >> 4]);
        text.push_back(digits[m_uuid[index] & 0x0F]);
    }
    return text;
}

FSVolumeIdentifier::FSVolumeIdentifier() : FSEntityIdentifier(randomUUID()) {}

} // namespace fskit
