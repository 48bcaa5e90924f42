#include "Tandalo/core/FileOperations.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandalo::app {

void LinuxFileOperations::createDirectories(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        throw platform::FoundationError::fromErrno("create folder", error.value(), folder.string());
    }
}

void LinuxFileOperations::createEmptyFile(const std::filesystem::path& file) {
    const platform::UniqueFd created(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!created && errno != EEXIST) {
        throw platform::FoundationError::fromErrno("create file", errno, file.string());
    }
}

bool LinuxFileOperations::exists(const std::filesystem::path& path) const {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

std::optional<std::vector<std::string>>
LinuxFileOperations::entries(const std::filesystem::path& folder) const {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return std::nullopt;
    }
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
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "/";
}

} // namespace tandalo::app
