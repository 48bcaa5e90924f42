#include "Tandalo/core/MountLocation.h"

#include "Tandalo/core/MountError.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/OwnedFolder.h"

#include <algorithm>
#include <array>

namespace tandalo::app {

namespace {

// How many folders past the one asked for are tried before giving up: far more than devices of one name.
constexpr int folderTries = 100;
// The longest name of one folder, in bytes, on the file systems a mount folder lives on (NAME_MAX).
constexpr std::size_t longestFolderName = 255;

/// The name cut to at most `limit` bytes, at the start of a UTF-8 character, so that a long name (a phone
/// may call itself anything) still makes a folder and never ends in half a character.
std::string cutToFit(std::string name, std::size_t limit) {
    if (name.size() <= limit) {
        return name;
    }
    auto end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end; // a continuation byte: the character began before it
    }
    name.resize(end);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name;
}

std::filesystem::path normal(const std::filesystem::path& path) {
    auto result = path.lexically_normal();
    if (result.has_relative_path() && !result.has_filename()) {
        result = result.parent_path();
    }
    return result;
}

oslog::Logger mountLog() {
    return oslog::Logger("com.brenwick.Tandalo", "mount");
}

} // namespace

void MountLocation::restore() {
    if (const auto stored = m_services.preferences.stringValue(bookmarkKey); stored && !stored->empty()) {
        const auto folder = normal(*stored);
        // A folder that is gone is treated as no choice; it stays stored until a new choice replaces it.
        if (folder.is_absolute() && m_services.files.entries(folder)) {
            use(folder);
            if (folder.string() != *stored) {
                storeBookmark(folder); // stale: keep it in its present form
            }
            return;
        }
    }
    if (isSandboxed()) {
        return;
    }
    const auto folder = defaultFolder();
    try {
        m_services.files.createDirectories(folder);
    } catch (const std::exception& error) {
        // The first device's folder will fail with the reason.
        mountLog().error("default folder %{public}s: %{public}s", folder.string(), error.what());
    }
    m_scoped.reset();
    url.set(folder);
}

bool MountLocation::choose() {
    const auto name = appDisplayName(m_services.bundle);
    const FolderPanelRequest request{"Use This Folder",
                                     "Choose where connected devices should appear, for example a new folder "
                                     "named " +
                                         name + ". Each device gets its own folder inside it.",
                                     m_services.files.homeFolder(), name};
    auto chosen = m_services.panel.chooseFolder(request);
    if (!chosen) {
        return false;
    }
    auto folder = normal(*chosen);
    if (isUserFolder(folder)) {
        if (auto inside = appFolder(folder)) {
            folder = *inside;
        }
    }
    use(folder);
    storeBookmark(folder);
    return true;
}

MountLocation::DeviceFolder MountLocation::folder(std::string_view name, int index) {
    if (!url.get()) {
        throw MountError("No folder chosen for mounted devices yet.");
    }
    std::string base(name);
    std::replace(base.begin(), base.end(), '/', '-');
    std::replace(base.begin(), base.end(), '\0', '-');
    // "." and ".." would name the mount folder itself or its parent.
    if (base.empty() || base == "." || base == "..") {
        base = "Android";
    }
    for (int candidate = std::max(index, 1); candidate < std::max(index, 1) + folderTries; ++candidate) {
        const auto suffix = candidate >= 2 ? " (" + std::to_string(candidate) + ")" : std::string();
        const auto path = *url.get() / (cutToFit(base, longestFolderName - suffix.size()) + suffix);
        try {
            if (isInUse(path)) {
                continue;
            }
            m_services.files.createDirectories(path);
        } catch (const platform::UnsafeFolderError& error) {
            throw UnsafeMountFolderError(error);
        }
        return DeviceFolder{path, candidate};
    }
    throw MountError("Every folder for this device in the mount folder is in use.");
}

std::optional<std::filesystem::path> MountLocation::appFolder(const std::filesystem::path& parent) {
    const auto candidate = parent / appDisplayName(m_services.bundle);
    try {
        m_services.files.createDirectories(candidate);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return candidate;
}

bool MountLocation::isUserFolder(const std::filesystem::path& folder) const {
    const auto home = m_services.files.homeFolder();
    const std::array userFolders{home, home / "Desktop", home / "Documents", home / "Downloads"};
    return std::any_of(userFolders.begin(), userFolders.end(),
                       [&](const std::filesystem::path& user) { return normal(user) == normal(folder); });
}

std::filesystem::path MountLocation::defaultFolder() const {
    return m_services.files.homeFolder() / appDisplayName(m_services.bundle);
}

void MountLocation::use(const std::filesystem::path& folder) {
    m_scoped = folder;
    url.set(folder);
}

void MountLocation::storeBookmark(const std::filesystem::path& folder) {
    try {
        m_services.preferences.set(bookmarkKey, PreferenceStore::Value(folder.string()));
    } catch (const std::exception& error) {
        // The folder is still used until the application ends.
        mountLog().error("mount folder %{public}s not kept: %{public}s", folder.string(), error.what());
    }
}

bool MountLocation::isInUse(const std::filesystem::path& folder) {
    if (!m_services.files.exists(folder)) {
        return false;
    }
    const auto mounts = m_services.mountTable.mounts();
    if (std::any_of(mounts.begin(), mounts.end(), [&](const platform::MountInfo& mount) {
            return normal(mount.mountPoint) == normal(folder);
        })) {
        return true;
    }
    // A link or another user's folder in its place is refused rather than passed over: whoever planted
    // one may have planted the next names too.
    m_services.files.createDirectories(folder);
    // A folder that cannot be listed (a mount whose server is gone) is in use as much as one with files.
    const auto entries = m_services.files.entries(folder);
    return !entries || !entries->empty();
}

} // namespace tandalo::app
