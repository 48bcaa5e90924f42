#pragma once

#include "platform/foundation/LogStore.h"

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace oslog {

/// One value for a log format: text, a signed or unsigned integer, or a floating-point number.
/// It refers to the caller's text and lives only for the duration of the logging call.
class LogArgument {
public:
    /// Texts: std::string, std::string_view, literals. Pointers go through the C-string constructor.
    template <typename T>
    requires(std::convertible_to<const T&, std::string_view> && !std::is_pointer_v<T>)
        LogArgument(const T& text)
        : m_value(std::string_view(text)) {}
    /// A null C string is logged as "(null)" rather than read.
    LogArgument(const char* text)
        : m_value(text != nullptr ? std::string_view(text) : std::string_view("(null)")) {}
    template <std::signed_integral T> LogArgument(T number) : m_value(static_cast<std::int64_t>(number)) {}
    template <std::unsigned_integral T> LogArgument(T number) : m_value(static_cast<std::uint64_t>(number)) {}
    LogArgument(bool flag) : m_value(static_cast<std::int64_t>(flag ? 1 : 0)) {}
    template <std::floating_point T> LogArgument(T number) : m_value(static_cast<double>(number)) {}

    using Value = std::variant<std::string_view, std::int64_t, std::uint64_t, double>;
    const Value& value() const { return m_value; }

private:
    Value m_value;
};

/// Formats a message the way the unified log does: printf conversions (%s %d %ld %u %x %f %.1f %c %@ %%)
/// with the privacy modifiers %{public} and %{private}. A private value is shown as "<private>". The
/// format never reads past its arguments: a missing one is shown as "<missing>", and a value of another
/// kind than its conversion asks for is shown as well as it can be (a number for %s is written in decimal).
std::string formatLogMessage(std::string_view format, std::span<const LogArgument> arguments);

/// A handle on the log for one subsystem and category, cheap to copy and safe to use from any thread.
/// Dynamic values go in as arguments of the format: log.info("mount %{public}s at %{public}s", a, b).
class Logger {
public:
    Logger(std::string subsystem, std::string category, LogStore& store = LogStore::shared());

    const std::string& subsystem() const { return m_subsystem; }
    const std::string& category() const { return m_category; }

    template <typename... Args> void log(LogLevel level, std::string_view format, const Args&... args) const {
        const std::array<LogArgument, sizeof...(Args)> arguments{LogArgument(args)...};
        write(level, format, arguments);
    }
    template <typename... Args> void debug(std::string_view format, const Args&... args) const {
        log(LogLevel::debug, format, args...);
    }
    template <typename... Args> void info(std::string_view format, const Args&... args) const {
        log(LogLevel::info, format, args...);
    }
    template <typename... Args> void notice(std::string_view format, const Args&... args) const {
        log(LogLevel::notice, format, args...);
    }
    template <typename... Args> void error(std::string_view format, const Args&... args) const {
        log(LogLevel::error, format, args...);
    }
    template <typename... Args> void fault(std::string_view format, const Args&... args) const {
        log(LogLevel::fault, format, args...);
    }

private:
    void write(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const;

    std::string m_subsystem;
    std::string m_category;
    LogStore* m_store;
};

/// Writes the text to standard error in as few write() calls as the system allows, so that lines from
/// several threads do not interleave inside a line. Errors are ignored: there is nowhere left to report them.
void writeToStandardError(std::string_view text);

} // namespace oslog
