#include "tests/platform/desktop/support/FakeDBusService.h"

#include "tests/platform/desktop/support/PrivateBus.h"

#include <stdexcept>

namespace desktop::testing {

FakeDBusService::FakeDBusService(PrivateBus& bus, QString service, QString path, QString interface)
    : m_connection(bus.connect()), m_service(std::move(service)), m_path(std::move(path)),
      m_interface(std::move(interface)) {
    if (!m_connection.isConnected() ||
        !m_connection.registerVirtualObject(m_path, this, QDBusConnection::SingleNode) ||
        !m_connection.registerService(m_service)) {
        throw std::runtime_error("the fake " + m_service.toStdString() + " could not register on the bus");
    }
}

FakeDBusService::~FakeDBusService() {
    vanish();
}

std::vector<FakeDBusService::Call> FakeDBusService::calls(const QString& member) const {
    std::vector<Call> matching;
    for (const Call& call : m_calls) {
        if (call.member == member) {
            matching.push_back(call);
        }
    }
    return matching;
}

void FakeDBusService::emitSignal(const QString& name, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(m_path, m_interface, name);
    message.setArguments(arguments);
    m_connection.send(message);
}

void FakeDBusService::vanish() {
    if (!m_connection.isConnected()) {
        return;
    }
    m_connection.unregisterObject(m_path);
    // Qt closes a connection when its last handle goes, so this one must go before the disconnect.
    const QString name = m_connection.name();
    m_connection = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

QString FakeDBusService::introspect(const QString&) const {
    return {};
}

bool FakeDBusService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    m_calls.push_back(Call{message.member(), message.arguments()});
    switch (m_answers.value(message.member(), Answer::normally)) {
    case Answer::normally:
        connection.send(message.createReply(answer(m_calls.back())));
        break;
    case Answer::withError:
        connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                                 QStringLiteral("refused by the test")));
        break;
    case Answer::never:
        break;
    case Answer::withGarbage:
        connection.send(message.createReply(QVariantList{QStringLiteral("garbage"), 42}));
        break;
    }
    return true;
}

QVariantList FakeDBusService::answer(const Call&) {
    return {};
}

} // namespace desktop::testing
