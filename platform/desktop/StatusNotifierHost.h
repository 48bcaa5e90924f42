#pragma once

#include "platform/desktop/ClockTimers.h"

#include <QDBusConnection>

#include <chrono>
#include <functional>
#include <memory>

namespace desktop {

/// Asks the session bus once whether the status area is one that takes icons over the bus (a
/// status-notifier watcher, org.kde.StatusNotifierWatcher, with a host registered), as Qt asks when it
/// chooses how to show a tray icon. Such areas draw an icon given by name in the panel's own colours;
/// the others (X embedding) show the pixels as given. The handler is called once, from the event loop,
/// with the answer; a missing watcher, an error or a time-out on the injected clock is false. Main thread
/// only.
class StatusNotifierHostProbe {
public:
    using Handler = std::function<void(bool hostRegistered)>;

    StatusNotifierHostProbe(const QDBusConnection& sessionBus, ClockTimers& timers, Handler answered,
                            platform::Clock::Duration callTimeout = std::chrono::seconds(5));
    ~StatusNotifierHostProbe();
    StatusNotifierHostProbe(const StatusNotifierHostProbe&) = delete;
    StatusNotifierHostProbe& operator=(const StatusNotifierHostProbe&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace desktop
