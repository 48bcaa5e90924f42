#include "platform/fskit/FSFileName.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace fskit {

std::optional<std::string> FSFileName::string() const {
    // ICU's decoder rejects overlong forms, surrogates and code points above U+10FFFF, which is exactly
    // what makes a byte string unusable as text.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(m_bytes.data());
    const auto length = static_cast<std::int32_t>(m_bytes.size());
    if (m_bytes.size() != static_cast<std::size_t>(length)) {
        return std::nullopt;
    }
    std::int32_t offset = 0;
    while (offset < length) {
        UChar32 codePoint = 0;
        U8_NEXT(bytes, offset, length, codePoint);
        if (codePoint < 0) {
            return std::nullopt;
        }
    }
    return m_bytes;
}

} // namespace fskit
