#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace desktop::testing {

/// Runs the Qt event loop until condition() holds, for at most bound of real time: the bound only
/// matters when the test fails. It checks the condition after every event, and every few milliseconds
/// for conditions that change outside this process, and deletes objects whose deletion was deferred, as
/// the application's own event loop would. Main thread only.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds bound = std::chrono::seconds(10));

/// A D-Bus daemon of the test's own (dbus-daemon from Debian's dbus package) on a socket in a temporary
/// folder, with a configuration file written there that lets every connection own any name and call
/// anything. While it lives, DBUS_SESSION_BUS_ADDRESS or DBUS_SYSTEM_BUS_ADDRESS (by its kind) names it,
/// so that code asking Qt for a default bus finds it; Qt keeps its default connections for the whole
/// process, so a program that uses them keeps one bus of each kind from before their first use to the end.
/// Owns the daemon process, the folder and the connections it made.
class PrivateBus {
public:
    enum class Kind { session, system };

    /// Starts the daemon and waits until it listens. Throws std::runtime_error when it cannot.
    explicit PrivateBus(Kind kind);
    /// Stops the daemon, disconnects the connections it made and restores the environment variable.
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return m_address; }

    /// A new connection to this bus, under a connection name of its own: code under test and each fake
    /// get their own, as separate processes would. It stays open until stop() or the bus's destruction.
    QDBusConnection connect();
    /// Stops the daemon, as a bus that goes away: every connection to it is lost.
    void stop();

private:
    const char* m_variable;
    std::optional<QByteArray> m_previousValue;
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
    std::vector<QString> m_connectionNames;
};

} // namespace desktop::testing
