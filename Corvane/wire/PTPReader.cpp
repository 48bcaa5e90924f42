#include "Corvane/wire/PTPReader.h"

#include "platform/foundation/Unicode.h"

namespace corvane {

namespace {

// Assembles little-endian bytes whatever the host's byte order.
template <typename Unsigned> Unsigned littleEndian(std::span<const std::byte> bytes) {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        value |=
            static_cast<Unsigned>(static_cast<Unsigned>(std::to_integer<std::uint8_t>(bytes[i])) << (8 * i));
    }
    return value;
}

} // namespace

std::span<const std::byte> PTPReader::take(std::size_t count) {
    if (remaining() < count) {
        throw PTPError::truncatedData(count, remaining());
    }
    const auto bytes = m_data.subspan(m_offset, count);
    m_offset += count;
    return bytes;
}

std::uint8_t PTPReader::u8() {
    return littleEndian<std::uint8_t>(take(1));
}

std::int8_t PTPReader::i8() {
    return static_cast<std::int8_t>(u8());
}

std::uint16_t PTPReader::u16() {
    return littleEndian<std::uint16_t>(take(2));
}

std::int16_t PTPReader::i16() {
    return static_cast<std::int16_t>(u16());
}

std::uint32_t PTPReader::u32() {
    return littleEndian<std::uint32_t>(take(4));
}

std::int32_t PTPReader::i32() {
    return static_cast<std::int32_t>(u32());
}

std::uint64_t PTPReader::u64() {
    return littleEndian<std::uint64_t>(take(8));
}

std::int64_t PTPReader::i64() {
    return static_cast<std::int64_t>(u64());
}

Raw128 PTPReader::u128() {
    const auto bytes = take(16);
    Raw128 value{};
    std::copy(bytes.begin(), bytes.end(), value.begin());
    return value;
}

std::string PTPReader::string() {
    const std::size_t count = u8();
    if (count == 0) {
        return {};
    }
    const auto bytes = take(2 * count);
    std::u16string units(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>(littleEndian<std::uint16_t>(bytes.subspan(2 * i, 2)));
    }
    // Only the one terminating NUL is dropped; a device that omits it still gets its text through.
    if (units.back() == u'\0') {
        units.pop_back();
    }
    return platform::unicode::fromUTF16(units);
}

std::vector<std::uint16_t> PTPReader::u16Array() {
    return array([](PTPReader& reader) { return reader.u16(); });
}

std::vector<std::uint32_t> PTPReader::u32Array() {
    return array([](PTPReader& reader) { return reader.u32(); });
}

void PTPReader::skip(std::size_t count) {
    take(count);
}

} // namespace corvane
