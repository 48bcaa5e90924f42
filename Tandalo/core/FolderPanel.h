#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tandalo::app {

/// What the folder panel shows: its default button, its message, the folder it opens in and the name
/// preset for a new folder.
struct FolderPanelRequest {
    std::string prompt;
    std::string message;
    std::filesystem::path startFolder;
    std::string presetName;
};

/// The modal panel in which the user chooses one folder (and may create one). The user interface
/// supplies it; the core only asks. Main thread; blocks until the user has answered.
class FolderPanel {
public:
    virtual ~FolderPanel() = default;

    /// Brings the application to the front and runs the panel; nothing when the user cancelled.
    virtual std::optional<std::filesystem::path> chooseFolder(const FolderPanelRequest& request) = 0;
};

} // namespace tandalo::app
