#pragma once

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/UniqueFd.h"

#include <filesystem>
#include <string_view>
#include <sys/types.h>

namespace platform {

/// A place another user could have prepared for us: a link planted in a shared folder, a folder of theirs,
/// a folder they may change. The message names the place and says why, as a sentence for the user.
class UnsafeFolderError : public FoundationError {
public:
    using FoundationError::FoundationError;
};

/// A folder reached without following anything another local user could have planted, and the open
/// descriptor that keeps it. The path is walked one name at a time from the root, each name opened
/// relative to its parent without following links. A link is followed only where the kernel's
/// protected_symlinks rule would follow it (machines switch that rule off, so it is kept here): not in a
/// sticky folder that others may write, unless the link is the user's or that folder's owner's. Every
/// folder on the way must belong to root or the user, and one that others may write must be sticky, so
/// that nobody else can rename or replace what lies in it between this walk and a later use of the path.
/// Folders and files made inside it are made relative to the descriptor, never through a link, and must
/// be the user's own. Any thread.
class OwnedFolder {
public:
    enum class Missing { refused, made };

    /// The folder at the absolute path. A missing folder, and missing ones above it, are made with the
    /// mode (less the umask) when asked, else refused. The last folder may not be a link and must be the
    /// user's own when it was asked to be made. Throws UnsafeFolderError for an unsafe place,
    /// FoundationError for any other failure.
    static OwnedFolder open(const std::filesystem::path& path, Missing missing = Missing::refused,
                            mode_t mode = 0777);

    /// A folder for what only the user may reach (sockets, locks): made closed to others (0700) when
    /// missing, together with the folders above it. An existing one must be the user's own folder that
    /// nobody else may enter; it is refused rather than narrowed, since another user who made it first
    /// may still hold it open. Throws UnsafeFolderError naming it, FoundationError for other failures.
    static OwnedFolder privateFolder(const std::filesystem::path& path);

    /// The folder with the links on the way resolved; the same folder that the path reaches for as long as
    /// the walk's rules hold.
    const std::filesystem::path& path() const noexcept { return m_path; }
    int descriptor() const noexcept { return m_descriptor.get(); }

    /// Takes away from group and others what the mode does not give them.
    void narrow(mode_t mode) const;
    /// The subfolder of that name, made with the mode (less the umask) when missing. An existing one must
    /// be a folder of the user's own, not a link.
    OwnedFolder subfolder(std::string_view name, mode_t mode) const;
    /// Makes an empty file of the name with the mode unless one exists. An existing one must be a regular
    /// file of the user's own, not a link; it is narrowed to the mode.
    void createFile(std::string_view name, mode_t mode) const;

private:
    OwnedFolder(UniqueFd descriptor, std::filesystem::path path)
        : m_descriptor(std::move(descriptor)), m_path(std::move(path)) {}

    UniqueFd m_descriptor; // O_PATH
    std::filesystem::path m_path;
};

} // namespace platform
