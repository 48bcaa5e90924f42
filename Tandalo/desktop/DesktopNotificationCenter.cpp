#include "Tandalo/desktop/DesktopNotificationCenter.h"

#include <QDBusConnection>

namespace tandalo::app {

namespace {

NotificationAuthorizationStatus statusOf(desktop::AuthorizationStatus status) {
    switch (status) {
    case desktop::AuthorizationStatus::authorized:
        return NotificationAuthorizationStatus::authorized;
    case desktop::AuthorizationStatus::denied:
        return NotificationAuthorizationStatus::denied;
    case desktop::AuthorizationStatus::notDetermined:
        break;
    }
    return NotificationAuthorizationStatus::notDetermined;
}

} // namespace

DesktopNotificationCenter::DesktopNotificationCenter(const QDBusConnection& sessionBus,
                                                     platform::Clock& clock,
                                                     desktop::NotificationCenterOptions options,
                                                     oslog::Logger log)
    : m_center(std::make_unique<desktop::UserNotificationCenter>(sessionBus, clock, std::move(options),
                                                                 std::move(log))) {}

DesktopNotificationCenter::~DesktopNotificationCenter() = default;

void DesktopNotificationCenter::getNotificationSettings(SettingsCompletion completion) {
    m_center->getNotificationSettings(
        [completion = std::move(completion)](desktop::NotificationSettings settings) {
            completion(NotificationSettings{statusOf(settings.authorizationStatus)});
        });
}

void DesktopNotificationCenter::requestAuthorization(AuthorizationCompletion completion) {
    m_center->requestAuthorization([completion = std::move(completion)](desktop::AuthorizationResult result) {
        completion(result.granted);
    });
}

void DesktopNotificationCenter::add(NotificationRequest request) {
    // The desktop centre logs a server that refuses; nobody here waits for the answer.
    m_center->add(desktop::NotificationRequest{
        std::move(request.identifier), std::move(request.title), std::move(request.body),
        request.sound == NotificationSound::defaultSound ? desktop::NotificationSound::defaultSound
                                                         : desktop::NotificationSound::none});
}

void DesktopNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    m_center->removeDeliveredNotifications(identifiers);
}

void DesktopNotificationCenter::setResponseHandler(ResponseHandler handler) {
    if (!handler) {
        m_center->setResponseHandler({});
        return;
    }
    m_center->setResponseHandler(
        [handler = std::move(handler)](const desktop::NotificationResponse& response) {
            handler(NotificationResponse{response.identifier, response.actionIdentifier});
        });
}

} // namespace tandalo::app
