#pragma once

#include "Corvane/wire/PTPError.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace corvane {

/// The 16 bytes of a 128-bit protocol value, uninterpreted.
using Raw128 = std::array<std::byte, 16>;

/// Counted arrays never reserve more than this many elements before reading them, whatever the count
/// on the wire says, and never more elements than there are bytes left: the memory taken follows the
/// bytes actually present.
inline constexpr std::size_t maxArrayReservation = 65'536;

/// A cursor over one little-endian PTP structure. It views the caller's bytes (which must outlive it) and
/// fails every read that does not fit with PTPError::truncatedData(needed, remaining), leaving the
/// offset where the failing read began. It never rejects content.
class PTPReader {
public:
    explicit PTPReader(std::span<const std::byte> data) noexcept : m_data(data) {}

    std::span<const std::byte> data() const noexcept { return m_data; }
    /// Bytes consumed so far.
    std::size_t offset() const noexcept { return m_offset; }
    std::size_t remaining() const noexcept { return m_data.size() - m_offset; }
    bool isAtEnd() const noexcept { return m_offset >= m_data.size(); }

    std::uint8_t u8();
    std::int8_t i8();
    std::uint16_t u16();
    std::int16_t i16();
    std::uint32_t u32();
    std::int32_t i32();
    std::uint64_t u64();
    std::int64_t i64();
    Raw128 u128();

    /// A PTP string: a count byte N, then N UTF-16LE units that end with one NUL unit, which is dropped.
    /// Invalid UTF-16 (an unpaired surrogate) decodes to U+FFFD; NULs before the last unit are kept.
    std::string string();

    /// A u32 count, then that many elements read by element(reader). The element routine must consume at
    /// least one byte per element, so that a huge count ends at the end of the buffer.
    template <typename ElementReader> auto array(ElementReader&& element) {
        using Element = std::decay_t<decltype(element(*this))>;
        const std::uint32_t count = u32();
        std::vector<Element> result;
        // Every element takes at least one byte, so a count beyond the bytes left cannot be honest.
        result.reserve(std::min({std::size_t{count}, maxArrayReservation, remaining()}));
        for (std::uint32_t i = 0; i < count; ++i) {
            result.push_back(element(*this));
        }
        return result;
    }

    std::vector<std::uint16_t> u16Array();
    std::vector<std::uint32_t> u32Array();

    void skip(std::size_t count);

private:
    /// The next count bytes, as a view; the one place that checks bounds.
    std::span<const std::byte> take(std::size_t count);

    std::span<const std::byte> m_data;
    std::size_t m_offset = 0;
};

} // namespace corvane
