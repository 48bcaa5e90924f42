#pragma once

#include "Tandalo/core/Workspace.h"
#include "platform/desktop/Workspace.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <memory>

class QDBusConnection;
class QObject;

namespace tandalo::app {

/// The core's opener on the desktop: it owns a desktop::Workspace (the file manager over the session bus,
/// else the desktop's opener) and logs what could not be opened. Main thread only. A completion still
/// waiting when it is destroyed is dropped, so none calls back into an opener that is going away.
class DesktopWorkspace final : public Workspace {
public:
    DesktopWorkspace(const QDBusConnection& sessionBus, platform::Clock& clock,
                     desktop::WorkspaceOptions options = {},
                     oslog::Logger log = oslog::Logger("com.brenwick.Tandalo", "workspace"));
    ~DesktopWorkspace() override;

    void open(const std::string& url, Completion completion) override;
    void showFolder(const std::filesystem::path& folder, Completion completion) override;

private:
    desktop::Workspace::Completion forward(std::string target, Completion completion) const;
    void answerLater(Completion completion, bool opened) const;

    oslog::Logger m_log;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::unique_ptr<QObject> m_context; // answers that come without asking the desktop are posted to it
    std::unique_ptr<desktop::Workspace> m_workspace;
};

} // namespace tandalo::app
