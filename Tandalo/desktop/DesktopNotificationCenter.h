#pragma once

#include "Tandalo/core/NotificationCenter.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <memory>

class QDBusConnection;

namespace tandalo::app {

/// The core's notification centre on the desktop's notification server: it owns a
/// desktop::UserNotificationCenter on the session bus. Authorised means a server answers, denied that the
/// bus works but no server does, and not determined that there is no session bus. Main thread only; the
/// completions still waiting when it is destroyed are answered as the desktop centre answers them then
/// (not determined, not granted).
class DesktopNotificationCenter final : public NotificationCenter {
public:
    DesktopNotificationCenter(const QDBusConnection& sessionBus, platform::Clock& clock,
                              desktop::NotificationCenterOptions options,
                              oslog::Logger log = oslog::Logger("com.brenwick.Tandalo", "notifications"));
    ~DesktopNotificationCenter() override;

    void getNotificationSettings(SettingsCompletion completion) override;
    void requestAuthorization(AuthorizationCompletion completion) override;
    void add(NotificationRequest request) override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void setResponseHandler(ResponseHandler handler) override;

private:
    std::unique_ptr<desktop::UserNotificationCenter> m_center;
};

} // namespace tandalo::app
