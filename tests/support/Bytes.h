#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Bytes written out in tests, and the text they hold.
namespace testsupport {

/// The bytes of the values, each taken modulo 256.
inline std::vector<std::byte> bytes(std::initializer_list<int> values) {
    std::vector<std::byte> result;
    result.reserve(values.size());
    for (const int value : values) {
        result.push_back(static_cast<std::byte>(value & 0xFF));
    }
    return result;
}

/// Bytes of a text, for contents and comparisons.
inline std::vector<std::byte> bytesOf(std::string_view text) {
    const auto view = std::as_bytes(std::span(text.data(), text.size()));
    return {view.begin(), view.end()};
}

/// Text of bytes.
inline std::string textOf(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace testsupport
