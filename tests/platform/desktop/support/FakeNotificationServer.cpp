#include "tests/platform/desktop/support/FakeNotificationServer.h"

#include <QDBusArgument>
#include <QStringList>

namespace desktop::testing {

namespace {

// NotificationClosed reasons of the notification specification.
constexpr std::uint32_t dismissedByUser = 2;
constexpr std::uint32_t closedByCall = 3;

} // namespace

FakeNotificationServer::FakeNotificationServer(PrivateBus& sessionBus)
    : FakeDBusService(sessionBus, QStringLiteral("org.freedesktop.Notifications"),
                      QStringLiteral("/org/freedesktop/Notifications"),
                      QStringLiteral("org.freedesktop.Notifications")) {}

void FakeNotificationServer::click(std::uint32_t id) {
    emitSignal(QStringLiteral("ActionInvoked"), {id, QStringLiteral("default")});
}

void FakeNotificationServer::dismiss(std::uint32_t id) {
    m_shown.erase(id);
    emitSignal(QStringLiteral("NotificationClosed"), {id, dismissedByUser});
}

QVariantList FakeNotificationServer::answer(const Call& call) {
    if (call.member == QLatin1String("GetCapabilities")) {
        return {m_capabilities};
    }
    if (call.member == QLatin1String("Notify") && call.arguments.size() == 8) {
        std::uint32_t id = call.arguments.at(1).toUInt();
        if (!m_shown.contains(id)) {
            id = m_nextId++;
        }
        m_shown[id] = Shown{call.arguments.at(3).toString(), call.arguments.at(4).toString(),
                            qdbus_cast<QVariantMap>(call.arguments.at(6))};
        return {id};
    }
    if (call.member == QLatin1String("CloseNotification") && call.arguments.size() == 1) {
        const std::uint32_t id = call.arguments.at(0).toUInt();
        if (m_shown.erase(id) > 0) {
            emitSignal(QStringLiteral("NotificationClosed"), {id, closedByCall});
        }
    }
    return {};
}

} // namespace desktop::testing
