#pragma once

#include <span>
#include <string>
#include <string_view>

/// Unicode conversion, canonical normalisation and case folding, on ICU. Texts are UTF-8 in std::string
/// everywhere in the system; UTF-16 appears only at the wire. Every function is thread-safe.
namespace platform::unicode {

/// UTF-16 to UTF-8. Devices send what they like, so decoding never fails: an unpaired surrogate or any
/// other invalid unit becomes U+FFFD. NUL units are kept as NUL characters.
std::string fromUTF16(std::span<const char16_t> units);

/// UTF-8 to UTF-16. Each invalid UTF-8 sequence becomes U+FFFD.
std::u16string toUTF16(std::string_view text);

/// UTF-8 to code points. Each invalid UTF-8 sequence becomes U+FFFD.
std::u32string toCodePoints(std::string_view text);

/// Whether the text is well-formed UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
bool isValidUTF8(std::string_view text);

/// Whether the code point has a numeric type (decimal digits, other digits, numeric characters).
bool isNumeric(char32_t codePoint);

/// Canonical composition (NFC) and decomposition (NFD). Invalid UTF-8 sequences become U+FFFD.
std::string nfc(std::string_view text);
std::string nfd(std::string_view text);

/// A key for hash maps and sets of names: two texts have the same key exactly when
/// canonicallyEquivalent() holds for them. Text that is not valid UTF-8 is its own key, byte for byte, so
/// that two different malformed names never share a key (mapping both to U+FFFD would merge them).
std::string canonicalKey(std::string_view text);

/// Whether the two texts are canonically equivalent ("é" precomposed equals "e" + U+0301). Texts that are
/// not valid UTF-8 are equivalent only to the same bytes.
bool canonicallyEquivalent(std::string_view a, std::string_view b);

/// Full default case folding ("Straße" and "STRASSE" fold alike). Invalid UTF-8 sequences become U+FFFD.
std::string foldCase(std::string_view text);

/// Lower case by the language-neutral rules ("ÄB" gives "äb"), as serial numbers are compared. Invalid
/// UTF-8 sequences become U+FFFD.
std::string lowercased(std::string_view text);

} // namespace platform::unicode
