#pragma once

#include "Tandalo/core/Task.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

/// Whether the application may show notifications. On the Linux desktop nobody grants or refuses a
/// permission: the notification server answers (authorized) or it does not (denied), and without a session
/// bus there is nobody to ask (notDetermined).
enum class NotificationAuthorizationStatus { notDetermined, denied, authorized };

/// What the application may know of the user's notification settings.
struct NotificationSettings {
    NotificationAuthorizationStatus authorizationStatus = NotificationAuthorizationStatus::notDetermined;
    bool operator==(const NotificationSettings&) const = default;
};

enum class NotificationSound { none, defaultSound };

/// One notification, delivered at once. A later request with the same identifier replaces the
/// notification this one showed; clicks and removals name it by its identifier.
struct NotificationRequest {
    std::string identifier;
    std::string title;
    std::string body;
    NotificationSound sound = NotificationSound::none;
    bool operator==(const NotificationRequest&) const = default;
};

/// The user's action on a shown notification.
struct NotificationResponse {
    /// The action of a click on the notification itself.
    static constexpr std::string_view defaultActionIdentifier = "default";

    std::string identifier; // of the request that showed it
    std::string actionIdentifier;
    bool operator==(const NotificationResponse&) const = default;
};

/// The user-notification centre as the application core sees it. Main thread: every member is called there,
/// and each completion is called exactly once, there, later (never from inside the call).
class NotificationCenter {
public:
    using SettingsCompletion = std::function<void(NotificationSettings)>;
    using AuthorizationCompletion = std::function<void(bool granted)>;
    using ResponseHandler = std::function<void(const NotificationResponse&)>;

    virtual ~NotificationCenter() = default;

    virtual void getNotificationSettings(SettingsCompletion completion) = 0;
    /// Asks for permission to alert with a sound; granted when notifications may be shown.
    virtual void requestAuthorization(AuthorizationCompletion completion) = 0;
    /// Shows the notification; whether that worked is not reported.
    virtual void add(NotificationRequest request) = 0;
    /// Closes the shown notifications of these identifiers; unknown ones are ignored.
    virtual void removeDeliveredNotifications(const std::vector<std::string>& identifiers) = 0;
    /// Receives the users' actions on the notifications shown; replaces the previous handler.
    virtual void setResponseHandler(ResponseHandler handler) = 0;
};

/// co_await notificationSettings(center): the settings, through a one-shot continuation.
Task<NotificationSettings> notificationSettings(NotificationCenter& center);

} // namespace tandalo::app
