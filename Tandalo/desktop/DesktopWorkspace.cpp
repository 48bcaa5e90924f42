#include "Tandalo/desktop/DesktopWorkspace.h"

#include "platform/foundation/URL.h"

#include <QDBusConnection>
#include <QObject>

namespace tandalo::app {

DesktopWorkspace::DesktopWorkspace(const QDBusConnection& sessionBus, platform::Clock& clock,
                                   desktop::WorkspaceOptions options, oslog::Logger log)
    : m_log(std::move(log)), m_context(std::make_unique<QObject>()),
      m_workspace(std::make_unique<desktop::Workspace>(sessionBus, clock, std::move(options), m_log)) {}

DesktopWorkspace::~DesktopWorkspace() {
    *m_alive = false;
    m_workspace.reset();
}

desktop::Workspace::Completion DesktopWorkspace::forward(std::string target, Completion completion) const {
    return [alive = m_alive, log = m_log, target = std::move(target),
            completion = std::move(completion)](std::optional<desktop::DesktopError> error) {
        if (!*alive) {
            return;
        }
        if (error) {
            log.error("%{public}s was not opened: %{public}s", target, error->what());
        }
        completion(!error);
    };
}

void DesktopWorkspace::answerLater(Completion completion, bool opened) const {
    QMetaObject::invokeMethod(
        m_context.get(), [completion = std::move(completion), opened] { completion(opened); },
        Qt::QueuedConnection);
}

void DesktopWorkspace::open(const std::string& url, Completion completion) {
    const auto parsed = platform::URL::parse(url);
    if (!parsed || !parsed->scheme()) {
        m_log.error("%{public}s was not opened: it is no URL", url);
        answerLater(std::move(completion), false);
        return;
    }
    m_workspace->open(*parsed, forward(url, std::move(completion)));
}

void DesktopWorkspace::showFolder(const std::filesystem::path& folder, Completion completion) {
    // The copy answers when the desktop refuses the folder before it takes the completion.
    try {
        m_workspace->showFolder(folder, forward(folder.string(), completion));
    } catch (const desktop::DesktopError& error) {
        m_log.error("%{public}s was not shown: %{public}s", folder.string(), error.what());
        answerLater(std::move(completion), false);
    }
}

} // namespace tandalo::app
