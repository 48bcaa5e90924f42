#include "platform/foundation/PreferencesFormat.h"

#include "platform/foundation/EscapedText.h"

#include <charconv>
#include <cstdio>

namespace platform {

namespace {

// A file is "key=type:value" lines, with "\\", "=", line breaks and control characters escaped in keys
// and texts, so that any key and any text fit on one line.
constexpr std::string_view fileHeader = "# Tandalo preferences: one key=type:value per line\n";

std::string escaped(std::string_view text) {
    return escapedText(text, "=");
}

std::optional<std::string> unescaped(std::string_view text) {
    return unescapedText(text, "=");
}

// Dates are written in UTC with nanoseconds, "2026-01-01T12:00:00.000000000Z", readable by people and
// exact for the clock's resolution.
std::string formattedDate(Preferences::Date date) {
    using namespace std::chrono;
    const auto exact = floor<nanoseconds>(date);
    const auto day = floor<days>(exact);
    const year_month_day ymd(day);
    const hh_mm_ss time(exact - day);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%09lldZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()), static_cast<long>(time.seconds().count()),
                  static_cast<long long>(time.subseconds().count()));
    return buffer;
}

bool readDigits(std::string_view& text, std::size_t count, int& value) {
    if (text.size() < count) {
        return false;
    }
    value = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const char c = text[index];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    text.remove_prefix(count);
    return true;
}

bool readCharacter(std::string_view& text, char expected) {
    if (text.empty() || text.front() != expected) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

std::optional<Preferences::Date> parsedDate(std::string_view text) {
    using namespace std::chrono;
    int yearValue = 0;
    int monthValue = 0;
    int dayValue = 0;
    int hourValue = 0;
    int minuteValue = 0;
    int secondValue = 0;
    if (!readDigits(text, 4, yearValue) || !readCharacter(text, '-') || !readDigits(text, 2, monthValue) ||
        !readCharacter(text, '-') || !readDigits(text, 2, dayValue) || !readCharacter(text, 'T') ||
        !readDigits(text, 2, hourValue) || !readCharacter(text, ':') || !readDigits(text, 2, minuteValue) ||
        !readCharacter(text, ':') || !readDigits(text, 2, secondValue)) {
        return std::nullopt;
    }
    long long fraction = 0;
    if (readCharacter(text, '.')) {
        std::size_t digits = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
            if (digits == 9) {
                return std::nullopt;
            }
            fraction = fraction * 10 + (text.front() - '0');
            text.remove_prefix(1);
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        for (; digits < 9; ++digits) {
            fraction *= 10;
        }
    }
    if (text != "Z") {
        return std::nullopt;
    }
    const year_month_day ymd{year(yearValue), month(static_cast<unsigned>(monthValue)),
                             day(static_cast<unsigned>(dayValue))};
    // The clock counts nanoseconds in 64 bits, which reaches from 1677 to 2262.
    if (!ymd.ok() || yearValue < 1678 || yearValue > 2261 || hourValue > 23 || minuteValue > 59 ||
        secondValue > 59) {
        return std::nullopt;
    }
    const auto exact = sys_days(ymd) + hours(hourValue) + minutes(minuteValue) + seconds(secondValue) +
                       nanoseconds(fraction);
    return time_point_cast<Preferences::Date::duration>(exact);
}

std::string formattedValue(const Preferences::Value& value) {
    if (const auto* flag = std::get_if<bool>(&value)) {
        return *flag ? "bool:true" : "bool:false";
    }
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        return "integer:" + std::to_string(*number);
    }
    if (const auto* number = std::get_if<double>(&value)) {
        char buffer[64];
        // The shortest text that reads back as the same double, independent of the C locale.
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, *number);
        return "double:" + std::string(buffer, result.ptr);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return "string:" + escaped(*text);
    }
    return "date:" + formattedDate(std::get<Preferences::Date>(value));
}

std::optional<Preferences::Value> parsedValue(std::string_view typed) {
    const auto colon = typed.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto type = typed.substr(0, colon);
    const auto text = typed.substr(colon + 1);
    if (type == "bool") {
        if (text == "true" || text == "false") {
            return Preferences::Value(text == "true");
        }
        return std::nullopt;
    }
    if (type == "integer") {
        std::int64_t number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return Preferences::Value(number);
    }
    if (type == "double") {
        double number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return Preferences::Value(number);
    }
    if (type == "string") {
        if (auto decoded = unescaped(text)) {
            return Preferences::Value(std::move(*decoded));
        }
        return std::nullopt;
    }
    if (type == "date") {
        if (const auto date = parsedDate(text)) {
            return Preferences::Value(*date);
        }
    }
    return std::nullopt;
}

} // namespace

PreferencesFormat::Entries PreferencesFormat::parse(std::string_view contents) {
    Entries entries;
    while (!contents.empty()) {
        const auto newline = contents.find('\n');
        auto line = contents.substr(0, newline);
        contents = newline == std::string_view::npos ? std::string_view() : contents.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::size_t equals = 0;
        while (equals < line.size() && line[equals] != '=') {
            equals += line[equals] == '\\' ? 2 : 1;
        }
        if (equals >= line.size()) {
            continue;
        }
        auto key = unescaped(line.substr(0, equals));
        auto value = parsedValue(line.substr(equals + 1));
        if (key && value) {
            entries.insert_or_assign(std::move(*key), std::move(*value));
        }
    }
    return entries;
}

std::string PreferencesFormat::serialise(const Entries& entries) {
    std::string text(fileHeader);
    for (const auto& [key, value] : entries) {
        auto line = escaped(key);
        // A key that begins with "#" would read back as a comment line.
        if (line.starts_with('#')) {
            line.replace(0, 1, "\\x23");
        }
        text += line;
        text += '=';
        text += formattedValue(value);
        text += '\n';
    }
    return text;
}

} // namespace platform
