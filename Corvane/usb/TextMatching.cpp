#include "Corvane/usb/TextMatching.h"

#include "platform/foundation/Unicode.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace corvane::text {

namespace {

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::UnicodeString fromUTF8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

} // namespace

std::u32string codePoints(std::string_view text) {
    return platform::unicode::toCodePoints(text);
}

std::string utf8(std::u32string_view codePoints) {
    icu::UnicodeString text;
    for (const char32_t codePoint : codePoints) {
        text.append(static_cast<UChar32>(codePoint));
    }
    return toUTF8(text);
}

std::string upperCased(std::string_view text) {
    return toUTF8(fromUTF8(text).toUpper(icu::Locale::getRoot()));
}

std::string lowerCased(std::string_view text) {
    return toUTF8(fromUTF8(text).toLower(icu::Locale::getRoot()));
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return platform::unicode::foldCase(text).find(platform::unicode::foldCase(part)) != std::string::npos;
}

std::size_t characterCount(std::string_view text) {
    const icu::UnicodeString unicode = fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        return static_cast<std::size_t>(unicode.countChar32()); // no break data: code points come closest
    }
    breaks->setText(unicode);
    std::size_t count = 0;
    for (std::int32_t position = breaks->next(); position != icu::BreakIterator::DONE;
         position = breaks->next()) {
        ++count;
    }
    return count;
}

char32_t folded(char32_t codePoint) {
    return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(codePoint), U_FOLD_CASE_DEFAULT));
}

bool isPatternSpace(char32_t codePoint) {
    if (codePoint == U'\t' || codePoint == U'\n' || codePoint == U'\f' || codePoint == U'\r') {
        return true;
    }
    const auto mask = U_GET_GC_MASK(static_cast<UChar32>(codePoint));
    return (mask & U_GC_Z_MASK) != 0;
}

bool isWordCharacter(char32_t codePoint) {
    const auto c = static_cast<UChar32>(codePoint);
    if (codePoint == 0x200C || codePoint == 0x200D) {
        return true;
    }
    const auto mask = U_GET_GC_MASK(c);
    return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
           (mask & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
}

bool isLetterOrDigit(char32_t codePoint) {
    return u_isalnum(static_cast<UChar32>(codePoint)) != 0;
}

bool isWhitespaceOrNewline(char32_t codePoint) {
    return u_isUWhiteSpace(static_cast<UChar32>(codePoint)) != 0;
}

} // namespace corvane::text
