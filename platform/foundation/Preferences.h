#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

/// A user-preferences suite: typed values under text keys, kept in one file per suite so that several
/// processes (the application and the extension) share them. A handle holds only the file's location:
/// every read looks at the file afresh, so a value written by another process is seen at once, and every
/// write is a locked read-modify-write that replaces the file whole.
///
/// The files live in the folder named by TANDALO_PREFERENCES_DIR, or <config home>/tandalo when it is unset
/// or empty, one "<suite>.prefs" each, beside the "<suite>.prefs.lock" that writers hold with flock(). Reads
/// never fail: a missing, unreadable or damaged file reads as defaults (entries that cannot be read are
/// absent), and so does anything but a regular file (a link, a FIFO, a folder), which is logged and never
/// opened so as to block. Writes throw FoundationError when the file cannot be replaced, or when another
/// process keeps the lock for longer than lockLimit. Every member may be called from any thread; reads block
/// on file input, writes also on the lock.
class Preferences {
public:
    using Date = Clock::WallTime;
    using Value = std::variant<bool, std::int64_t, double, std::string, Date>;

    /// The largest file that is read; a larger one reads as empty and refuses writes, rather than being
    /// truncated to what could be read.
    static constexpr std::uintmax_t maximumFileSize = 4 * 1024 * 1024;
    /// How long a write waits for another process's lock before it gives up.
    static constexpr std::chrono::seconds lockLimit{5};

    /// The standard user preferences of this process: the suite named after the program.
    static Preferences standard(const Environment& environment = Environment::process());
    /// A named suite, such as an app group's. Nothing when the name cannot be a file name (empty, ".",
    /// "..", or holding "/" or NUL) or when no folder for the files can be found.
    static std::optional<Preferences> suite(std::string_view name,
                                            const Environment& environment = Environment::process());
    /// A suite whose file lives in the given folder. Nothing when the name cannot be a file name.
    static std::optional<Preferences> suite(std::string_view name, const std::filesystem::path& folder);

    const std::string& suiteName() const { return m_name; }
    const std::filesystem::path& filePath() const { return m_file; }
    /// The clock on which a write waits for the lock; the system's unless set.
    void setClock(Clock& clock) { m_clock = &clock; }

    /// The stored value of any type, or nothing.
    std::optional<Value> value(std::string_view key) const;
    /// The value when it is stored with that type; nothing when absent or of another type.
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::int64_t> integerValue(std::string_view key) const;
    std::optional<double> doubleValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    std::optional<Date> dateValue(std::string_view key) const;

    void set(std::string_view key, const Value& value);
    void setBool(std::string_view key, bool value) { set(key, Value(value)); }
    void setInteger(std::string_view key, std::int64_t value) { set(key, Value(value)); }
    void setDouble(std::string_view key, double value) { set(key, Value(value)); }
    void setString(std::string_view key, std::string_view value) { set(key, Value(std::string(value))); }
    void setDate(std::string_view key, Date value) { set(key, Value(value)); }
    /// Removes the entry; removing an absent key changes nothing and creates no file. Throws like set()
    /// when the file exists but cannot be read whole.
    void remove(std::string_view key);

private:
    Preferences(std::string name, std::filesystem::path folder);

    std::string m_name;
    std::filesystem::path m_folder; // empty when no folder could be found: reads give nothing
    std::filesystem::path m_file;
    Clock* m_clock = &Clock::system();
};

} // namespace platform
