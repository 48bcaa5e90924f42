// The mount table: which volumes of this system's type are mounted, and on what.
#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/MountResource.h"

#include <algorithm>

namespace tandalo::app {

namespace {

/// Volumes of the FUSE host appear as "fuse.<name>"; "tandalo" is the name.
constexpr std::string_view fileSystemType = "fuse.tandalo";

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto normal = [](const std::filesystem::path& path) {
        auto result = path.lexically_normal();
        if (result.has_relative_path() && !result.has_filename()) {
            result = result.parent_path(); // "/a/b/" and "/a/b" are the same folder
        }
        return result;
    };
    return normal(a) == normal(b);
}

} // namespace

std::vector<MountManager::Mount> MountManager::mounts() const {
    std::vector<Mount> rows;
    for (auto& mount : m_services.mountTable.mounts()) {
        if (mount.fileSystemType == fileSystemType) {
            rows.push_back(Mount{std::move(mount.source), std::move(mount.mountPoint)});
        }
    }
    return rows;
}

std::optional<std::filesystem::path>
MountManager::existingMount(const corvane::USBDeviceDescriptor& device) const {
    const auto name = MountResource::nameOf(device);
    for (auto& row : mounts()) {
        if (MountResource::parseName(row.from) == name) {
            return std::move(row.on);
        }
    }
    return std::nullopt;
}

bool MountManager::isMounted(const corvane::USBDeviceDescriptor& device,
                             const std::filesystem::path& folder) const {
    return existingMount(device) || hasMountOn(folder);
}

bool MountManager::hasMountOn(const std::filesystem::path& folder) const {
    const auto rows = mounts();
    return std::any_of(rows.begin(), rows.end(), [&](const Mount& row) { return samePath(row.on, folder); });
}

void MountManager::removeStaleFolder(const std::filesystem::path& folder) {
    if (hasMountOn(folder)) {
        return; // a mounted folder is never touched
    }
    const auto entries = m_services.files.entries(folder);
    if (!entries || !entries->empty()) {
        return;
    }
    removeFolderQuietly(folder);
}

void MountManager::removeFolderQuietly(const std::filesystem::path& folder) {
    try {
        m_services.files.removeEmptyFolder(folder);
    } catch (const std::exception& error) {
        m_log.info("folder %{public}s left in place: %{public}s", folder.string(), error.what());
    }
}

} // namespace tandalo::app
