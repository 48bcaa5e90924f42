#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>

namespace platform {

/// The number that the whole text writes in decimal (a leading "-" for signed types; no "+", no blanks),
/// or nothing when the text holds anything else or the number does not fit the type.
template <std::integral T> std::optional<T> wholeNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace platform
