#include "platform/desktop/DBusCaller.h"

#include <QDBusError>
#include <QDBusPendingCallWatcher>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace desktop {

namespace {

// libdbus keeps its own timer for every pending call. Ours, on the injected clock, decides; libdbus's
// only frees the call should ours be lost, so it is set a margin later.
constexpr auto backstopMargin = std::chrono::seconds(5);

int backstopMilliseconds(platform::Clock::Duration timeout) {
    const auto total =
        std::chrono::duration_cast<std::chrono::milliseconds>(timeout + backstopMargin).count();
    return static_cast<int>(std::clamp<std::int64_t>(total, 1, std::numeric_limits<int>::max()));
}

} // namespace

DesktopError errorFromDBus(const QString& errorName, const QString& errorMessage) {
    const std::string text = (errorName + QStringLiteral(": ") + errorMessage).toStdString();
    static const QStringList missing = {
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
        QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
        QStringLiteral("org.freedesktop.DBus.Error.Spawn.ChildExited"),
        QStringLiteral("org.freedesktop.DBus.Error.Spawn.ExecFailed"),
    };
    if (errorName == QDBusError::errorString(QDBusError::Disconnected)) {
        return DesktopError(DesktopError::Kind::noBus, text);
    }
    if (errorName == QDBusError::errorString(QDBusError::Timeout) ||
        errorName == QDBusError::errorString(QDBusError::TimedOut)) {
        return DesktopError(DesktopError::Kind::timedOut, text);
    }
    if (missing.contains(errorName)) {
        return DesktopError(DesktopError::Kind::serviceUnavailable, text);
    }
    return DesktopError(DesktopError::Kind::refused, text);
}

DBusCaller::DBusCaller(const QDBusConnection& bus, ClockTimers& timers, platform::Clock::Duration timeout)
    : m_bus(bus), m_timers(timers), m_timeout(timeout) {}

DBusCaller::~DBusCaller() {
    cancelAll();
}

void DBusCaller::call(const QDBusMessage& message, Answer answer) {
    if (m_closing) {
        answer(DBusResult{{}, DesktopError(DesktopError::Kind::cancelled, "the caller went away")});
        return;
    }
    const auto id = m_nextId++;
    if (!m_bus.isConnected()) {
        // Qt gives no pending call to watch on a connection it does not have, so the answer is posted
        // here; until it runs, the call is pending like any other and cancelled with them.
        m_pending.emplace(id, Pending{nullptr, 0, std::move(answer)});
        QMetaObject::invokeMethod(
            &m_context,
            [this, id] {
                const QDBusError error = m_bus.lastError();
                finish(id, DBusResult{
                               {},
                               DesktopError(DesktopError::Kind::noBus,
                                            "not connected to the bus: " + error.message().toStdString())});
            },
            Qt::QueuedConnection);
        return;
    }
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(message, backstopMilliseconds(m_timeout)), &m_context);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, &m_context,
        [this, id](QDBusPendingCallWatcher* finished) {
            const QDBusMessage reply = finished->reply();
            if (reply.type() == QDBusMessage::ReplyMessage) {
                finish(id, DBusResult{reply, std::nullopt});
            } else {
                finish(id, DBusResult{{}, errorFromDBus(reply.errorName(), reply.errorMessage())});
            }
        });
    const auto member = message.member().toStdString();
    const auto timer = m_timers.start(m_timeout, [this, id, member] {
        finish(id, DBusResult{
                       {}, DesktopError(DesktopError::Kind::timedOut, member + " was not answered in time")});
    });
    m_pending.emplace(id, Pending{watcher, timer, std::move(answer)});
}

void DBusCaller::cancelAll() {
    m_closing = true;
    while (!m_pending.empty()) {
        finish(m_pending.begin()->first,
               DBusResult{{}, DesktopError(DesktopError::Kind::cancelled, "the caller went away")});
    }
}

void DBusCaller::finish(std::uint64_t id, DBusResult result) {
    auto node = m_pending.extract(id);
    if (node.empty()) {
        return;
    }
    Pending pending = std::move(node.mapped());
    m_timers.cancel(pending.timer);
    if (pending.watcher != nullptr) {
        // The watcher's own signal may be what called us, so it is deleted from the event loop.
        pending.watcher->deleteLater();
    }
    // Last: the answer may destroy this object.
    runGuarded("the answer to a D-Bus call", [&] { pending.answer(std::move(result)); });
}

} // namespace desktop
