#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

/// Builds one little-endian PTP structure into a growing buffer. Nothing it does can fail.
class PTPWriter {
public:
    const std::vector<std::byte>& data() const& noexcept { return m_data; }
    /// Hands the bytes over and leaves the writer empty.
    std::vector<std::byte> take() noexcept { return std::move(m_data); }

    void u8(std::uint8_t value);
    void u16(std::uint16_t value);
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void u128Zero();

    /// A PTP string. The empty text is the single byte 0. A longer text than 254 UTF-16 units is cut to
    /// 254 units, or to 253 when the 254th unit would split a surrogate pair. Invalid UTF-8 sequences are
    /// sent as U+FFFD.
    void string(std::string_view text);

    /// A u32 count, then element(writer, item) for each item. A list longer than 2^32 - 1 items is a
    /// caller error.
    template <typename Items, typename ElementWriter>
    void array(const Items& items, ElementWriter&& element) {
        u32(static_cast<std::uint32_t>(std::size(items)));
        for (const auto& item : items) {
            element(*this, item);
        }
    }

    void u16Array(std::span<const std::uint16_t> values);
    void u32Array(std::span<const std::uint32_t> values);

    void bytes(std::span<const std::byte> bytes);

private:
    std::vector<std::byte> m_data;
};

} // namespace corvane
