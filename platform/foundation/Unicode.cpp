#include "platform/foundation/Unicode.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <new>
#include <stdexcept>

namespace platform::unicode {

namespace {

icu::UnicodeString fromUTF8(std::string_view text) {
    // fromUTF8 substitutes U+FFFD for each ill-formed sequence.
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    // toUTF8String substitutes U+FFFD for unpaired surrogates.
    std::string result;
    text.toUTF8String(result);
    return result;
}

const icu::Normalizer2& loadNormalizer(bool compose) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* instance =
        compose ? icu::Normalizer2::getNFCInstance(status) : icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status) || instance == nullptr) {
        // Only a broken ICU installation (missing data) gets here.
        throw std::runtime_error(std::string("ICU normaliser unavailable: ") + u_errorName(status));
    }
    return *instance;
}

// ICU's lazy loading of its normalisers is guarded by ICU's own atomics; taking each instance once through
// a function-local static gives every thread a happens-before edge that the language (and the thread
// sanitizer) can see.
const icu::Normalizer2& normalizer(bool compose) {
    static const icu::Normalizer2& nfc = loadNormalizer(true);
    static const icu::Normalizer2& nfd = loadNormalizer(false);
    return compose ? nfc : nfd;
}

std::string normalize(std::string_view text, bool compose) {
    const icu::Normalizer2& n = normalizer(compose);
    const icu::UnicodeString source = fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    if (n.isNormalized(source, status) && U_SUCCESS(status)) {
        return toUTF8(source);
    }
    status = U_ZERO_ERROR;
    const icu::UnicodeString result = n.normalize(source, status);
    if (U_FAILURE(status)) {
        if (status == U_MEMORY_ALLOCATION_ERROR) {
            throw std::bad_alloc();
        }
        throw std::runtime_error(std::string("ICU normalisation failed: ") + u_errorName(status));
    }
    return toUTF8(result);
}

// ICU lengths are 32-bit; longer inputs are far beyond any name or path the system handles.
void checkLength(std::size_t size) {
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        throw std::length_error("text too long for Unicode processing");
    }
}

} // namespace

std::string fromUTF16(std::span<const char16_t> units) {
    checkLength(units.size());
    return toUTF8(icu::UnicodeString(units.data(), static_cast<std::int32_t>(units.size())));
}

std::u16string toUTF16(std::string_view text) {
    checkLength(text.size());
    const icu::UnicodeString converted = fromUTF8(text);
    return std::u16string(converted.getBuffer(), static_cast<std::size_t>(converted.length()));
}

std::u32string toCodePoints(std::string_view text) {
    checkLength(text.size());
    std::u32string result;
    result.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t index = 0;
    while (index < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, index, length, c);
        result.push_back(c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
    }
    return result;
}

bool isValidUTF8(std::string_view text) {
    checkLength(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t index = 0;
    while (index < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, index, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

bool isNumeric(char32_t codePoint) {
    return u_getIntPropertyValue(static_cast<UChar32>(codePoint), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

std::string nfc(std::string_view text) {
    checkLength(text.size());
    return normalize(text, true);
}

std::string nfd(std::string_view text) {
    checkLength(text.size());
    return normalize(text, false);
}

std::string canonicalKey(std::string_view text) {
    if (!isValidUTF8(text)) {
        return std::string(text);
    }
    return nfd(text);
}

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
    return a == b || canonicalKey(a) == canonicalKey(b);
}

std::string foldCase(std::string_view text) {
    checkLength(text.size());
    icu::UnicodeString converted = fromUTF8(text);
    converted.foldCase(U_FOLD_CASE_DEFAULT);
    return toUTF8(converted);
}

std::string lowercased(std::string_view text) {
    checkLength(text.size());
    icu::UnicodeString converted = fromUTF8(text);
    converted.toLower(icu::Locale::getRoot());
    return toUTF8(converted);
}

} // namespace platform::unicode
