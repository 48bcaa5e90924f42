#include "platform/foundation/OwnedFolder.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The kernel's limit on links followed in one lookup.
constexpr int linkLimit = 40;

struct Step {
    UniqueFd descriptor; // O_PATH
    struct stat status {};
    std::filesystem::path path;
};

enum class Last { no, yes, mustBeOwn };

std::string quoted(const std::filesystem::path& path) {
    return "\u201C" + path.string() + "\u201D";
}

// Anyone may put a name into it, and only the sticky bit keeps them from renaming or removing ours.
bool isShared(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

void checkFolder(const struct stat& status, const std::filesystem::path& path, Last last) {
    const auto user = ::geteuid();
    if (status.st_uid == user) {
        return;
    }
    if (status.st_uid != 0 || last == Last::mustBeOwn) {
        throw UnsafeFolderError("The folder " + quoted(path) + " belongs to another user, so it is not used.",
                                EPERM);
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
        throw UnsafeFolderError("Other users may rename or replace what is in the folder " + quoted(path) +
                                    ", so it is not used.",
                                EPERM);
    }
}

std::vector<std::string> namesOf(const std::filesystem::path& path) {
    std::vector<std::string> names;
    for (const auto& part : path.relative_path()) {
        if (!part.empty()) {
            names.push_back(part.string());
        }
    }
    return names;
}

std::string readLink(int parent, const std::string& name, const std::filesystem::path& path) {
    std::string target(PATH_MAX, '\0');
    const auto length = ::readlinkat(parent, name.c_str(), target.data(), target.size());
    if (length < 0) {
        throw FoundationError::fromErrno("readlink", errno, path.string());
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

// Opens one name in the parent: a folder of root's or the user's (the user's alone for `mustBeOwn`), made
// when missing and asked for. Nothing when it is a link that may be followed; its target is then in `link`.
std::optional<Step> openName(const Step& parent, const std::string& name, Last last, bool makeMissing,
                             mode_t mode, std::string& link) {
    const auto path = parent.path / name;
    struct stat status {};
    if (::fstatat(parent.descriptor.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !makeMissing) {
            throw FoundationError::fromErrno("open", errno, path.string());
        }
        if (::mkdirat(parent.descriptor.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
            throw FoundationError::fromErrno("mkdir", errno, path.string());
        }
        if (::fstatat(parent.descriptor.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            throw FoundationError::fromErrno("open", errno, path.string());
        }
    }
    if (S_ISLNK(status.st_mode)) {
        if (last != Last::no) {
            throw UnsafeFolderError(
                "The folder " + quoted(path) +
                    " is a link, which could lead into anyone's folder, so it is not used.",
                ELOOP);
        }
        if (isShared(parent.status) && status.st_uid != ::geteuid() &&
            status.st_uid != parent.status.st_uid) {
            throw UnsafeFolderError("The folder " + quoted(path) +
                                        " is a link that another user made in a shared folder, so it is "
                                        "not followed.",
                                    ELOOP);
        }
        link = readLink(parent.descriptor.get(), name, path);
        return std::nullopt;
    }
    if (!S_ISDIR(status.st_mode)) {
        throw FoundationError(path.string() + " is not a folder", ENOTDIR);
    }
    Step step;
    step.descriptor.reset(
        ::openat(parent.descriptor.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!step.descriptor) {
        if (errno == ELOOP || errno == ENOTDIR) {
            throw UnsafeFolderError("The folder " + quoted(path) + " was replaced while it was opened.",
                                    errno);
        }
        throw FoundationError::fromErrno("open", errno, path.string());
    }
    if (::fstat(step.descriptor.get(), &step.status) != 0) {
        throw FoundationError::fromErrno("fstat", errno, path.string());
    }
    checkFolder(step.status, path, last);
    step.path = path;
    return step;
}

} // namespace

OwnedFolder OwnedFolder::open(const std::filesystem::path& path, Missing missing, mode_t mode) {
    if (!path.is_absolute()) {
        throw FoundationError("not an absolute path: " + path.string(), EINVAL);
    }
    std::vector<Step> walked(1);
    walked[0].descriptor.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!walked[0].descriptor || ::fstat(walked[0].descriptor.get(), &walked[0].status) != 0) {
        throw FoundationError::fromErrno("open", errno, "/");
    }
    walked[0].path = "/";
    const auto given = namesOf(path);
    std::deque<std::string> names(given.begin(), given.end());
    int links = 0;
    while (!names.empty()) {
        const auto name = std::move(names.front());
        names.pop_front();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            if (walked.size() > 1) {
                walked.pop_back();
            }
            continue;
        }
        const Last last = !names.empty() ? Last::no : missing == Missing::made ? Last::mustBeOwn : Last::yes;
        std::string link;
        auto step = openName(walked.back(), name, last, missing == Missing::made, mode, link);
        if (step) {
            walked.push_back(std::move(*step));
            continue;
        }
        if (++links > linkLimit) {
            throw FoundationError::fromErrno("open", ELOOP, path.string());
        }
        const std::filesystem::path target(link);
        if (target.is_absolute()) {
            walked.resize(1);
        }
        const auto inside = namesOf(target);
        names.insert(names.begin(), inside.begin(), inside.end());
    }
    auto& found = walked.back();
    return OwnedFolder(std::move(found.descriptor), std::move(found.path));
}

OwnedFolder OwnedFolder::privateFolder(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    auto folder = open(path.parent_path()).subfolder(path.filename().string(), 0700);
    struct stat status {};
    if (::fstat(folder.descriptor(), &status) != 0) {
        throw FoundationError::fromErrno("fstat", errno, path.string());
    }
    if ((status.st_mode & 077) != 0) {
        throw UnsafeFolderError("The folder " + quoted(path) +
                                    " is open to other users, so it is not used; only a folder that you "
                                    "alone may enter (mode 0700) is.",
                                EPERM);
    }
    return folder;
}

void OwnedFolder::narrow(mode_t mode) const {
    const UniqueFd folder(::openat(m_descriptor.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!folder || ::fstat(folder.get(), &status) != 0) {
        throw FoundationError::fromErrno("open", errno, m_path.string());
    }
    if ((status.st_mode & 077 & ~mode) != 0 &&
        ::fchmod(folder.get(), status.st_mode & 07777 & (mode | 07700)) != 0) {
        throw FoundationError::fromErrno("chmod", errno, m_path.string());
    }
}

OwnedFolder OwnedFolder::subfolder(std::string_view name, mode_t mode) const {
    Step parent;
    parent.descriptor.reset(::fcntl(m_descriptor.get(), F_DUPFD_CLOEXEC, 0));
    if (!parent.descriptor || ::fstat(parent.descriptor.get(), &parent.status) != 0) {
        throw FoundationError::fromErrno("open", errno, m_path.string());
    }
    parent.path = m_path;
    std::string link;
    auto step = openName(parent, std::string(name), Last::mustBeOwn, true, mode, link);
    return OwnedFolder(std::move(step->descriptor), std::move(step->path));
}

void OwnedFolder::createFile(std::string_view name, mode_t mode) const {
    const std::string fileName(name);
    const auto path = m_path / fileName;
    UniqueFd file(::openat(m_descriptor.get(), fileName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (file) {
        return;
    }
    if (errno != EEXIST) {
        throw FoundationError::fromErrno("create file", errno, path.string());
    }
    file.reset(
        ::openat(m_descriptor.get(), fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ELOOP) {
            throw UnsafeFolderError(
                "The file " + quoted(path) +
                    " is a link, which could lead into anyone's folder, so it is not used.",
                ELOOP);
        }
        throw FoundationError::fromErrno("open", errno, path.string());
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        throw FoundationError::fromErrno("fstat", errno, path.string());
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        throw UnsafeFolderError("The file " + quoted(path) + " is not a file of your own, so it is not used.",
                                EPERM);
    }
    if ((status.st_mode & 077 & ~mode) != 0 &&
        ::fchmod(file.get(), status.st_mode & 07777 & (mode | 07700)) != 0) {
        throw FoundationError::fromErrno("chmod", errno, path.string());
    }
}

} // namespace platform
