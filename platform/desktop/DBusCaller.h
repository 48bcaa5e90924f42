#pragma once

#include "platform/desktop/ClockTimers.h"
#include "platform/desktop/DesktopError.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

class QDBusPendingCallWatcher;

namespace desktop {

/// What a method call came back with: the reply, or the reason there is none.
struct DBusResult {
    QDBusMessage reply; // a method return; meaningless when error is set
    std::optional<DesktopError> error;
};

/// The error a D-Bus error reply stands for. Replies that say the peer is missing (no owner, no such
/// object or method, no reply) give serviceUnavailable; a lost bus gives noBus; other errors are refusals.
DesktopError errorFromDBus(const QString& errorName, const QString& errorMessage);

/// Method calls on one bus connection, each answered exactly once on the main thread: with the reply, the
/// peer's error, a time-out on the injected clock, or cancellation when the caller goes away. A peer
/// that never answers therefore cannot hold a caller for longer than the time-out. Owns the calls in
/// flight. Main thread only.
class DBusCaller {
public:
    using Answer = std::function<void(DBusResult)>;

    DBusCaller(const QDBusConnection& bus, ClockTimers& timers, platform::Clock::Duration timeout);
    /// Answers the calls still in flight as cancelled.
    ~DBusCaller();
    DBusCaller(const DBusCaller&) = delete;
    DBusCaller& operator=(const DBusCaller&) = delete;

    /// Sends the call. The answer always comes later from the event loop, never from inside call().
    void call(const QDBusMessage& message, Answer answer);
    /// Answers every call in flight as cancelled, and every later call at once. Owners call it first in
    /// their destructor, while the state their answers touch is still whole.
    void cancelAll();

    const QDBusConnection& bus() const { return m_bus; }

private:
    struct Pending {
        QDBusPendingCallWatcher* watcher = nullptr; // owned by m_context until finish() deletes it
        ClockTimers::Id timer = 0;
        Answer answer;
    };

    void finish(std::uint64_t id, DBusResult result);

    QDBusConnection m_bus;
    ClockTimers& m_timers;
    platform::Clock::Duration m_timeout;
    QObject m_context;
    std::map<std::uint64_t, Pending> m_pending;
    std::uint64_t m_nextId = 1;
    bool m_closing = false;
};

} // namespace desktop
