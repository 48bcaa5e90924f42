#pragma once

#include "platform/desktop/DesktopError.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDBusConnection;

namespace platform {
class URL;
}

namespace desktop {

struct WorkspaceOptions {
    /// The desktop's opener and any arguments before the target. xdg-open exits 0 when the handler took
    /// the target, 1 for bad arguments, 2 for a missing file, 3 when no handler is found, 4 when it failed.
    std::vector<std::string> openCommand = {"xdg-open"};
    /// How long a call to the file manager may go unanswered, on the injected clock. A file manager that
    /// is started for the call may take a while.
    platform::Clock::Duration callTimeout = std::chrono::seconds(10);
    /// An opener still running after this long has handed the target to a handler that it runs in the
    /// foreground (xdg-open does so outside the big desktops): the target is open.
    platform::Clock::Duration launchGrace = std::chrono::seconds(5);
};

/// Opens URLs and folders with the desktop's handlers, in place of the platform's workspace.
/// - showFolder(): the file manager's org.freedesktop.FileManager1.ShowFolders on the session bus, which
///   opens the folder in a window of the running file manager (or starts it). Where no file manager
///   offers that interface, or there is no session bus, the folder goes to the opener instead.
/// - open(): the desktop's opener (xdg-open), which picks the handler of the URL's scheme or type.
/// Failures are reported, never taken for success: a refusal of the file manager (it does not fall back,
/// which could open the folder twice), an opener that cannot start or exits with a failure.
///
/// Main thread only. Each completion is called exactly once, on the main thread, from the event loop and
/// never from inside the call; those still waiting when the workspace is destroyed are called from its
/// destructor, as cancelled. An opener still running then is ended; the handler it started is not.
class Workspace {
public:
    using Completion = std::function<void(std::optional<DesktopError>)>;

    /// Throws DesktopError (invalidArgument) when the options name no opener.
    Workspace(const QDBusConnection& sessionBus, platform::Clock& clock, WorkspaceOptions options = {},
              oslog::Logger log = oslog::Logger("platform", "workspace"));
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    /// Opens the URL with the desktop's handler for it.
    void open(const platform::URL& url, Completion completion);
    /// Shows the folder in the file manager. Throws DesktopError (invalidArgument) for a path that is not
    /// absolute; whether the folder exists is the file manager's to find out, so that a hung mount cannot
    /// block the caller.
    void showFolder(const std::filesystem::path& folder, Completion completion);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace desktop
