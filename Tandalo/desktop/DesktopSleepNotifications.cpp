#include "Tandalo/desktop/DesktopSleepNotifications.h"

#include <QDBusConnection>

namespace tandalo::app {

DesktopSleepNotifications::DesktopSleepNotifications(const QDBusConnection& systemBus, platform::Clock& clock,
                                                     desktop::SleepWatcherOptions options,
                                                     oslog::Logger log) {
    desktop::SleepHandlers handlers;
    handlers.willSleep = [this](std::function<void()> ready) {
        willSleep.send(SleepDelay(std::move(ready)));
    };
    handlers.didWake = [this] { didWake.send(); };
    m_watcher = std::make_unique<desktop::SleepWatcher>(systemBus, clock, std::move(handlers),
                                                        std::move(options), std::move(log));
}

DesktopSleepNotifications::~DesktopSleepNotifications() = default;

} // namespace tandalo::app
