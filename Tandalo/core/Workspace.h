#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tandalo::app {

/// Opens URLs and folders with the desktop's handlers. Main thread: each completion is called exactly
/// once, there, later (never from inside the call), with whether the target was opened.
class Workspace {
public:
    using Completion = std::function<void(bool opened)>;

    virtual ~Workspace() = default;

    /// Opens the URL with the handler of its scheme or type; a text that is no URL is not opened.
    virtual void open(const std::string& url, Completion completion) = 0;
    /// Shows the folder in the file manager.
    virtual void showFolder(const std::filesystem::path& folder, Completion completion) = 0;
};

} // namespace tandalo::app
