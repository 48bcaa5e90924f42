#include "Corvane/usb/DeviceName.h"

#include "Corvane/usb/TextMatching.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace corvane::DeviceName {

namespace {

using Text = std::u32string;

bool isSeparator(char32_t c) {
    return text::isPatternSpace(c) || c == U'_' || c == U'-';
}

bool foldsTo(char32_t c, char32_t lower) {
    return text::folded(c) == lower;
}

// C0, DEL and C1: a phone's names may carry any of them (an escape sequence, a bell, a newline), and none
// may reach a terminal, a folder name or a line of text unreplaced.
bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Each run of them becomes one blank: "\r\n" or an escape and a bell are one gap, not two.
Text withoutControls(const Text& s) {
    Text out;
    bool inRun = false;
    for (const char32_t c : s) {
        if (!isControl(c)) {
            out.push_back(c);
        } else if (!inRun) {
            out.push_back(U' ');
        }
        inRun = isControl(c);
    }
    return out;
}

bool isLineTerminator(char32_t c) {
    return c == U'\n' || c == U'\r' || c == 0x0B || c == U'\f' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Replaces every non-overlapping match with one space, left to right. `matchAt(text, start)` gives the
// end of a match that begins exactly at `start`, or nothing.
template <typename Matcher> Text replaceMatches(const Text& input, Matcher matchAt) {
    Text out;
    std::size_t position = 0;
    std::size_t copied = 0;
    while (position < input.size()) {
        if (const auto end = matchAt(input, position)) {
            out.append(input, copied, position - copied);
            out.push_back(U' ');
            position = *end;
            copied = *end;
        } else {
            ++position;
        }
    }
    out.append(input, copied, Text::npos);
    return out;
}

// Tries the two alternatives of "(^|[\s_\-])" at `start` and hands the position after them to `body`.
template <typename Body>
std::optional<std::size_t> afterLeadingSeparator(const Text& s, std::size_t start, Body body) {
    if (start == 0) {
        if (const auto end = body(s, 0)) {
            return end;
        }
    }
    if (start < s.size() && isSeparator(s[start])) {
        return body(s, start + 1);
    }
    return std::nullopt;
}

// "S/?N\b[\s:=#]*[A-Za-z0-9]*" (case-insensitive) at q: an SN or S/N tag, its separators and its value.
std::optional<std::size_t> serialTagAt(const Text& s, std::size_t q) {
    if (q >= s.size() || !foldsTo(s[q], U's')) {
        return std::nullopt;
    }
    ++q;
    if (q < s.size() && s[q] == U'/') {
        ++q;
    }
    if (q >= s.size() || !foldsTo(s[q], U'n')) {
        return std::nullopt;
    }
    ++q;
    if (q < s.size() && text::isWordCharacter(s[q])) {
        return std::nullopt; // no word boundary: "SNOW", "SN_1"
    }
    while (q < s.size() && (text::isPatternSpace(s[q]) || s[q] == U':' || s[q] == U'=' || s[q] == U'#')) {
        ++q;
    }
    while (q < s.size()) {
        const char32_t c = text::folded(s[q]);
        if (!((c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9'))) {
            break;
        }
        ++q;
    }
    return q;
}

// "(MTP|PTP)(?=$|[\s_\-])" (case-insensitive) at q.
std::optional<std::size_t> protocolWordAt(const Text& s, std::size_t q) {
    if (q + 3 > s.size()) {
        return std::nullopt;
    }
    const char32_t first = text::folded(s[q]);
    if (!((first == U'm' || first == U'p') && foldsTo(s[q + 1], U't') && foldsTo(s[q + 2], U'p'))) {
        return std::nullopt;
    }
    const std::size_t end = q + 3;
    const std::size_t left = s.size() - end;
    // $ also matches before a line terminator that ends the text.
    const bool atEnd = left == 0 || (left == 1 && isLineTerminator(s[end])) ||
                       (left == 2 && s[end] == U'\r' && s[end + 1] == U'\n');
    if (!atEnd && !isSeparator(s[end])) {
        return std::nullopt;
    }
    return end;
}

// Removes every occurrence of the serial number, which phones often glue to the model ("PhoneR58N123").
// A serial of one character is removed only where it stands as a token of its own: it would otherwise cut
// that letter or digit out of every word of the product name.
Text removeSerial(const Text& product, const Text& serial) {
    if (serial.empty()) {
        return product;
    }
    Text foldedSerial;
    for (const char32_t c : serial) {
        foldedSerial.push_back(text::folded(c));
    }
    return replaceMatches(product, [&](const Text& s, std::size_t start) -> std::optional<std::size_t> {
        if (start + foldedSerial.size() > s.size()) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < foldedSerial.size(); ++i) {
            if (text::folded(s[start + i]) != foldedSerial[i]) {
                return std::nullopt;
            }
        }
        const std::size_t end = start + foldedSerial.size();
        if (foldedSerial.size() == 1) {
            const bool tokenStart = start == 0 || !text::isLetterOrDigit(s[start - 1]);
            const bool tokenEnd = end == s.size() || !text::isLetterOrDigit(s[end]);
            if (!tokenStart || !tokenEnd) {
                return std::nullopt;
            }
        }
        return end;
    });
}

Text collapseSpaces(const Text& s) {
    Text out;
    bool inSpace = false;
    for (const char32_t c : s) {
        if (text::isPatternSpace(c)) {
            if (!inSpace) {
                out.push_back(U' ');
            }
            inSpace = true;
        } else {
            out.push_back(c);
            inSpace = false;
        }
    }
    return out;
}

template <typename Trimmed> Text trim(const Text& s, Trimmed trimmed) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && trimmed(s[begin])) {
        ++begin;
    }
    while (end > begin && trimmed(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

} // namespace

std::string printable(std::string_view text) {
    return text::utf8(withoutControls(text::codePoints(text)));
}

std::string clean(std::string_view product, std::string_view vendor, std::string_view serial) {
    Text name = withoutControls(removeSerial(text::codePoints(product), text::codePoints(serial)));
    name = replaceMatches(
        name, [](const Text& s, std::size_t start) { return afterLeadingSeparator(s, start, serialTagAt); });
    name = replaceMatches(name, [](const Text& s, std::size_t start) {
        return afterLeadingSeparator(s, start, protocolWordAt);
    });
    std::replace_if(
        name.begin(), name.end(), [](char32_t c) { return c == U'_' || c == U':' || c == U'/'; }, U' ');
    name = collapseSpaces(name);
    name = trim(name, [](char32_t c) {
        return c == U' ' || c == U'-' || c == U'.' || text::isWhitespaceOrNewline(c);
    });
    const std::string cleaned = text::utf8(name);

    Text vendorText = withoutControls(text::codePoints(vendor));
    std::replace(vendorText.begin(), vendorText.end(), U'_', U' ');
    const std::string cleanVendor = text::utf8(trim(vendorText, text::isWhitespaceOrNewline));

    if (cleaned.empty()) {
        return cleanVendor.empty() ? "Android device" : cleanVendor + " device";
    }
    if (cleaned.find(' ') != std::string::npos || cleaned != text::upperCased(cleaned)) {
        return cleaned;
    }
    // One upper-case word, such as a model number: the maker's name makes it recognisable.
    if (text::characterCount(cleaned) < 13 && !cleanVendor.empty() &&
        !text::containsIgnoringCase(cleaned, cleanVendor)) {
        return cleanVendor + " " + cleaned;
    }
    return cleaned;
}

} // namespace corvane::DeviceName
