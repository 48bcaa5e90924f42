// File contents in both directions: ranged reads, downloads to local files and uploads from them.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>

namespace corvane {

namespace {

std::string reason(int error) {
    return std::strerror(error);
}

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

std::vector<std::byte> MTPFileSystem::read(const MTPObject& object, std::uint64_t offset,
                                           std::int64_t length) {
    if (object.isDirectory()) {
        throw PTPError::isADirectory(object.name());
    }
    if (offset >= object.size() || length < 1) {
        return {};
    }
    const std::uint64_t count = std::min({object.size() - offset, static_cast<std::uint64_t>(length),
                                          std::uint64_t{std::numeric_limits<std::uint32_t>::max()}});
    return m_device->readPartial(object.handle(), offset, static_cast<std::uint32_t>(count));
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
    m_device->getObject(object.handle(), [&](std::span<const std::byte> chunk) {
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
    const DataProvider provider = [&](std::span<std::byte> buffer) -> std::size_t {
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
    const std::uint32_t handle = sendFile(key, chosen, size, modified, existing, provider);
    folderChanged(key);
    return object(handle);
}

} // namespace corvane
