#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/FileOperations.h"
#include "Tandalo/core/FolderPanel.h"
#include "Tandalo/core/MountTable.h"
#include "Tandalo/core/PreferenceStore.h"
#include "Tandalo/core/Published.h"
#include "platform/foundation/Environment.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo::app {

/// The mount folder: the folder, chosen by the user, inside which every device gets a folder of its own.
/// It keeps the choice across launches in the preference "mountRootBookmark" (on Linux the folder's
/// path), asks the user through the folder panel, and makes each device's folder. An observable object:
/// each change of url is announced on objectWillChange before it happens. Main thread only.
class MountLocation {
public:
    struct Services {
        PreferenceStore& preferences; // the application's standard preferences
        FileOperations& files;
        MountTable& mountTable;
        FolderPanel& panel;
        const platform::Environment& environment = platform::Environment::process();
        const BundleInformation& bundle = BundleInformation::main();
    };

    /// A device's folder, and the index it was made with (past the one asked for when that was in use).
    struct DeviceFolder {
        std::filesystem::path path;
        int index = 1;
        bool operator==(const DeviceFolder&) const = default;
    };

    static constexpr std::string_view bookmarkKey = "mountRootBookmark";
    static constexpr std::string_view sandboxVariable = "APP_SANDBOX_CONTAINER_ID";

    /// No folder until restore() or choose().
    explicit MountLocation(Services services) : m_services(services) {}

    Signal<> objectWillChange;
    Published<std::optional<std::filesystem::path>> url{objectWillChange, std::nullopt};
    /// The folder whose access the application holds (the security scope, where the platform has one).
    const std::optional<std::filesystem::path>& scoped() const noexcept { return m_scoped; }

    /// Takes the folder kept from an earlier run; without one, the default folder, made now, unless the
    /// application runs in a sandbox (then the user must choose).
    void restore();
    /// Asks the user for the folder; false when they cancelled. A choice of the home folder, Desktop,
    /// Documents or Downloads becomes a folder named after the application inside it.
    bool choose();
    /// Makes the folder for a device of that name: "<name>" for index 1, "<name> (<index>)" after, the name
    /// cut (at a character) to fit the file system's 255 bytes with its suffix; a folder that is in use
    /// (something mounted on it, or anything in it) is never reused, the next index is taken instead. Throws
    /// MountError when no mount folder is set or when the place is unsafe (a link, or a folder another user
    /// owns or may change, on the way or in the folder's place), platform::FoundationError when the folder
    /// cannot be made.
    DeviceFolder folder(std::string_view name, int index);
    /// The parent's subfolder named after the application, made now; nothing when it cannot be made.
    std::optional<std::filesystem::path> appFolder(const std::filesystem::path& parent);
    bool isUserFolder(const std::filesystem::path& folder) const;
    /// The home folder's subfolder named after the application.
    std::filesystem::path defaultFolder() const;
    bool isSandboxed() const { return m_services.environment.contains(sandboxVariable); }

private:
    void use(const std::filesystem::path& folder);
    void storeBookmark(const std::filesystem::path& folder);
    bool isInUse(const std::filesystem::path& folder);

    Services m_services;
    std::optional<std::filesystem::path> m_scoped;
};

} // namespace tandalo::app
