#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;

namespace desktop {

/// One subscription to a D-Bus signal of a named service, for as long as this object lives. Signals come
/// only from the name's current owner (Qt's D-Bus module follows owner changes), in any signature: the
/// handler checks the arguments itself, so a peer that sends garbage is answered with nothing but a
/// refusal. Main thread only.
class DBusSignal : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const QDBusMessage&)>;

    DBusSignal(const QDBusConnection& bus, const QString& service, const QString& path,
               const QString& interface, const QString& name, Handler handler);
    ~DBusSignal() override;

    /// Whether the bus accepted the subscription (false without a bus).
    bool isSubscribed() const { return m_subscribed; }

private slots:
    void receive(const QDBusMessage& message);

private:
    QDBusConnection m_bus;
    const QString m_service;
    const QString m_path;
    const QString m_interface;
    const QString m_name;
    Handler m_handler;
    bool m_subscribed = false;
};

} // namespace desktop
