#include "Tandalo/core/Updater.h"

#include <utility>

namespace tandalo::app {
namespace {

/// The framework of an application without a feed: it never checks and never reports.
class NoUpdateFramework final : public UpdateFramework {
public:
    void startUpdater() override {}
    void observeCanCheckForUpdates(std::function<void(bool)> observer) override { observer(false); }
    bool sessionInProgress() const override { return false; }
    void checkForUpdates() override {}
};

} // namespace

Updater::Updater(Services services) : m_services(std::move(services)) {
    m_controller = m_services->makeFramework ? m_services->makeFramework(*this) : nullptr;
    if (!m_controller) {
        m_controller = std::make_unique<NoUpdateFramework>();
    }
    m_controller->startUpdater();
    m_controller->observeCanCheckForUpdates([this](bool canCheck) { canCheckForUpdates.set(canCheck); });
}

Updater::Updater() : m_controller(std::make_unique<NoUpdateFramework>()) {
    m_controller->observeCanCheckForUpdates([this](bool canCheck) { canCheckForUpdates.set(canCheck); });
}

// The controller goes first: its windows may report their closing to this object.
Updater::~Updater() {
    m_controller.reset();
}

void Updater::checkForUpdates() {
    const auto alert = m_controller->sessionInProgress() ? visibleUpdateAlert() : std::nullopt;
    if (!alert || !m_services) {
        m_controller->checkForUpdates();
        return;
    }
    // Closing the alert ends the framework's session; a check started before that end would only bring the
    // same alert back. So the check is owed until the framework reports the end of the cycle, and the 3 s
    // wait covers a framework that never does.
    m_recheckWhenSessionEnds = true;
    auto& executor = m_services->executor;
    executor.postAt(executor.clock().deadlineAfter(recheckDelay), [self = std::weak_ptr(m_self)] {
        if (const auto updater = self.lock()) {
            (*updater)->recheckIfRequested();
        }
    });
    if (alert->performClose) {
        alert->performClose();
    }
}

void Updater::willHandleShowingUpdate(bool handleShowingUpdate, const std::string& displayVersion) {
    if (!handleShowingUpdate) {
        announce(displayVersion);
    }
}

void Updater::announce(const std::string& version) {
    waitingVersion.set(version);
    if (!m_services) {
        return;
    }
    auto& center = m_services->notifications;
    NotificationRequest request{std::string(notificationIdentifier),
                                appDisplayName(m_services->bundle) + " " + version + " is available",
                                "Click to see what's new.", NotificationSound::none};
    center.getNotificationSettings([&center, request = std::move(request)](NotificationSettings settings) {
        if (settings.authorizationStatus == NotificationAuthorizationStatus::authorized) {
            center.add(request);
        }
    });
}

void Updater::clearWaitingVersion() {
    waitingVersion.set(std::nullopt);
    if (m_services) {
        m_services->notifications.removeDeliveredNotifications({std::string(notificationIdentifier)});
    }
}

void Updater::recheckIfRequested() {
    if (std::exchange(m_recheckWhenSessionEnds, false)) {
        m_controller->checkForUpdates();
    }
}

std::optional<AppWindow> Updater::visibleUpdateAlert() const {
    if (!m_services || !m_services->windows) {
        return std::nullopt;
    }
    for (auto& window : m_services->windows()) {
        if (window.isVisible && window.className.find(updateAlertClassName) != std::string::npos) {
            return std::move(window);
        }
    }
    return std::nullopt;
}

} // namespace tandalo::app
