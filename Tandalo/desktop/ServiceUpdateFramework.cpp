#include "Tandalo/desktop/ServiceUpdateFramework.h"

#include <utility>

namespace tandalo::app {

ServiceUpdateFramework::ServiceUpdateFramework(updates::UpdateConfiguration configuration,
                                               platform::Preferences settings,
                                               UpdateFrameworkDelegate& delegate,
                                               updates::UpdatePlatform platform)
    : m_delegate(delegate),
      m_service(std::make_unique<updates::UpdateService>(std::move(configuration), std::move(settings),
                                                         static_cast<updates::UpdateDelegate&>(*this),
                                                         std::move(platform))) {}

ServiceUpdateFramework::~ServiceUpdateFramework() = default;

UpdateFrameworkFactory ServiceUpdateFramework::factory(updates::UpdateConfiguration configuration,
                                                       platform::Preferences settings,
                                                       updates::UpdatePlatform platform) {
    return [configuration = std::move(configuration), settings = std::move(settings),
            platform = std::move(platform)](UpdateFrameworkDelegate& delegate) {
        return std::make_unique<ServiceUpdateFramework>(configuration, settings, delegate, platform);
    };
}

void ServiceUpdateFramework::observeCanCheckForUpdates(std::function<void(bool)> observer) {
    m_service->setCanCheckObserver(std::move(observer));
}

bool ServiceUpdateFramework::prefersQuietReminders() {
    return m_delegate.supportsGentleScheduledUpdateReminders();
}

bool ServiceUpdateFramework::shouldShowScheduledUpdate(const updates::UpdateItem&, bool inFocus) {
    return m_delegate.shouldHandleShowingScheduledUpdate(inFocus);
}

void ServiceUpdateFramework::updateFound(const updates::UpdateItem& item, updates::Presenter presenter,
                                         updates::CheckKind) {
    m_delegate.willHandleShowingUpdate(presenter == updates::Presenter::service, item.displayVersion);
}

void ServiceUpdateFramework::userAttendedUpdate(const updates::UpdateItem&) {
    m_delegate.didReceiveUserAttentionForUpdate();
}

void ServiceUpdateFramework::sessionEnded() {
    m_delegate.willFinishUpdateSession();
}

// The checker does not look at how a cycle ended: a failed check has shown its reason to the user already.
void ServiceUpdateFramework::checkCycleEnded(updates::CheckKind, const updates::UpdateError*) {
    m_delegate.didFinishUpdateCycle();
}

} // namespace tandalo::app
