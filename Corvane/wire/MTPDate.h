#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

/// The protocol's date-time texts: "YYYYMMDDThhmmss", optionally followed by a fraction (".5") and a zone
/// ("Z", "+hhmm" or "-hhmm"). Stateless.
namespace MTPDate {

/// The instant a date text names, or nothing when it is not a date. Without a zone, or with one that
/// does not read, the text is local time in the process's time zone (TZ). Fractions are ignored.
/// Out-of-range fields (month 13, 31 February, hour 24, second 60) make the text not a date: rolling
/// them over would invent a time that the device never meant. So does an instant that the system clock
/// cannot hold (roughly before 1678 or after 2262).
std::optional<std::chrono::system_clock::time_point> parse(std::string_view text);

/// The instant in UTC as "YYYYMMDDThhmmssZ", fractions of a second dropped, whatever the time zone.
std::string format(std::chrono::system_clock::time_point instant);

} // namespace MTPDate

} // namespace corvane
