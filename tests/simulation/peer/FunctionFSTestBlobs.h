#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace peertest {

/// Little-endian blob building for FunctionFS descriptor and string blobs.
class Blob {
public:
    Blob& u8(std::uint8_t value) {
        m_bytes.push_back(std::byte{value});
        return *this;
    }
    Blob& u16(std::uint16_t value) { return u8(value & 0xFF).u8(value >> 8); }
    Blob& u32(std::uint32_t value) { return u16(value & 0xFFFF).u16(value >> 16); }
    Blob& text(const std::string& value) {
        for (const char each : value) {
            u8(static_cast<std::uint8_t>(each));
        }
        return u8(0);
    }
    Blob& interface(std::uint8_t number, std::uint8_t endpoints) {
        return u8(9).u8(4).u8(number).u8(0).u8(endpoints).u8(6).u8(1).u8(1).u8(1);
    }
    Blob& endpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t packetSize) {
        return u8(7).u8(5).u8(address).u8(attributes).u16(packetSize).u8(0);
    }
    /// Writes the total length into bytes 4..7 of a blob that has them.
    std::vector<std::byte> sealed() const {
        std::vector<std::byte> bytes = m_bytes;
        if (bytes.size() < 8) {
            return bytes;
        }
        const auto length = static_cast<std::uint32_t>(bytes.size());
        for (int index = 0; index < 4; ++index) {
            bytes[4 + index] = std::byte{static_cast<std::uint8_t>(length >> (8 * index))};
        }
        return bytes;
    }

private:
    std::vector<std::byte> m_bytes;
};

/// What the responder declares: full- and high-speed descriptors of one still-image interface with bulk
/// IN 0x81, bulk OUT 0x02 and interrupt IN 0x83.
inline std::vector<std::byte> responderDescriptors() {
    Blob blob;
    blob.u32(3).u32(0).u32(1 | 2).u32(4).u32(4);
    blob.interface(0, 3).endpoint(0x81, 2, 64).endpoint(0x02, 2, 64).endpoint(0x83, 3, 28);
    blob.interface(0, 3).endpoint(0x81, 2, 512).endpoint(0x02, 2, 512).endpoint(0x83, 3, 28);
    return blob.sealed();
}

inline std::vector<std::byte> responderStrings() {
    return Blob().u32(2).u32(0).u32(1).u32(1).u16(0x0409).text("MTP").sealed();
}

} // namespace peertest
