#include "Corvane/wire/PTPWriter.h"

#include "platform/foundation/Unicode.h"

#include <string>

namespace corvane {

namespace {

// The count byte holds at most 255 units, one of which is the terminating NUL.
constexpr std::size_t maxStringUnits = 254;

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

template <typename Unsigned> void appendLittleEndian(std::vector<std::byte>& data, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        data.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
    }
}

} // namespace

void PTPWriter::u8(std::uint8_t value) {
    m_data.push_back(static_cast<std::byte>(value));
}

void PTPWriter::u16(std::uint16_t value) {
    appendLittleEndian(m_data, value);
}

void PTPWriter::u32(std::uint32_t value) {
    appendLittleEndian(m_data, value);
}

void PTPWriter::u64(std::uint64_t value) {
    appendLittleEndian(m_data, value);
}

void PTPWriter::u128Zero() {
    m_data.insert(m_data.end(), 16, std::byte{0});
}

void PTPWriter::string(std::string_view text) {
    if (text.empty()) {
        u8(0);
        return;
    }
    std::u16string units = platform::unicode::toUTF16(text);
    if (units.size() > maxStringUnits) {
        // Cutting between the halves of a surrogate pair would send the device an unpaired surrogate,
        // which it may reject or store as a corrupt name; drop the whole pair instead.
        const std::size_t keep =
            isHighSurrogate(units[maxStringUnits - 1]) ? maxStringUnits - 1 : maxStringUnits;
        units.resize(keep);
    }
    units.push_back(u'\0');
    u8(static_cast<std::uint8_t>(units.size()));
    for (const char16_t unit : units) {
        u16(static_cast<std::uint16_t>(unit));
    }
}

void PTPWriter::u16Array(std::span<const std::uint16_t> values) {
    array(values, [](PTPWriter& writer, std::uint16_t value) { writer.u16(value); });
}

void PTPWriter::u32Array(std::span<const std::uint32_t> values) {
    array(values, [](PTPWriter& writer, std::uint32_t value) { writer.u32(value); });
}

void PTPWriter::bytes(std::span<const std::byte> bytes) {
    m_data.insert(m_data.end(), bytes.begin(), bytes.end());
}

} // namespace corvane
