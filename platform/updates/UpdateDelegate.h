#pragma once

#include "platform/updates/UpdateError.h"
#include "platform/updates/UpdateFeed.h"

namespace updates {

/// What started a check: the service's own schedule, or the user (who then sees every outcome).
enum class CheckKind { scheduled, userInitiated };

/// Who shows a found update to the user.
enum class Presenter {
    service,     // the service opens its update window
    application, // the application announces it its own way; the service keeps the update until asked
};

/// The application's side of the update service: the answers it gives and the events it hears. Every
/// member is called on the main thread, from inside the service's own work, and may call the service.
/// The defaults make a service that shows every update itself.
class UpdateDelegate {
public:
    virtual ~UpdateDelegate() = default;

    /// Whether the application may announce updates found by scheduled checks quietly, instead of the
    /// service putting its window in front of whatever the user is doing.
    virtual bool prefersQuietReminders() { return false; }
    /// Asked for an update found by a scheduled check when quiet reminders are preferred: true lets the
    /// service show its window now. inFocus tells whether the application is the active one right now.
    virtual bool shouldShowScheduledUpdate(const UpdateItem& /*item*/, bool inFocus) { return inFocus; }
    /// An update was found and a session begins; presenter says who shows it.
    virtual void updateFound(const UpdateItem& /*item*/, Presenter /*presenter*/, CheckKind /*check*/) {}
    /// The user has the update in front of them: its window was shown because they asked.
    virtual void userAttendedUpdate(const UpdateItem& /*item*/) {}
    /// The session of a found update ended: the user chose "Download" or "Later", or closed its window.
    virtual void sessionEnded() {}
    /// A check has run its course: it found nothing, failed (error is set), or its session ended.
    virtual void checkCycleEnded(CheckKind /*check*/, const UpdateError* /*error*/) {}
};

} // namespace updates
