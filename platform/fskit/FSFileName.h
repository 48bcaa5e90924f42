#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace fskit {

/// A name in a directory, as the kernel gives it: a byte string that need not be valid text.
class FSFileName {
public:
    /// The bytes are taken as they are; a name built from text is its UTF-8 bytes.
    explicit FSFileName(std::string_view bytes) : m_bytes(bytes) {}

    /// The name's bytes.
    std::string_view data() const noexcept { return m_bytes; }
    /// The name as text: present only when the bytes are well-formed UTF-8.
    std::optional<std::string> string() const;

    friend bool operator==(const FSFileName&, const FSFileName&) = default;
    friend auto operator<=>(const FSFileName&, const FSFileName&) = default;

private:
    std::string m_bytes;
};

} // namespace fskit
