#include "tests/platform/desktop/support/PrivateBus.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <stdexcept>

namespace desktop::testing {

namespace {

// Generous: they only matter when something is broken, and the machine may be busy.
constexpr int startMilliseconds = 20000;
constexpr int stopMilliseconds = 5000;
constexpr auto recheckInterval = std::chrono::milliseconds(5);

// The policy of Debian's session bus. Its bare <allow eavesdrop="true"/> is what allows receiving at all:
// without it the daemon rejects even the reply to a client's Hello.
const char* configuration = R"(<busconfig>
  <type>%1</type>
  <listen>unix:path=%2</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const QDeadlineTimer deadline(bound);
    QEventLoop loop;
    // Most conditions change through an event of this thread; the tick also catches those that change
    // elsewhere (a file another process writes) without polling faster than it.
    QTimer tick;
    tick.start(recheckInterval);
    while (true) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (condition()) {
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

PrivateBus::PrivateBus(Kind kind)
    : m_variable(kind == Kind::session ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS") {
    const QString configPath = m_folder.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!m_folder.isValid() || !config.open(QIODevice::WriteOnly) ||
        config.write(QString::fromLatin1(configuration)
                         .arg(kind == Kind::session ? QStringLiteral("session") : QStringLiteral("system"),
                              m_folder.filePath(QStringLiteral("socket")))
                         .toUtf8()) < 0) {
        throw std::runtime_error("cannot write " + configPath.toStdString());
    }
    config.close();
    m_daemon.setProgram(QStringLiteral("dbus-daemon"));
    m_daemon.setArguments({QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                           QStringLiteral("--nopidfile"), QStringLiteral("--nosyslog"),
                           QStringLiteral("--print-address")});
    m_daemon.start();
    // It prints its address once it listens. Its standard error is read only when it fails: as root it
    // complains about the limit of open files.
    bool listening = m_daemon.waitForStarted(startMilliseconds);
    while (listening && !m_daemon.canReadLine()) {
        listening = m_daemon.waitForReadyRead(startMilliseconds);
    }
    if (!listening) {
        throw std::runtime_error("dbus-daemon did not start: " + m_daemon.errorString().toStdString() + " " +
                                 m_daemon.readAllStandardError().toStdString());
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (qEnvironmentVariableIsSet(m_variable)) {
        m_previousValue = qgetenv(m_variable);
    }
    qputenv(m_variable, m_address.toUtf8());
}

PrivateBus::~PrivateBus() {
    stop();
    if (m_previousValue) {
        qputenv(m_variable, *m_previousValue);
    } else {
        qunsetenv(m_variable);
    }
}

QDBusConnection PrivateBus::connect() {
    static std::atomic<int> counter = 0;
    const QString name = QStringLiteral("tandalo-test-%1").arg(++counter);
    m_connectionNames.push_back(name);
    return QDBusConnection::connectToBus(m_address, name);
}

void PrivateBus::stop() {
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(stopMilliseconds)) {
            m_daemon.kill();
            m_daemon.waitForFinished(stopMilliseconds);
        }
    }
    for (const QString& name : m_connectionNames) {
        QDBusConnection::disconnectFromBus(name);
    }
    m_connectionNames.clear();
}

} // namespace desktop::testing
