#pragma once

#include "Tandalo/core/SleepNotifications.h"
#include "platform/desktop/SleepWatcher.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <memory>

class QDBusConnection;

namespace tandalo::app {

/// The system's sleep and wake from systemd-logind on the system bus: it owns a desktop::SleepWatcher,
/// which holds a delay lock from the start, and announces its will-sleep (with the delay that keeps the
/// system waiting) and did-wake on the core's notifications. Without logind the application runs without
/// sleep handling, and the watcher says so in the log. Main thread only.
class DesktopSleepNotifications final : public SleepNotifications {
public:
    DesktopSleepNotifications(const QDBusConnection& systemBus, platform::Clock& clock,
                              desktop::SleepWatcherOptions options = {},
                              oslog::Logger log = oslog::Logger("com.brenwick.Tandalo", "sleep"));
    ~DesktopSleepNotifications();
    DesktopSleepNotifications(const DesktopSleepNotifications&) = delete;
    DesktopSleepNotifications& operator=(const DesktopSleepNotifications&) = delete;

private:
    std::unique_ptr<desktop::SleepWatcher> m_watcher;
};

} // namespace tandalo::app
