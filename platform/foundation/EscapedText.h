#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The text written so that it fits one field of one line: a backslash, line breaks, tabs and the other
/// control characters become "\\", "\n", "\r", "\t" and "\xHH", and each character of alsoEscaped gets a
/// backslash before it (a separator of the caller's format).
std::string escapedText(std::string_view text, std::string_view alsoEscaped = {});

/// The text that escapedText wrote with the same alsoEscaped, or nothing when an escape is cut short or
/// unknown.
std::optional<std::string> unescapedText(std::string_view text, std::string_view alsoEscaped = {});

/// The value of one hexadecimal digit of either case, or -1.
int hexDigitValue(char c);

} // namespace platform
