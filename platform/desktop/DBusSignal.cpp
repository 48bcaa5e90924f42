#include "platform/desktop/DBusSignal.h"

#include "platform/desktop/DesktopError.h"

#include <QDBusMessage>

namespace desktop {

DBusSignal::DBusSignal(const QDBusConnection& bus, const QString& service, const QString& path,
                       const QString& interface, const QString& name, Handler handler)
    : m_bus(bus), m_service(service), m_path(path), m_interface(interface), m_name(name),
      m_handler(std::move(handler)) {
    // A slot that takes the whole message receives the signal in any signature.
    m_subscribed = m_bus.connect(m_service, m_path, m_interface, m_name, this, SLOT(receive(QDBusMessage)));
}

DBusSignal::~DBusSignal() {
    if (m_subscribed) {
        m_bus.disconnect(m_service, m_path, m_interface, m_name, this, SLOT(receive(QDBusMessage)));
    }
}

void DBusSignal::receive(const QDBusMessage& message) {
    runGuarded("a D-Bus signal handler", [&] { m_handler(message); });
}

} // namespace desktop
