#include "platform/foundation/LogStore.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace oslog {

namespace {

// Cuts a message to at most `limit` bytes without splitting a UTF-8 sequence, and marks the cut.
void truncateMessage(std::string& message, std::size_t limit) {
    if (message.size() <= limit) {
        return;
    }
    constexpr std::string_view marker = "…";
    std::size_t end = limit - marker.size();
    // Step back over continuation bytes (10xxxxxx) to the start of the character that would be split.
    while (end > 0 && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) {
        --end;
    }
    message.resize(end);
    message += marker;
}

std::string formatDate(platform::Clock::WallTime date) {
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(date);
    const auto day = floor<days>(milliseconds);
    const year_month_day ymd(day);
    const hh_mm_ss time(milliseconds - day);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02ld:%02ld:%02ld.%03ldZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()), static_cast<long>(time.seconds().count()),
                  static_cast<long>(time.subseconds().count()));
    return buffer;
}

} // namespace

std::string_view name(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::notice:
        return "notice";
    case LogLevel::error:
        return "error";
    case LogLevel::fault:
        return "fault";
    }
    return "unknown";
}

/// Where mirrored lines go: a file the store opened, or standard error when it holds no descriptor.
struct LogStore::Mirror {
    platform::UniqueFd file;
};

LogStore::LogStore(platform::Clock& clock, std::size_t capacity)
    : m_clock(clock), m_capacity(std::max<std::size_t>(capacity, 1)) {}

LogStore::~LogStore() = default;

LogStore& LogStore::shared() {
    // Never destroyed: objects destroyed at exit may still log, and must not find the store gone.
    static LogStore* const store = new LogStore();
    return *store;
}

void LogStore::write(LogLevel level, std::string_view subsystem, std::string_view category,
                     std::string message) {
    truncateMessage(message, maximumMessageLength);
    std::shared_ptr<const Mirror> mirror;
    std::string line;
    {
        std::lock_guard guard(m_mutex);
        // The date is taken under the lock so that entries are stored in the order of their dates.
        LogEntry entry{m_clock.wallNow(), level, std::string(subsystem), std::string(category),
                       std::move(message)};
        if (m_mirror) {
            mirror = m_mirror;
            line = formatLine(entry);
        }
        if (m_entries.size() >= m_capacity) {
            m_entries.pop_front();
            ++m_dropped;
        }
        m_entries.push_back(std::move(entry));
    }
    if (!mirror) {
        return;
    }
    if (!mirror->file) {
        writeToStandardError(line);
        return;
    }
    // One write() per line: with O_APPEND, lines of several threads and processes stay whole.
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(mirror->file.get(), rest.data(), rest.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // A full disk must not stop the program; the entry is still in the store.
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::vector<LogEntry> LogStore::entries(std::string_view subsystemPrefix, platform::Clock::WallTime from,
                                        platform::Clock::WallTime to) const {
    std::vector<LogEntry> result;
    std::lock_guard guard(m_mutex);
    for (const auto& entry : m_entries) {
        if (entry.date >= from && entry.date <= to && entry.subsystem.starts_with(subsystemPrefix)) {
            result.push_back(entry);
        }
    }
    return result;
}

std::vector<LogEntry> LogStore::recentEntries(std::string_view subsystemPrefix,
                                              platform::Clock::Duration window) const {
    const auto now = m_clock.wallNow();
    const auto span = std::chrono::duration_cast<platform::Clock::WallTime::duration>(window);
    const auto from = span < now.time_since_epoch() ? now - span : platform::Clock::WallTime::min();
    return entries(subsystemPrefix, from, now);
}

void LogStore::mirrorToFile(const std::filesystem::path& path) {
    platform::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!file) {
        throw platform::FoundationError::fromErrno("open", errno, path.string());
    }
    auto mirror = std::make_shared<Mirror>();
    mirror->file = std::move(file);
    std::shared_ptr<const Mirror> previous;
    {
        std::lock_guard guard(m_mutex);
        previous = std::exchange(m_mirror, std::move(mirror));
    }
    // `previous` closes its file here, outside the lock: closing may log, and logging takes the lock.
}

void LogStore::mirrorToStandardError() {
    std::shared_ptr<const Mirror> previous;
    std::lock_guard guard(m_mutex);
    previous = std::exchange(m_mirror, std::make_shared<Mirror>());
    // Released after the guard, in reverse order of declaration.
}

void LogStore::stopMirroring() {
    std::shared_ptr<const Mirror> previous;
    std::lock_guard guard(m_mutex);
    previous = std::exchange(m_mirror, nullptr);
}

std::uint64_t LogStore::droppedCount() const {
    std::lock_guard guard(m_mutex);
    return m_dropped;
}

std::string LogStore::formatLine(const LogEntry& entry) {
    std::string line = formatDate(entry.date);
    line += ' ';
    line += name(entry.level);
    line += ' ';
    line += entry.subsystem;
    line += '[';
    line += entry.category;
    line += "] ";
    line += singleLine(entry.message);
    line += '\n';
    return line;
}

std::string LogStore::singleLine(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (const char c : message) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            line += c;
        }
    }
    return line;
}

} // namespace oslog
