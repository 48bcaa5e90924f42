#include "platform/foundation/EscapedText.h"

namespace platform {

std::string escapedText(std::string_view text, std::string_view alsoEscaped) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || alsoEscaped.find(c) != std::string_view::npos) {
            result += {'\\', c};
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (c == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            result += {'\\', 'x', digits[byte >> 4], digits[byte & 0x0F]};
        } else {
            result += c;
        }
    }
    return result;
}

std::optional<std::string> unescapedText(std::string_view text, std::string_view alsoEscaped) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '\\') {
            result += text[index];
            continue;
        }
        if (++index >= text.size()) {
            return std::nullopt;
        }
        const char c = text[index];
        if (c == '\\' || alsoEscaped.find(c) != std::string_view::npos) {
            result += c;
        } else if (c == 'n') {
            result += '\n';
        } else if (c == 'r') {
            result += '\r';
        } else if (c == 't') {
            result += '\t';
        } else if (c == 'x') {
            const int high = index + 1 < text.size() ? hexDigitValue(text[index + 1]) : -1;
            const int low = index + 2 < text.size() ? hexDigitValue(text[index + 2]) : -1;
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            result += static_cast<char>(high * 16 + low);
            index += 2;
        } else {
            return std::nullopt;
        }
    }
    return result;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace platform
