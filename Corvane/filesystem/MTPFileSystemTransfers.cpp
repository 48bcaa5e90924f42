// File contents in both directions: ranged reads, downloads to local files and uploads from them.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace corvane {

namespace {

std::string reason(int error) {
    return std::strerror(error);
}

/// The numbers that tell temporary names apart: counted from a random start, so that names of two
/// processes, or of this one and what an earlier one left, rarely meet. Those this process handed out are
/// known, so that what it is sending now is never taken for a leftover.
struct TemporaryNumbers {
    const std::uint32_t first = std::random_device{}();
    std::atomic<std::uint32_t> next{first};

    bool handedOut(std::uint32_t number) const { return number - first < next.load() - first; }
};

TemporaryNumbers& temporaryNumbers() {
    static TemporaryNumbers numbers;
    return numbers;
}

constexpr std::string_view temporaryMark = ".tandalo-";
constexpr std::size_t temporaryDigits = 8;

/// The number of a name that temporaryNameIn made with the word: the name ends in ".tandalo-", the word,
/// "-" and eight lower-case hexadecimal digits. Nothing for any other name.
std::optional<std::uint32_t> temporaryNumber(std::string_view name, std::string_view word) {
    const std::string ending = std::string(temporaryMark) + std::string(word) + "-";
    if (name.size() < ending.size() + temporaryDigits) {
        return std::nullopt;
    }
    const auto digits = name.substr(name.size() - temporaryDigits);
    if (name.substr(name.size() - temporaryDigits - ending.size(), ending.size()) != ending) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    for (const char digit : digits) {
        if (digit >= '0' && digit <= '9') {
            number = number * 16 + static_cast<std::uint32_t>(digit - '0');
        } else if (digit >= 'a' && digit <= 'f') {
            number = number * 16 + static_cast<std::uint32_t>(digit - 'a' + 10);
        } else {
            return std::nullopt;
        }
    }
    return number;
}

constexpr std::string_view incompleteWord = "incomplete";

/// The file a download writes into: created new beside its destination, under a name of its own, and
/// put in the destination's place only once every byte has arrived. Until then the destination keeps
/// whatever it held, and a failed download leaves nothing behind that could pass for the file.
class DownloadFile {
public:
    explicit DownloadFile(std::filesystem::path destination) : m_destination(std::move(destination)) {
        static std::atomic<std::uint64_t> counter{0};
        // The name does not grow with the destination's, so a destination whose name is at the length
        // limit still gets a temporary file.
        const std::filesystem::path folder = m_destination.parent_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = ".tandalo-download-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1));
            std::filesystem::path candidate = folder / name;
            // 0666 lets the process's umask decide, as for any file the user creates.
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd.reset(fd);
                m_path = std::move(candidate);
                return;
            }
            if (errno != EEXIST) {
                break;
            }
        }
        throw PTPError::io("cannot open " + m_destination.string() + ": " + reason(errno));
    }

    ~DownloadFile() {
        if (!m_committed) {
            m_fd.reset();
            ::unlink(m_path.c_str());
        }
    }

    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    void write(std::span<const std::byte> chunk) {
        while (!chunk.empty()) {
            const ssize_t written = ::write(m_fd.get(), chunk.data(), chunk.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 1) {
                throw PTPError::io("write failed: " + reason(written < 0 ? errno : EIO));
            }
            chunk = chunk.subspan(static_cast<std::size_t>(written));
        }
    }

    /// Closes the file, which reports late write errors, then renames it over the destination.
    void commit() {
        if (::close(m_fd.release()) != 0) {
            throw PTPError::io("write failed: " + reason(errno));
        }
        if (::rename(m_path.c_str(), m_destination.c_str()) != 0) {
            throw PTPError::io("cannot open " + m_destination.string() + ": " + reason(errno));
        }
        m_committed = true;
    }

private:
    std::filesystem::path m_destination;
    std::filesystem::path m_path;
    platform::UniqueFd m_fd;
    bool m_committed = false;
};

std::optional<MTPObject::TimePoint> modificationDate(const std::filesystem::path& file) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(file, error);
    if (error) {
        return std::nullopt;
    }
    return std::chrono::time_point_cast<MTPObject::TimePoint::duration>(
        std::chrono::file_clock::to_sys(written));
}

} // namespace

std::vector<std::byte> MTPFileSystem::read(const MTPObject& object, std::uint64_t offset, std::int64_t length,
                                           std::vector<std::byte> storage) {
    if (object.isDirectory()) {
        throw PTPError::isADirectory(object.name());
    }
    if (offset >= object.size() || length < 1) {
        return {};
    }
    const std::uint64_t count = std::min({object.size() - offset, static_cast<std::uint64_t>(length),
                                          std::uint64_t{std::numeric_limits<std::uint32_t>::max()}});
    auto bytes = m_device->hold()->readPartial(object.handle(), offset, static_cast<std::uint32_t>(count),
                                               std::move(storage));
    // A device may answer with fewer bytes than asked before the object's end. Handed on, that would be a
    // short read, which the kernel takes for the end of the file: a copy would end there without an error.
    // The rest is asked for until it comes, or until the device has nothing more, the object's real end.
    while (!bytes.empty() && bytes.size() < count) {
        const auto rest = m_device->hold()->readPartial(object.handle(), offset + bytes.size(),
                                                        static_cast<std::uint32_t>(count - bytes.size()));
        if (rest.empty()) {
            break;
        }
        bytes.insert(bytes.end(), rest.begin(), rest.end());
    }
    return bytes;
}

void MTPFileSystem::download(const MTPObject& object, const std::filesystem::path& to,
                             const Progress& progress) {
    if (object.isDirectory()) {
        throw PTPError::isADirectory(object.name());
    }
    // A folder in the way would only show at the final rename, after the whole transfer.
    std::error_code ignored;
    if (std::filesystem::is_directory(to, ignored)) {
        throw PTPError::io("cannot open " + to.string() + ": " + reason(EISDIR));
    }
    DownloadFile file(to);
    std::uint64_t written = 0;
    m_device->hold()->getObject(object.handle(), [&](std::span<const std::byte> chunk) {
        file.write(chunk);
        written += chunk.size();
        if (progress) {
            progress(written);
        }
    });
    file.commit();
}

MTPObject MTPFileSystem::upload(const std::filesystem::path& file, std::string_view to,
                                std::optional<std::string> name, const Progress& progress) {
    const Node node = lookup(to);
    const DirectoryKey key = folderOf(node, to);
    const std::string chosen = name ? std::move(*name) : file.filename().string();
    // The platform's own error, unchanged: the caller tells a missing file from a forbidden one by it.
    const std::uint64_t size = std::filesystem::file_size(file);
    const std::optional<TimePoint> modified = modificationDate(file);

    // Opened before anything is sent, so that a file that cannot be read leaves no empty object behind.
    const platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw PTPError::io("cannot open " + file.string() + ": " + reason(errno));
    }

    const std::optional<MTPObject> existing = child(key.storage, key.parent, chosen);
    // Replacing a folder by a file would delete everything in it.
    if (existing && existing->isDirectory()) {
        throw PTPError::alreadyExists(chosen);
    }

    std::uint64_t sent = 0;
    const DataProvider read = [&](std::span<std::byte> buffer) -> std::size_t {
        const std::uint64_t remaining = size - sent;
        if (remaining == 0) {
            return 0;
        }
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        ssize_t got = 0;
        do {
            got = ::read(fd.get(), buffer.data(), count);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            throw PTPError::io("read failed: " + reason(errno));
        }
        if (got == 0) {
            throw PTPError::io("read failed: the file ended after " + std::to_string(sent) + " of " +
                               std::to_string(size) + " bytes");
        }
        sent += static_cast<std::uint64_t>(got);
        if (progress) {
            progress(sent);
        }
        return static_cast<std::size_t>(got);
    };
    // Each send reads the file from its start: a device that refuses to rename gets it a second time.
    const ContentSource source = [&] {
        if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
            throw PTPError::io("read failed: " + reason(errno));
        }
        sent = 0;
        return DataPhase::send(size, read);
    };
    const PartialFile sentFile = sendPartial(key, chosen, size, modified, source, existing, Completion::now);
    const MTPObject placed = completeSent(sentFile, source);
    folderChanged(key);
    return object(placed.handle());
}

// Sending new files

MTPFileSystem::DirectoryKey MTPFileSystem::folderKeyOf(const MTPObject& object) {
    // Devices report objects at the top of a storage with parent 0; their listing is keyed by the root.
    return {object.storageID(), object.parent() == 0 ? rootParent : object.parent()};
}

std::optional<DirectoryListing> MTPFileSystem::cachedListing(std::uint32_t storage,
                                                             std::uint32_t parent) const {
    return m_state.withLock([&](const State& state) -> std::optional<DirectoryListing> {
        if (const auto cached = state.folders.find({storage, parent}); cached != state.folders.end()) {
            return cached->second.listing;
        }
        return std::nullopt;
    });
}

std::optional<MTPObject> MTPFileSystem::cachedChild(const DirectoryKey& key, std::string_view name) const {
    const std::string wanted = platform::unicode::canonicalKey(name);
    return m_state.withLock([&](const State& state) -> std::optional<MTPObject> {
        if (const auto cached = state.folders.find(key); cached != state.folders.end()) {
            if (const auto entry = cached->second.firstByName.find(wanted);
                entry != cached->second.firstByName.end()) {
                return cached->second.listing[entry->second];
            }
        }
        return std::nullopt;
    });
}

std::uint32_t MTPFileSystem::sendObject(const DirectoryKey& key, std::string_view name, std::uint64_t size,
                                        std::optional<TimePoint> modified, const DataPhase& contents) {
    std::optional<std::uint32_t> announced;
    try {
        // One hold of the device: a phone drops an announced object when any other command comes between
        // SendObjectInfo and SendObject.
        m_device->exclusive([&](MTPDevice::Session& session) {
            announced = session.createFile(key.storage, key.parent, name, size, modified);
            if (contents.provider()) {
                session.sendObject(size, contents.provider());
            } else {
                session.sendObject(contents.data());
            }
        });
        return *announced;
    } catch (...) {
        if (announced) {
            // What arrived is not the file. Where the device is still there it goes; where it is not, the
            // name it lies under says that it is incomplete (see sendPartial).
            try {
                m_device->hold()->deleteObject(*announced);
            } catch (...) {
                // Deliberately dropped: the send's failure is what the caller must hear about.
            }
            // The folder held the object for a while: a listing taken meanwhile must not be cached.
            folderChanged(key);
        }
        throw;
    }
}

std::string MTPFileSystem::temporaryNameIn(const DirectoryKey& key, std::string_view name,
                                           std::string_view word) {
    // Visible, and after the file's own name, so that the user sees what it was going to be, and so that
    // a phone's media scanner does not take a half-sent photo for a photo.
    constexpr std::size_t maximumNameBytes = 255;
    const std::size_t suffixBytes = word.size() + 18;
    std::string base(name.substr(0, std::min(name.size(), maximumNameBytes - suffixBytes)));
    // A name cut inside a character would not be text.
    if (base.size() < name.size()) {
        while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) {
            base.pop_back();
        }
        if (!base.empty() && (static_cast<unsigned char>(base.back()) & 0x80) != 0) {
            base.pop_back();
        }
    }
    for (;;) {
        char number[9];
        std::snprintf(number, sizeof number, "%08x", temporaryNumbers().next.fetch_add(1));
        std::string candidate = base + std::string(temporaryMark) + std::string(word) + "-" + number;
        if (!cachedChild(key, candidate)) {
            return candidate;
        }
    }
}

std::vector<MTPObject> MTPFileSystem::incompleteLeftovers(std::stop_token stop) {
    std::vector<std::pair<std::uint32_t, std::string>> named;
    const std::optional<DeviceInfo> info = m_device->info();
    bool listed = false;
    if (!info || info->supports(PTPOperation::getObjectPropList)) {
        try {
            // Every object of the format new files are sent with, on every storage, in one exchange.
            for (const auto& element : m_device->hold()->getObjectPropList(
                     PTPConstants::all, PTPObjectFormat::undefined, MTPObjectProperty::objectFileName, 0,
                     PTPConstants::all)) {
                if (const auto name = element.value.stringValue();
                    name && element.property == MTPObjectProperty::objectFileName) {
                    named.emplace_back(element.handle, *name);
                }
            }
            listed = true;
        } catch (const PTPError& error) {
            if (error.kind() != PTPError::Kind::responseError) {
                throw;
            }
        }
    }
    if (!listed) {
        for (const auto& storage : storages()) {
            for (const auto handle :
                 m_device->hold()->getObjectHandles(storage.id, PTPObjectFormat::undefined, 0)) {
                if (stop.stop_requested()) {
                    return {};
                }
                named.emplace_back(handle, m_device->hold()->getObjectInfo(handle).filename);
            }
        }
    }
    std::vector<MTPObject> leftovers;
    for (const auto& [handle, name] : named) {
        const auto number = temporaryNumber(name, incompleteWord);
        if (!number || temporaryNumbers().handedOut(*number) || stop.stop_requested()) {
            continue;
        }
        MTPObject record = object(handle);
        if (!record.isDirectory() && record.name() == name) {
            leftovers.push_back(std::move(record));
        }
    }
    return leftovers;
}

std::exception_ptr MTPFileSystem::renameLearning(const MTPObject& object, std::string_view to) {
    try {
        m_device->hold()->rename(object.handle(), to);
    } catch (...) {
        // A device that has renamed before refused this one for a reason of its own (a name taken
        // meanwhile), not because it refuses names.
        m_state.withLock([](State& state) {
            if (state.renames != Renames::work) {
                state.renames = Renames::refused;
            }
        });
        return std::current_exception();
    }
    MTPObject renamed(object.handle(), object.storageID(), object.parent(), std::string(to), object.size(),
                      object.format(), object.modified(), object.isReadOnly());
    m_state.withLock([&](State& state) {
        state.renames = Renames::work;
        storeInFolder(state, folderKeyOf(object), renamed);
        ++state.generation;
    });
    return nullptr;
}

void MTPFileSystem::deleteIfThere(const MTPObject& object) {
    try {
        m_device->hold()->deleteObject(object.handle());
    } catch (const PTPError& error) {
        // Someone deleted it meanwhile: what was asked for is done.
        if (error.responseCode() != PTPResponseCode::invalidObjectHandle) {
            throw;
        }
    }
    m_state.withLock([&](State& state) {
        forgetInFolder(state, folderKeyOf(object), object.handle());
        ++state.generation;
    });
}

MTPFileSystem::PartialFile MTPFileSystem::sendPartial(const DirectoryKey& key, std::string_view name,
                                                      std::uint64_t size, std::optional<TimePoint> modified,
                                                      const ContentSource& source,
                                                      std::optional<MTPObject> replacing,
                                                      Completion completion) {
    const auto stored = [&](std::uint32_t handle, std::string_view storedName) {
        MTPObject record(handle, key.storage, key.parent, std::string(storedName), size,
                         PTPObjectFormat::undefined, modified ? *modified : m_clock.wallNow(), false);
        m_state.withLock([&](State& state) {
            storeInFolder(state, key, record);
            // A listing that began before the file arrived must not be cached over this one.
            ++state.generation;
        });
        return record;
    };
    // A small whole file that replaces nothing takes its name at once: it arrives in one short data phase,
    // and what arrived of a failed send is deleted, so only a device lost within those milliseconds could
    // keep part of it under the name. A rename after each one would cost a copy of many small files a
    // third of its transactions.
    const bool direct = completion == Completion::now && !replacing && size <= directSendLimit;
    if (!direct && !refusesRenames()) {
        const std::string incomplete = temporaryNameIn(key, name, incompleteWord);
        PartialFile file{stored(sendObject(key, incomplete, size, modified, source()), incomplete),
                         std::string(name), std::move(replacing)};
        const bool renamesKnown =
            m_state.withLock([](const State& state) { return state.renames == Renames::work; });
        if (completion == Completion::now || renamesKnown) {
            return file;
        }
        // This file grows after this send, so its contents are not at hand when it is completed: whether
        // the device renames at all is learnt now, while they are.
        const std::string other = temporaryNameIn(key, name, incompleteWord);
        if (!renameLearning(file.object, other)) {
            file.object = object(file.object.handle());
            return file;
        }
        deleteIfThere(file.object);
        replacing = std::move(file.replacing);
    }
    // Without renames the file can only take its name from the start, and the name must be free first.
    if (replacing) {
        deleteIfThere(*replacing);
    }
    return {stored(sendObject(key, name, size, modified, source()), name), std::string(name), std::nullopt};
}

MTPObject MTPFileSystem::completeSent(const PartialFile& file, const ContentSource& source) {
    if (file.object.name() == file.name && !file.replacing) {
        return file.object;
    }
    try {
        // Only now that the new file is whole does the old one go.
        if (file.replacing) {
            deleteIfThere(*file.replacing);
        }
    } catch (...) {
        if (source) {
            // The file cannot take its place; the partial object is nobody's.
            try {
                deleteIfThere(file.object);
            } catch (...) {
                // Deliberately dropped: the replacement's failure is what the caller must hear about.
            }
        }
        throw;
    }
    if (file.object.name() == file.name) {
        return file.object;
    }
    const std::exception_ptr refused = renameLearning(file.object, file.name);
    if (!refused) {
        return object(file.object.handle());
    }
    if (!source) {
        std::rethrow_exception(refused);
    }
    // The device takes no new names: the contents go again, under the file's own name, and the partial
    // object goes. The user's file must never be found only under a name that says it is incomplete.
    const DirectoryKey key = folderKeyOf(file.object);
    const std::uint32_t handle =
        sendObject(key, file.name, file.object.size(), file.object.modified(), source());
    MTPObject record(handle, key.storage, key.parent, file.name, file.object.size(),
                     PTPObjectFormat::undefined, file.object.modified(), false);
    m_state.withLock([&](State& state) {
        storeInFolder(state, key, record);
        ++state.generation;
    });
    try {
        deleteIfThere(file.object);
    } catch (...) {
        // Deliberately dropped: the file is in place; the leftover says by its name what it is.
    }
    return record;
}

} // namespace corvane
