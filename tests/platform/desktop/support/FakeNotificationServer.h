#pragma once

#include "tests/platform/desktop/support/FakeDBusService.h"

#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <map>

namespace desktop::testing {

/// A desktop notification server (org.freedesktop.Notifications) for tests: it shows notifications in a
/// table, gives each a new id unless it replaces one still shown, closes them on CloseNotification
/// (reason 3) and lets the test click or dismiss them.
class FakeNotificationServer : public FakeDBusService {
public:
    struct Shown {
        QString summary;
        QString body;
        QVariantMap hints;
    };

    explicit FakeNotificationServer(PrivateBus& sessionBus);

    /// The notifications on screen, by id.
    const std::map<std::uint32_t, Shown>& shown() const { return m_shown; }

    /// The user clicks the notification: ActionInvoked with "default".
    void click(std::uint32_t id);
    /// The user dismisses it: NotificationClosed with reason 2.
    void dismiss(std::uint32_t id);
    /// What GetCapabilities answers from now on.
    void setCapabilities(QStringList capabilities) { m_capabilities = std::move(capabilities); }

protected:
    QVariantList answer(const Call& call) override;

private:
    std::map<std::uint32_t, Shown> m_shown;
    std::uint32_t m_nextId = 1;
    QStringList m_capabilities{QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("sound")};
};

} // namespace desktop::testing
