#include "platform/foundation/Preferences.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/PreferencesFormat.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/XDGFolders.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

using Entries = PreferencesFormat::Entries;

constexpr std::string_view fileExtension = ".prefs";
constexpr std::chrono::milliseconds lockPoll{5};

// --- Files. ---

// Opens the file without following a link and without blocking (a FIFO put in its place would hang the
// open until someone writes to it, with the suite's lock held), and accepts a regular file only. Nothing
// when the file does not exist and flags do not create it.
UniqueFd openRegularFile(const std::filesystem::path& file, int flags, mode_t mode = 0) {
    UniqueFd fd(::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode));
    if (!fd) {
        if (errno == ENOENT && (flags & O_CREAT) == 0) {
            return fd;
        }
        if (errno == ELOOP) {
            throw FoundationError("a link stands in place of the file " + file.string(), ELOOP);
        }
        throw FoundationError::fromErrno("open", errno, file.string());
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw FoundationError::fromErrno("fstat", errno, file.string());
    }
    if (!S_ISREG(status.st_mode)) {
        throw FoundationError("not a regular file: " + file.string(), EINVAL);
    }
    return fd;
}

// The file's contents; "" when it does not exist. Throws FoundationError when it exists but cannot be
// read whole.
std::string readContents(const std::filesystem::path& file) {
    const auto fd = openRegularFile(file, O_RDONLY);
    if (!fd) {
        return {};
    }
    std::string contents;
    char buffer[65536];
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw FoundationError::fromErrno("read", errno, file.string());
        }
        if (count == 0) {
            return contents;
        }
        contents.append(buffer, static_cast<std::size_t>(count));
        // Checked while reading, not from fstat: the file may grow while it is read.
        if (contents.size() > Preferences::maximumFileSize) {
            throw FoundationError("preferences file too large: " + file.string(), EFBIG);
        }
    }
}

// Each file's refusal is logged once per reason, not at every read of a value that is polled.
void reportUnreadable(const std::filesystem::path& file, const FoundationError& error) {
    static std::mutex reportedLock;
    static std::set<std::string> reported; // guarded by reportedLock
    const std::scoped_lock lock(reportedLock);
    if (reported.insert(file.string() + '\n' + error.what()).second) {
        oslog::Logger("com.brenwick.Tandalo", "preferences")
            .error("preferences %{public}s cannot be read, defaults are used: %{public}s", file.string(),
                   error.what());
    }
}

Entries readEntries(const std::filesystem::path& file) {
    try {
        return PreferencesFormat::parse(readContents(file));
    } catch (const FoundationError& error) {
        reportUnreadable(file, error);
        return {};
    }
}

void writeAll(int fd, std::string_view data, const std::filesystem::path& file) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            throw FoundationError::fromErrno("write", errno, file.string());
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Removes the temporary file unless the rename took it.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : m_path(std::move(path)) {}
    ~TemporaryFile() {
        if (!m_path.empty()) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return m_path; }
    void keep() { m_path.clear(); }

private:
    std::string m_path;
};

// Replaces the file with the text so that a reader sees either the old file or the new one, never a part.
void replaceFile(const std::filesystem::path& file, std::string_view text) {
    std::string pattern = file.string() + ".tmp.XXXXXX";
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        throw FoundationError::fromErrno("mkostemp", errno, pattern);
    }
    TemporaryFile temporary(pattern);
    writeAll(fd.get(), text, temporary.path());
    // Flushed before the rename, so a crash leaves the old file or the complete new one.
    if (::fsync(fd.get()) != 0) {
        throw FoundationError::fromErrno("fsync", errno, temporary.path());
    }
    if (::close(fd.release()) != 0) {
        throw FoundationError::fromErrno("close", errno, temporary.path());
    }
    if (::rename(temporary.path().c_str(), file.c_str()) != 0) {
        throw FoundationError::fromErrno("rename", errno, file.string());
    }
    temporary.keep();
}

bool isUsableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::filesystem::path preferencesFolder(const Environment& environment) {
    if (auto folder = environment.value("TANDALO_PREFERENCES_DIR"); folder && !folder->empty()) {
        return *folder;
    }
    const auto config = XDGFolders::configHome(environment);
    if (config.empty()) {
        return {};
    }
    return config / "tandalo";
}

} // namespace

Preferences::Preferences(std::string name, std::filesystem::path folder)
    : m_name(std::move(name)), m_folder(std::move(folder)) {
    if (!m_folder.empty()) {
        m_file = m_folder / (m_name + std::string(fileExtension));
    }
}

Preferences Preferences::standard(const Environment& environment) {
    // The program's name stands in for the bundle identifier that names the standard suite.
    std::string name = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    if (!isUsableName(name)) {
        name = "standard";
    }
    return Preferences(std::move(name), preferencesFolder(environment));
}

std::optional<Preferences> Preferences::suite(std::string_view name, const Environment& environment) {
    auto folder = preferencesFolder(environment);
    if (folder.empty()) {
        return std::nullopt;
    }
    return suite(name, folder);
}

std::optional<Preferences> Preferences::suite(std::string_view name, const std::filesystem::path& folder) {
    if (!isUsableName(name) || folder.empty()) {
        return std::nullopt;
    }
    return Preferences(std::string(name), folder);
}

std::optional<Preferences::Value> Preferences::value(std::string_view key) const {
    if (m_file.empty()) {
        return std::nullopt;
    }
    auto entries = readEntries(m_file);
    const auto found = entries.find(key);
    if (found == entries.end()) {
        return std::nullopt;
    }
    return std::move(found->second);
}

namespace {

template <typename T> std::optional<T> typed(std::optional<Preferences::Value> value) {
    if (value) {
        if (auto* typedValue = std::get_if<T>(&*value)) {
            return std::move(*typedValue);
        }
    }
    return std::nullopt;
}

// Runs change() on the suite's entries with the suite's lock held, and replaces the file when it reports a
// change. The lock lives in a file of its own because the data file is replaced, not rewritten: a lock on
// the data file would lock the old file that a rename has just replaced.
void modifyEntries(const std::filesystem::path& folder, const std::filesystem::path& file, Clock& clock,
                   const std::function<bool(Entries&)>& change) {
    if (file.empty()) {
        throw FoundationError("no folder for preferences: set TANDALO_PREFERENCES_DIR or HOME");
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        throw FoundationError::fromErrno("create_directories", error.value(), folder.string());
    }
    const auto lockPath = file.string() + ".lock";
    const auto lock = openRegularFile(lockPath, O_RDWR | O_CREAT, 0600);
    // A writer holds the lock for a few milliseconds; one that holds it for longer is stuck or gone astray,
    // and must not hang this process with it.
    const auto deadline = clock.deadlineAfter(Preferences::lockLimit);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            throw FoundationError::fromErrno("flock", errno, lockPath);
        }
        if (clock.now() >= deadline) {
            throw FoundationError("the preferences lock " + lockPath + " stayed taken by another process",
                                  EWOULDBLOCK);
        }
        clock.sleepFor(lockPoll);
    }
    // Unlike a read, a write refuses a file it cannot read whole: replacing it would lose its entries.
    auto entries = PreferencesFormat::parse(readContents(file));
    if (change(entries)) {
        replaceFile(file, PreferencesFormat::serialise(entries));
    }
    // Closing `lock` releases the flock.
}

} // namespace

std::optional<bool> Preferences::boolValue(std::string_view key) const {
    return typed<bool>(value(key));
}

std::optional<std::int64_t> Preferences::integerValue(std::string_view key) const {
    return typed<std::int64_t>(value(key));
}

std::optional<double> Preferences::doubleValue(std::string_view key) const {
    return typed<double>(value(key));
}

std::optional<std::string> Preferences::stringValue(std::string_view key) const {
    return typed<std::string>(value(key));
}

std::optional<Preferences::Date> Preferences::dateValue(std::string_view key) const {
    return typed<Date>(value(key));
}

void Preferences::set(std::string_view key, const Value& value) {
    modifyEntries(m_folder, m_file, *m_clock, [&](Entries& entries) {
        entries.insert_or_assign(std::string(key), value);
        return true;
    });
}

void Preferences::remove(std::string_view key) {
    if (m_file.empty()) {
        return;
    }
    std::error_code error;
    if (!std::filesystem::exists(m_file, error)) {
        return;
    }
    modifyEntries(m_folder, m_file, *m_clock, [&](Entries& entries) {
        const auto found = entries.find(key);
        if (found == entries.end()) {
            return false;
        }
        entries.erase(found);
        return true;
    });
}

} // namespace platform
