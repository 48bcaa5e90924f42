#include "Tandalo/core/FileOperations.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/OwnedFolder.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/XDGFolders.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandalo::app {

namespace {

std::filesystem::path absolutePath(const std::filesystem::path& path) {
    std::error_code error;
    auto result = std::filesystem::absolute(path, error);
    return error ? path : result;
}

} // namespace

void LinuxFileOperations::createDirectories(const std::filesystem::path& folder) {
    platform::OwnedFolder::open(absolutePath(folder), platform::OwnedFolder::Missing::made, 0777);
}

void LinuxFileOperations::createPrivateFolder(const std::filesystem::path& folder) {
    platform::OwnedFolder::open(absolutePath(folder), platform::OwnedFolder::Missing::made, 0700)
        .narrow(0700);
}

void LinuxFileOperations::createEmptyFile(const std::filesystem::path& file) {
    const auto path = absolutePath(file);
    platform::OwnedFolder::open(path.parent_path()).createFile(path.filename().string(), 0600);
}

bool LinuxFileOperations::exists(const std::filesystem::path& path) const {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

std::optional<std::vector<std::string>>
LinuxFileOperations::entries(const std::filesystem::path& folder) const {
    // A link is not listed: what it leads to is not this folder.
    platform::UniqueFd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DIR* directory = opened ? ::fdopendir(opened.get()) : nullptr;
    if (directory == nullptr) {
        return std::nullopt;
    }
    opened.release(); // closedir closes it
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    const bool failed = errno != 0;
    ::closedir(directory);
    if (failed) {
        return std::nullopt;
    }
    return names;
}

void LinuxFileOperations::removeEmptyFolder(const std::filesystem::path& folder) {
    if (::rmdir(folder.c_str()) != 0) {
        throw platform::FoundationError::fromErrno("rmdir", errno, folder.string());
    }
}

void LinuxFileOperations::removeFile(const std::filesystem::path& file) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        throw platform::FoundationError::fromErrno("unlink", errno, file.string());
    }
}

std::filesystem::path LinuxFileOperations::homeFolder() const {
    auto home = platform::XDGFolders::home(m_environment);
    return home.empty() ? std::filesystem::path("/") : home;
}

} // namespace tandalo::app
