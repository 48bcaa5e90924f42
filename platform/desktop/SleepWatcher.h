#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QDBusConnection;

namespace desktop {

/// What the application does around a system sleep.
struct SleepHandlers {
    /// Called when the system is about to sleep. The system waits (up to logind's InhibitDelayMaxSec)
    /// until ready is called: call it once, when the work before sleep is done, from any thread. Later
    /// calls, and calls after the system woke, do nothing. Without a handler the system is let go at once.
    std::function<void(std::function<void()> ready)> willSleep;
    /// Called when the system has woken, or when a sleep that was announced will not come (logind went
    /// away before it).
    std::function<void()> didWake;
};

/// How the watcher names itself in logind's list of inhibitors.
struct SleepWatcherOptions {
    std::string who = "Tandalo";
    std::string why = "Unmounting devices before sleep";
    /// How long a call to logind may go unanswered, on the injected clock.
    platform::Clock::Duration callTimeout = std::chrono::seconds(5);
};

/// The system's will-sleep and did-wake notifications, from systemd-logind on the system bus. It holds a
/// delay inhibitor lock (login1.Manager.Inhibit "sleep", "delay") from its start, so that on
/// PrepareForSleep(true) the system waits for the will-sleep handler; it releases the lock when the
/// handler reports ready, and takes a new one on PrepareForSleep(false), before calling did-wake. A lock
/// still held at wake (the handler never reported ready) is released then: the sleep is over. When logind
/// goes away while the system prepares to sleep, that sleep ends as a wake.
///
/// Without a system bus, or without logind, it runs without sleep handling and says so in its log;
/// should logind appear or restart later, it takes the lock from then on. Main thread only; the handlers
/// are called on the main thread, from the event loop.
class SleepWatcher {
public:
    SleepWatcher(const QDBusConnection& systemBus, platform::Clock& clock, SleepHandlers handlers,
                 SleepWatcherOptions options = {}, oslog::Logger log = oslog::Logger("platform", "sleep"));
    /// Releases the lock.
    ~SleepWatcher();
    SleepWatcher(const SleepWatcher&) = delete;
    SleepWatcher& operator=(const SleepWatcher&) = delete;

private:
    struct Impl;
    std::shared_ptr<Impl> m_impl; // shared with the ready callbacks, which may outlive the watcher
};

} // namespace desktop
