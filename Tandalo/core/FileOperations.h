#pragma once

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

    /// Creates the folder and the missing folders above it; a folder that exists is fine.
    virtual void createDirectories(const std::filesystem::path& folder) = 0;
    /// Creates an empty file unless something already exists at the path.
    virtual void createEmptyFile(const std::filesystem::path& file) = 0;
    /// Whether anything exists at the path, also what cannot be read (a mount whose server is gone).
    virtual bool exists(const std::filesystem::path& path) const = 0;
    /// The names in the folder, hidden ones included; nothing when it cannot be listed.
    virtual std::optional<std::vector<std::string>> entries(const std::filesystem::path& folder) const = 0;
    /// Removes the folder only when it is empty (rmdir): never anything inside it.
    virtual void removeEmptyFolder(const std::filesystem::path& folder) = 0;
    /// Removes a file (unlink); a file that is not there is fine.
    virtual void removeFile(const std::filesystem::path& file) = 0;
    /// The current user's home folder: the user database's, else the environment's HOME.
    virtual std::filesystem::path homeFolder() const = 0;
};

/// The same on the real file system.
class LinuxFileOperations final : public FileOperations {
public:
    void createDirectories(const std::filesystem::path& folder) override;
    void createEmptyFile(const std::filesystem::path& file) override;
    bool exists(const std::filesystem::path& path) const override;
    std::optional<std::vector<std::string>> entries(const std::filesystem::path& folder) const override;
    void removeEmptyFolder(const std::filesystem::path& folder) override;
    void removeFile(const std::filesystem::path& file) override;
    std::filesystem::path homeFolder() const override;
};

} // namespace tandalo::app
