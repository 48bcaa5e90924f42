// The mount table: which volumes of this system's type are mounted, and on what.
#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/MountResource.h"

#include "platform/foundation/WholeNumber.h"

#include <algorithm>
#include <unistd.h>

namespace tandalo::app {

namespace {

/// Volumes of the FUSE host appear as "fuse.<name>"; "tandalo" is the name.
constexpr std::string_view fileSystemType = "fuse.tandalo";

/// FUSE writes who mounted into the mount's options ("user_id=<uid>").
bool isMountedBy(const platform::MountInfo& mount, unsigned user) {
    std::string_view options = mount.superOptions;
    while (!options.empty()) {
        const auto comma = options.find(',');
        const auto option = options.substr(0, comma);
        if (option.starts_with("user_id=")) {
            return platform::wholeNumber<unsigned>(option.substr(8)) == user;
        }
        options = comma == std::string_view::npos ? std::string_view() : options.substr(comma + 1);
    }
    return false;
}

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

unsigned MountServices::currentUserID() {
    return ::getuid();
}

std::vector<MountManager::Mount> MountManager::mounts() const {
    std::vector<Mount> rows;
    for (auto& mount : m_services.mountTable.mounts()) {
        if (mount.fileSystemType == fileSystemType && isMountedBy(mount, m_services.userID)) {
            rows.push_back(Mount{std::move(mount.source), std::move(mount.mountPoint)});
        }
    }
    return rows;
}

std::optional<std::filesystem::path> MountManager::existingMount(const corvane::USBDeviceDescriptor& device,
                                                                 bool located) const {
    const auto name = MountResource::nameOf(device, located);
    for (auto& row : mounts()) {
        if (MountResource::parseName(row.from) == name) {
            return std::move(row.on);
        }
    }
    return std::nullopt;
}

bool MountManager::isMounted(const corvane::USBDeviceDescriptor& device, const std::filesystem::path& folder,
                             bool located) const {
    return existingMount(device, located) || hasMountOn(folder);
}

bool MountManager::hasMountOn(const std::filesystem::path& folder) const {
    const auto rows = mounts();
    return std::any_of(rows.begin(), rows.end(), [&](const Mount& row) { return samePath(row.on, folder); });
}

std::optional<std::string> MountManager::sourceOn(const std::filesystem::path& folder) const {
    for (auto& row : mounts()) {
        if (samePath(row.on, folder)) {
            return std::move(row.from);
        }
    }
    return std::nullopt;
}

void MountManager::removeToken(const std::optional<std::string>& source,
                               const std::filesystem::path& folder) {
    if (!source || !source->starts_with("/")) {
        return; // mounted from a URL
    }
    const std::filesystem::path token(*source);
    const auto tokens = folder.parent_path() / ".tandalo";
    // What the mount table names is removed only when it is one of our token files beside the folder.
    if (token.extension() != ".tandalo" || !samePath(token.parent_path().parent_path(), tokens)) {
        return;
    }
    const auto modes = m_services.files.entries(tokens);
    if (!modes) {
        return;
    }
    // Each attempt and take-over choice has a folder of its own, and each may hold one of the device's.
    for (const auto& mode : *modes) {
        const auto directory = tokens / mode;
        try {
            m_services.files.removeFile(directory / token.filename());
        } catch (const std::exception& error) {
            m_log.info("token %{public}s left in place: %{public}s", (directory / token.filename()).string(),
                       error.what());
            continue;
        }
        if (const auto left = m_services.files.entries(directory); left && left->empty()) {
            removeFolderQuietly(directory);
        }
    }
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
