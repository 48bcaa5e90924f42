#pragma once

#include "platform/desktop/DesktopError.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QDBusConnection;

namespace desktop {

/// Whether the application may show notifications. On Linux no permission is asked or stored: the
/// desktop's notification server either answers or it does not.
/// - authorized: a server owns org.freedesktop.Notifications (or the bus starts one) and answers.
/// - denied: the session bus works but no server answers: nobody owns the name and none can be started,
///   the server refuses, answers in another form than its interface promises, or does not answer in time.
///   The user turns notifications on by running a notification server, as a desktop session does.
/// - notDetermined: there was nothing to ask: no session bus, or the centre went away before the answer.
enum class AuthorizationStatus { notDetermined, denied, authorized };

std::string_view name(AuthorizationStatus status);

/// What the application may know of the user's notification settings.
struct NotificationSettings {
    AuthorizationStatus authorizationStatus = AuthorizationStatus::notDetermined;
};

/// The answer to a request for authorisation: granted when the status is authorized, with the reason
/// otherwise.
struct AuthorizationResult {
    bool granted = false;
    std::optional<DesktopError> error;
};

enum class NotificationSound { none, defaultSound };

/// One notification to show at once.
struct NotificationRequest {
    /// The application's own key. A later request with the same identifier replaces the notification
    /// that this one showed, and clicks and removals name it.
    std::string identifier;
    std::string title;
    std::string body;
    NotificationSound sound = NotificationSound::none;
};

/// A user's action on a shown notification.
struct NotificationResponse {
    /// The action of a click on the notification itself.
    static constexpr std::string_view defaultActionIdentifier = "default";

    std::string identifier; // of the request that showed it
    std::string actionIdentifier;
};

/// How the centre presents the application to the notification server.
struct NotificationCenterOptions {
    std::string applicationName = "Tandalo";
    /// The name of the application's desktop entry without ".desktop"; the desktop groups and configures
    /// the application's notifications by it. Empty: not sent.
    std::string desktopEntry;
    /// An icon name of the theme, or a file URL. Empty: none.
    std::string applicationIcon;
    /// The label of the default action, for the servers that show it.
    std::string defaultActionLabel = "Open";
    /// The sound theme's name for NotificationSound::defaultSound.
    std::string defaultSoundName = "message-new-instant";
    /// How long a call to the server may go unanswered, on the injected clock.
    platform::Clock::Duration callTimeout = std::chrono::seconds(5);
};

/// The user-notification centre over the desktop's notification server (org.freedesktop.Notifications on
/// the session bus). It keeps, per identifier, the id the server gave the shown notification: a repost
/// replaces it (replaces_id), a removal closes it, a click comes back with the identifier, and the ids
/// are forgotten when the server closes the notification or the server itself goes away.
///
/// Main thread only: create it, call it and destroy it on the thread that runs the Qt event loop. Every
/// completion is called exactly once, on that thread, from the event loop and never from inside the call
/// that was given it; those still waiting when the centre is destroyed are called from its destructor, as
/// cancelled. A missing, dying or misbehaving server gives errors, never a hang: no call waits longer than
/// the call time-out.
class UserNotificationCenter {
public:
    using SettingsCompletion = std::function<void(NotificationSettings)>;
    using AuthorizationCompletion = std::function<void(AuthorizationResult)>;
    using AddCompletion = std::function<void(std::optional<DesktopError>)>;
    using ResponseHandler = std::function<void(const NotificationResponse&)>;

    UserNotificationCenter(const QDBusConnection& sessionBus, platform::Clock& clock,
                           NotificationCenterOptions options,
                           oslog::Logger log = oslog::Logger("platform", "notifications"));
    ~UserNotificationCenter();
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    /// Asks the server whether it is there (GetCapabilities) and answers with the status that follows.
    void getNotificationSettings(SettingsCompletion completion);
    /// The same question as getNotificationSettings(): there is no prompt to show on this desktop.
    void requestAuthorization(AuthorizationCompletion completion);

    /// Shows the notification now, replacing the one shown under the same identifier. The completion, when
    /// given, tells whether the server took it. While an earlier request of the identifier is still
    /// unanswered, this one waits for it (the server's id is needed to replace), and a newer request
    /// replaces it in the wait; a request replaced in the wait gets the answer of the one that replaced it.
    void add(NotificationRequest request, AddCompletion completion = {});
    /// Closes the shown notifications of these identifiers; one still being shown is closed once the
    /// server has answered for it. Unknown identifiers are ignored.
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers);

    /// Receives the actions on notifications that this centre showed and still knows. Replaces the
    /// previous handler; an empty one drops actions.
    void setResponseHandler(ResponseHandler handler);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace desktop
