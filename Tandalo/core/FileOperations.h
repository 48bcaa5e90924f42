#pragma once

#include "platform/foundation/Environment.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tandalo::app {

/// The file operations of the application: folders and token files under the mount folder. Failures are
/// thrown as platform::FoundationError with the errno. Any thread; each call blocks for its file system.
class FileOperations {
public:
    virtual ~FileOperations() = default;

    /// Creates the folder and the missing folders above it; a folder that exists is fine. Nothing another
    /// user could have planted on the way is followed (platform::OwnedFolder): an unsafe place throws
    /// platform::UnsafeFolderError, and so does a folder that is a link or not the user's own.
    virtual void createDirectories(const std::filesystem::path& folder) = 0;
    /// The same for a folder closed to other users (0700); an existing one is narrowed to that.
    virtual void createPrivateFolder(const std::filesystem::path& folder) = 0;
    /// Creates an empty file that only the user may read (0600) unless one exists, which must be a file
    /// of the user's own and is narrowed to that; a link or anything else throws UnsafeFolderError.
    virtual void createEmptyFile(const std::filesystem::path& file) = 0;
    /// Whether anything exists at the path, also what cannot be read (a mount whose server is gone).
    virtual bool exists(const std::filesystem::path& path) const = 0;
    /// The names in the folder, hidden ones included; nothing when it cannot be listed or is a link.
    virtual std::optional<std::vector<std::string>> entries(const std::filesystem::path& folder) const = 0;
    /// Removes the folder only when it is empty (rmdir): never anything inside it.
    virtual void removeEmptyFolder(const std::filesystem::path& folder) = 0;
    /// Removes a file (unlink); a file that is not there is fine.
    virtual void removeFile(const std::filesystem::path& file) = 0;
    /// The current user's home folder: the environment's HOME, else the user database's.
    virtual std::filesystem::path homeFolder() const = 0;
};

/// The same on the real file system.
class LinuxFileOperations final : public FileOperations {
public:
    explicit LinuxFileOperations(const platform::Environment& environment = platform::Environment::process())
        : m_environment(environment) {}

    void createDirectories(const std::filesystem::path& folder) override;
    void createPrivateFolder(const std::filesystem::path& folder) override;
    void createEmptyFile(const std::filesystem::path& file) override;
    bool exists(const std::filesystem::path& path) const override;
    std::optional<std::vector<std::string>> entries(const std::filesystem::path& folder) const override;
    void removeEmptyFolder(const std::filesystem::path& folder) override;
    void removeFile(const std::filesystem::path& file) override;
    std::filesystem::path homeFolder() const override;

private:
    const platform::Environment& m_environment;
};

} // namespace tandalo::app
