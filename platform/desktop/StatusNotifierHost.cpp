#include "platform/desktop/StatusNotifierHost.h"

#include "platform/desktop/DBusCaller.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>

namespace desktop {

struct StatusNotifierHostProbe::Impl {
    Impl(const QDBusConnection& bus, ClockTimers& timers, Handler answered, platform::Clock::Duration timeout)
        : handler(std::move(answered)), caller(bus, timers, timeout) {
        auto message = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message << QStringLiteral("org.kde.StatusNotifierWatcher")
                << QStringLiteral("IsStatusNotifierHostRegistered");
        caller.call(message, [this](DBusResult result) {
            bool registered = false;
            if (!result.error && result.reply.arguments().size() == 1) {
                const QVariant value = result.reply.arguments().at(0).value<QDBusVariant>().variant();
                registered = value.metaType() == QMetaType::fromType<bool>() && value.toBool();
            }
            if (handler) {
                handler(registered);
            }
        });
    }

    Handler handler;
    DBusCaller caller;
};

StatusNotifierHostProbe::StatusNotifierHostProbe(const QDBusConnection& sessionBus, ClockTimers& timers,
                                                 Handler answered, platform::Clock::Duration callTimeout)
    : m_impl(std::make_unique<Impl>(sessionBus, timers, std::move(answered), callTimeout)) {}

StatusNotifierHostProbe::~StatusNotifierHostProbe() {
    // The handler is not told of a question cut short.
    m_impl->handler = nullptr;
    m_impl->caller.cancelAll();
}

} // namespace desktop
