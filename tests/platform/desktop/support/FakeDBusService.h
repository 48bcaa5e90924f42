#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMap>
#include <QString>
#include <QVariantList>

#include <vector>

namespace desktop::testing {

class PrivateBus;

/// A fake D-Bus service for tests, written with Qt's D-Bus module: on a connection of its own it owns a
/// well-known name and serves one object, records every method call, answers each method as the test
/// decides and sends the signals the test asks for. Subclasses give the normal answers.
class FakeDBusService : public QDBusVirtualObject {
public:
    /// How the service answers a method.
    enum class Answer {
        normally,
        /// An error reply (org.freedesktop.DBus.Error.AccessDenied).
        withError,
        /// No reply at all, as a hung service.
        never,
        /// A reply whose arguments fit no method ("garbage", 42).
        withGarbage,
    };

    struct Call {
        QString member;
        QVariantList arguments;
    };

    /// Connects to the bus, registers the object and takes the name. Throws std::runtime_error when it
    /// cannot, say because another service still holds the name.
    FakeDBusService(PrivateBus& bus, QString service, QString path, QString interface);
    ~FakeDBusService() override;

    /// Every call received, in order; or those of one member.
    const std::vector<Call>& calls() const { return m_calls; }
    std::vector<Call> calls(const QString& member) const;

    void setAnswer(const QString& member, Answer answer) { m_answers[member] = answer; }

    /// Sends a signal of the service's interface from its object.
    void emitSignal(const QString& name, const QVariantList& arguments);
    /// Leaves the bus as a service that crashes: the name is released and calls it left unanswered get
    /// an error from the bus.
    void vanish();

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

protected:
    /// The reply's arguments for a call answered normally; the default is an empty reply.
    virtual QVariantList answer(const Call& call);

private:
    QDBusConnection m_connection;
    const QString m_service;
    const QString m_path;
    const QString m_interface;
    std::vector<Call> m_calls;
    QMap<QString, Answer> m_answers;
};

} // namespace desktop::testing
