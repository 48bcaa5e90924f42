#include "platform/foundation/Logger.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <unistd.h>

namespace oslog {

namespace {

// Bounds for widths and precisions written in a format, so a typo cannot ask for a gigabyte of padding.
constexpr std::size_t maximumFieldWidth = 1024;

struct Conversion {
    bool isPrivate = false;
    std::string flags;
    std::size_t width = 0;
    std::optional<std::size_t> precision;
    char specifier = 0;
};

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::size_t readNumber(std::string_view format, std::size_t& index) {
    std::size_t number = 0;
    while (index < format.size() && isDigit(format[index])) {
        number = std::min(number * 10 + static_cast<std::size_t>(format[index] - '0'), maximumFieldWidth);
        ++index;
    }
    return number;
}

// Reads "{public}", "{private}" or a list such as "{public, name}"; unknown words are ignored as the
// unified log ignores modifiers it does not know.
bool readPrivacy(std::string_view format, std::size_t& index) {
    if (index >= format.size() || format[index] != '{') {
        return false;
    }
    const auto close = format.find('}', index);
    if (close == std::string_view::npos) {
        return false;
    }
    const auto modifiers = format.substr(index + 1, close - index - 1);
    index = close + 1;
    return modifiers.find("private") != std::string_view::npos;
}

// printf with a format that this file builds itself from a parsed conversion, so it holds exactly one
// conversion of the type passed.
template <typename T> std::string printfOne(const std::string& format, T value) {
    const int size = std::snprintf(nullptr, 0, format.c_str(), value);
    if (size <= 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(result.data(), result.size(), format.c_str(), value);
    result.resize(static_cast<std::size_t>(size));
    return result;
}

std::string printfFormat(const Conversion& conversion, std::string_view length, char specifier) {
    std::string format = "%" + conversion.flags;
    if (conversion.width > 0) {
        format += std::to_string(conversion.width);
    }
    if (conversion.precision) {
        format += '.' + std::to_string(*conversion.precision);
    }
    format += length;
    format += specifier;
    return format;
}

std::string pad(std::string text, const Conversion& conversion) {
    if (text.size() >= conversion.width) {
        return text;
    }
    const std::string padding(conversion.width - text.size(), ' ');
    return conversion.flags.find('-') != std::string::npos ? text + padding : padding + text;
}

std::string formatText(std::string_view text, const Conversion& conversion) {
    if (conversion.precision && *conversion.precision < text.size()) {
        text = text.substr(0, *conversion.precision);
    }
    return pad(std::string(text), conversion);
}

std::string asText(const LogArgument::Value& value) {
    if (const auto* text = std::get_if<std::string_view>(&value)) {
        return std::string(*text);
    }
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        return std::to_string(*number);
    }
    if (const auto* number = std::get_if<std::uint64_t>(&value)) {
        return std::to_string(*number);
    }
    return printfOne("%g", std::get<double>(value));
}

std::string formatArgument(const Conversion& conversion, const LogArgument::Value& value) {
    switch (conversion.specifier) {
    case 's':
    case '@':
        return formatText(asText(value), conversion);
    case 'd':
    case 'i':
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            return printfOne(printfFormat(conversion, "ll", 'd'), static_cast<long long>(*number));
        }
        if (const auto* number = std::get_if<std::uint64_t>(&value)) {
            return printfOne(printfFormat(conversion, "ll", 'u'), static_cast<unsigned long long>(*number));
        }
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (const auto* number = std::get_if<std::uint64_t>(&value)) {
            return printfOne(printfFormat(conversion, "ll", conversion.specifier),
                             static_cast<unsigned long long>(*number));
        }
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            // printf reinterprets a negative value as its two's complement; so does this.
            return printfOne(printfFormat(conversion, "ll", conversion.specifier),
                             static_cast<unsigned long long>(*number));
        }
        break;
    case 'c':
        if (const auto* number = std::get_if<std::int64_t>(&value); number && *number > 0 && *number < 128) {
            return pad(std::string(1, static_cast<char>(*number)), conversion);
        }
        if (const auto* number = std::get_if<std::uint64_t>(&value); number && *number > 0 && *number < 128) {
            return pad(std::string(1, static_cast<char>(*number)), conversion);
        }
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
        double number = 0;
        if (const auto* real = std::get_if<double>(&value)) {
            number = *real;
        } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
            number = static_cast<double>(*integer);
        } else if (const auto* integer = std::get_if<std::uint64_t>(&value)) {
            number = static_cast<double>(*integer);
        } else {
            break;
        }
        return printfOne(printfFormat(conversion, "", conversion.specifier), number);
    }
    default:
        break;
    }
    // Doubles for integer conversions, texts for number conversions: show the value as it is rather than
    // guess a conversion.
    return formatText(asText(value), Conversion{});
}

bool isSpecifier(char c) {
    return std::string_view("sdiuxXocfFeEgGaA@").find(c) != std::string_view::npos;
}

bool isLengthModifier(char c) {
    return std::string_view("hlqLjzt").find(c) != std::string_view::npos;
}

} // namespace

std::string formatLogMessage(std::string_view format, std::span<const LogArgument> arguments) {
    std::string message;
    message.reserve(format.size());
    std::size_t next = 0;
    std::size_t index = 0;
    while (index < format.size()) {
        const char c = format[index];
        if (c != '%') {
            message += c;
            ++index;
            continue;
        }
        const std::size_t start = index++;
        if (index < format.size() && format[index] == '%') {
            message += '%';
            ++index;
            continue;
        }
        Conversion conversion;
        conversion.isPrivate = readPrivacy(format, index);
        while (index < format.size() && isFlag(format[index])) {
            conversion.flags += format[index++];
        }
        conversion.width = readNumber(format, index);
        if (index < format.size() && format[index] == '.') {
            ++index;
            conversion.precision = readNumber(format, index);
        }
        while (index < format.size() && isLengthModifier(format[index])) {
            ++index;
        }
        if (index >= format.size() || !isSpecifier(format[index])) {
            // Not a conversion we know: keep the text as written and consume no argument.
            message += format.substr(start, index - start);
            continue;
        }
        conversion.specifier = format[index++];
        if (next >= arguments.size()) {
            message += "<missing>";
            continue;
        }
        const auto& value = arguments[next++].value();
        message += conversion.isPrivate ? std::string("<private>") : formatArgument(conversion, value);
    }
    return message;
}

Logger::Logger(std::string subsystem, std::string category, LogStore& store)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category)), m_store(&store) {}

void Logger::write(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const {
    m_store->write(level, m_subsystem, m_category, formatLogMessage(format, arguments));
}

void writeToStandardError(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace oslog
