#include "Corvane/wire/MTPDate.h"

#include "platform/foundation/Unicode.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace corvane::MTPDate {

namespace {

using namespace std::chrono;

constexpr std::size_t minimumLength = 15;
// The widest offset a time zone may have; beyond it the zone is not trusted and local time applies.
constexpr long maxZoneOffsetSeconds = 18 * 3600;

/// A fixed-width decimal field with an optional leading sign, as "+12" or "0042"; nothing otherwise.
std::optional<long> decimalField(const std::u32string& text, std::size_t position, std::size_t width) {
    long sign = 1;
    std::size_t index = position;
    const std::size_t end = position + width;
    if (text[index] == U'+' || text[index] == U'-') {
        sign = text[index] == U'-' ? -1 : 1;
        ++index;
    }
    if (index == end) {
        return std::nullopt;
    }
    long value = 0;
    for (; index < end; ++index) {
        const char32_t c = text[index];
        if (c < U'0' || c > U'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<long>(c - U'0');
    }
    return sign * value;
}

struct Fields {
    long year, month, day, hour, minute, second;
};

year_month_day dateOf(const Fields& f) {
    return year_month_day{year(static_cast<int>(f.year)), month(static_cast<unsigned>(f.month)),
                          day(static_cast<unsigned>(f.day))};
}

bool inRange(const Fields& f) {
    return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && dateOf(f).ok() && f.hour >= 0 &&
           f.hour <= 23 && f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 59;
}

std::optional<sys_seconds> fromUTC(const Fields& f, long offsetSeconds) {
    return sys_days(dateOf(f)) + hours(f.hour) + minutes(f.minute) + seconds(f.second) -
           seconds(offsetSeconds);
}

std::optional<sys_seconds> fromLocalTime(const Fields& f) {
    std::tm tm{};
    tm.tm_year = static_cast<int>(f.year - 1900);
    tm.tm_mon = static_cast<int>(f.month - 1);
    tm.tm_mday = static_cast<int>(f.day);
    tm.tm_hour = static_cast<int>(f.hour);
    tm.tm_min = static_cast<int>(f.minute);
    tm.tm_sec = static_cast<int>(f.second);
    tm.tm_isdst = -1;
    // mktime answers -1 both on failure and for 23:59:59 UTC on 31 December 1969; only a failure leaves
    // tm_wday untouched.
    tm.tm_wday = -1;
    const std::time_t result = std::mktime(&tm);
    if (result == static_cast<std::time_t>(-1) && tm.tm_wday == -1) {
        return std::nullopt;
    }
    return sys_seconds(seconds(result));
}

// The system clock counts nanoseconds in 64 bits, about 292 years either side of 1970; converting an
// instant outside that range would overflow.
bool representable(sys_seconds instant) {
    return instant >= ceil<seconds>(system_clock::time_point::min()) &&
           instant <= floor<seconds>(system_clock::time_point::max());
}

} // namespace

std::optional<system_clock::time_point> parse(std::string_view text) {
    // Positions count characters, not bytes; a multi-byte character among the fields fails them below.
    const std::u32string chars = platform::unicode::toCodePoints(text);
    if (chars.size() < minimumLength || chars[8] != U'T') {
        return std::nullopt;
    }
    const auto yearField = decimalField(chars, 0, 4);
    const auto monthField = decimalField(chars, 4, 2);
    const auto dayField = decimalField(chars, 6, 2);
    const auto hourField = decimalField(chars, 9, 2);
    const auto minuteField = decimalField(chars, 11, 2);
    const auto secondField = decimalField(chars, 13, 2);
    if (!yearField || !monthField || !dayField || !hourField || !minuteField || !secondField) {
        return std::nullopt;
    }
    const Fields fields{*yearField, *monthField, *dayField, *hourField, *minuteField, *secondField};
    if (!inRange(fields)) {
        return std::nullopt;
    }

    std::size_t position = minimumLength;
    if (position < chars.size() && chars[position] == U'.') {
        ++position;
        while (position < chars.size() && platform::unicode::isNumeric(chars[position])) {
            ++position;
        }
    }
    std::optional<long> offset; // nothing: the process's time zone
    if (position < chars.size()) {
        const char32_t zone = chars[position];
        if (zone == U'Z') {
            offset = 0;
        } else if ((zone == U'+' || zone == U'-') && chars.size() - position - 1 >= 4) {
            const auto zoneHours = decimalField(chars, position + 1, 2);
            const auto zoneMinutes = decimalField(chars, position + 3, 2);
            if (zoneHours && zoneMinutes) {
                const long zoneSeconds = (zone == U'-' ? -1 : 1) * (*zoneHours * 3600 + *zoneMinutes * 60);
                if (zoneSeconds >= -maxZoneOffsetSeconds && zoneSeconds <= maxZoneOffsetSeconds) {
                    offset = zoneSeconds;
                }
            }
        }
    }
    const auto instant = offset ? fromUTC(fields, *offset) : fromLocalTime(fields);
    if (!instant || !representable(*instant)) {
        return std::nullopt;
    }
    return time_point_cast<system_clock::duration>(*instant);
}

std::string format(system_clock::time_point instant) {
    const auto wholeSeconds = floor<seconds>(instant);
    const auto wholeDays = floor<days>(wholeSeconds);
    const year_month_day date(wholeDays);
    const hh_mm_ss time(wholeSeconds - wholeDays);
    std::array<char, 40> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer.data();
}

} // namespace corvane::MTPDate
