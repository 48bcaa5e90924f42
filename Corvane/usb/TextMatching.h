#pragma once

// Small Unicode helpers for device names: the character classes and case rules that the name cleaning
// and the candidate checks need, on ICU. Internal to corvane_usb.

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::text {

/// UTF-8 to code points and back; invalid UTF-8 becomes U+FFFD.
std::u32string codePoints(std::string_view text);
std::string utf8(std::u32string_view codePoints);

/// Full Unicode case mapping, independent of the user's locale.
std::string upperCased(std::string_view text);
std::string lowerCased(std::string_view text);

/// Whether `part` occurs in `text`, ignoring case (full case folding).
bool containsIgnoringCase(std::string_view text, std::string_view part);

/// User-perceived characters (extended grapheme clusters).
std::size_t characterCount(std::string_view text);

/// The simple case folding of one code point: what case-insensitive matching compares.
char32_t folded(char32_t codePoint);

/// \s of the regular-expression engines we follow: tab, line feed, form feed, carriage return and the
/// separators (spaces, line and paragraph separators).
bool isPatternSpace(char32_t codePoint);
/// \w of the same engines: letters, marks, decimal digits, connector punctuation, ZWNJ and ZWJ.
bool isWordCharacter(char32_t codePoint);
/// Letters and digits: what a token is made of.
bool isLetterOrDigit(char32_t codePoint);
/// White space and newlines, as trimmed from the ends of names.
bool isWhitespaceOrNewline(char32_t codePoint);

} // namespace corvane::text
