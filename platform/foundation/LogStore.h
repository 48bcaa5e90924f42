#pragma once

#include "platform/foundation/Clock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

/// Our stand-in for the platform's unified log: loggers by subsystem and category, and a store that the
/// application's diagnostics read back.
namespace oslog {

/// The levels of the unified log, from the most verbose.
enum class LogLevel { debug, info, notice, error, fault };

/// The level's name as the mirror writes it ("info", "error").
std::string_view name(LogLevel level);

/// One log entry as it was written.
struct LogEntry {
    platform::Clock::WallTime date;
    LogLevel level = LogLevel::notice;
    std::string subsystem;
    std::string category;
    std::string message;
};

/// The process's log store: a bounded, thread-safe list of the most recent entries, stamped by the
/// injected clock's wall time, optionally copied line by line to a file or to standard error.
/// It owns its entries and the mirror's file descriptor.
class LogStore {
public:
    static constexpr std::size_t defaultCapacity = 20000;
    /// Longer messages are cut at a UTF-8 character boundary, so one runaway value cannot fill the store.
    static constexpr std::size_t maximumMessageLength = 8192;

    explicit LogStore(platform::Clock& clock = platform::Clock::system(),
                      std::size_t capacity = defaultCapacity);
    ~LogStore();
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    /// The store that loggers use unless they are given another: one per process, on the system clock.
    static LogStore& shared();

    /// Adds an entry, dropping the oldest one when the store is full. Any thread; blocks only for the
    /// store's lock and, when mirroring, for one write() of the line.
    void write(LogLevel level, std::string_view subsystem, std::string_view category, std::string message);

    /// Entries whose subsystem begins with the prefix and whose date lies in [from, to], oldest first.
    std::vector<LogEntry> entries(std::string_view subsystemPrefix, platform::Clock::WallTime from,
                                  platform::Clock::WallTime to) const;
    /// Entries of the last `window` of wall time, up to now, whose subsystem begins with the prefix.
    std::vector<LogEntry> recentEntries(std::string_view subsystemPrefix,
                                        platform::Clock::Duration window) const;

    /// Copies every later entry, as one line, to the end of the file (created when missing). Replaces any
    /// earlier mirror. Throws FoundationError when the file cannot be opened.
    void mirrorToFile(const std::filesystem::path& path);
    /// Copies every later entry, as one line, to standard error. Replaces any earlier mirror.
    void mirrorToStandardError();
    void stopMirroring();

    std::size_t capacity() const { return m_capacity; }
    /// How many entries were dropped to keep the store within its capacity.
    std::uint64_t droppedCount() const;

    /// The mirror's line for an entry: date (UTC, milliseconds), level, subsystem[category], message, and a
    /// line feed. Line breaks inside the message are written as "\n" so that one entry stays one line.
    static std::string formatLine(const LogEntry& entry);
    /// The message with its line breaks written as "\n" and "\r", so that one entry stays one line.
    static std::string singleLine(std::string_view message);

private:
    struct Mirror;

    platform::Clock& m_clock;
    const std::size_t m_capacity;
    mutable std::mutex m_mutex; // guards m_entries, m_dropped, m_mirror; never held across a write()
    std::deque<LogEntry> m_entries;
    std::uint64_t m_dropped = 0;
    std::shared_ptr<const Mirror> m_mirror;
};

} // namespace oslog
