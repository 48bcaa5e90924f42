#include "platform/desktop/ColorScheme.h"

#include "platform/desktop/DBusCaller.h"
#include "platform/desktop/DBusSignal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>

namespace desktop {

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString objectPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString interfaceName = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

constexpr int nestingLimit = 4; // a portal wraps the value once at most; more is garbage

} // namespace

ColorScheme colorSchemeFromPortal(const QVariant& value) {
    QVariant unwrapped = value;
    for (int depth = 0; depth < nestingLimit && unwrapped.canConvert<QDBusVariant>() &&
                        unwrapped.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        unwrapped = unwrapped.value<QDBusVariant>().variant();
    }
    if (unwrapped.metaType() == QMetaType::fromType<QDBusArgument>()) {
        // A variant Qt could not take apart by itself: read the one value inside.
        const auto argument = unwrapped.value<QDBusArgument>();
        if (argument.currentType() != QDBusArgument::VariantType) {
            return ColorScheme::noPreference;
        }
        QDBusVariant inner;
        argument >> inner;
        unwrapped = inner.variant();
    }
    if (unwrapped.metaType() != QMetaType::fromType<uint>()) {
        return ColorScheme::noPreference;
    }
    switch (unwrapped.toUInt()) {
    case 1:
        return ColorScheme::preferDark;
    case 2:
        return ColorScheme::preferLight;
    default:
        return ColorScheme::noPreference;
    }
}

struct ColorSchemeWatcher::Impl {
    Impl(const QDBusConnection& bus, ClockTimers& timers, Handler changed, platform::Clock::Duration timeout)
        : handler(std::move(changed)), caller(bus, timers, timeout),
          settingChanged(bus, service, objectPath, interfaceName, QStringLiteral("SettingChanged"),
                         [this](const QDBusMessage& message) { onSettingChanged(message); }) {
        read(QStringLiteral("ReadOne"));
    }

    void read(const QString& method) {
        auto message = QDBusMessage::createMethodCall(service, objectPath, interfaceName, method);
        message << appearance << colorSchemeKey;
        caller.call(message, [this, method](DBusResult result) {
            if (result.error) {
                // Portals before version 2 have Read alone; an unknown method is a missing service here.
                if (method == QLatin1String("ReadOne") &&
                    result.error->kind() == DesktopError::Kind::serviceUnavailable) {
                    read(QStringLiteral("Read"));
                }
                return;
            }
            if (!answered && result.reply.arguments().size() == 1) {
                set(colorSchemeFromPortal(result.reply.arguments().at(0)));
            }
        });
    }

    void onSettingChanged(const QDBusMessage& message) {
        const auto arguments = message.arguments();
        if (arguments.size() != 3 || arguments.at(0).toString() != appearance ||
            arguments.at(1).toString() != colorSchemeKey) {
            return;
        }
        // A change outranks an answer to the first question that is still on its way.
        answered = true;
        set(colorSchemeFromPortal(arguments.at(2)));
    }

    void set(ColorScheme next) {
        if (next == scheme) {
            return;
        }
        scheme = next;
        if (handler) {
            handler(scheme);
        }
    }

    Handler handler;
    ColorScheme scheme = ColorScheme::noPreference;
    bool answered = false;
    DBusCaller caller;
    DBusSignal settingChanged;
};

ColorSchemeWatcher::ColorSchemeWatcher(const QDBusConnection& sessionBus, ClockTimers& timers,
                                       Handler changed, platform::Clock::Duration callTimeout)
    : m_impl(std::make_unique<Impl>(sessionBus, timers, std::move(changed), callTimeout)) {}

ColorSchemeWatcher::~ColorSchemeWatcher() {
    m_impl->caller.cancelAll();
}

ColorScheme ColorSchemeWatcher::scheme() const {
    return m_impl->scheme;
}

} // namespace desktop
