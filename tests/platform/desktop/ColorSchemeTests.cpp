#include "platform/desktop/ColorScheme.h"

#include "tests/platform/desktop/support/FakeDBusService.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <QDBusVariant>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

using desktop::ColorScheme;
using desktop::ColorSchemeWatcher;
using desktop::testing::FakeDBusService;
using desktop::testing::PrivateBus;
using desktop::testing::waitUntil;

namespace {

/// The settings portal, with ReadOne or, as portals before version 2, with Read alone (which wraps the
/// value in a second variant).
class FakeSettingsPortal final : public FakeDBusService {
public:
    FakeSettingsPortal(PrivateBus& bus, QVariant value, bool hasReadOne)
        : FakeDBusService(bus, QStringLiteral("org.freedesktop.portal.Desktop"),
                          QStringLiteral("/org/freedesktop/portal/desktop"),
                          QStringLiteral("org.freedesktop.portal.Settings")),
          m_value(std::move(value)), m_hasReadOne(hasReadOne) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (!m_hasReadOne && message.member() == QLatin1String("ReadOne")) {
            connection.send(
                message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                         QStringLiteral("no such method")));
            return true;
        }
        return FakeDBusService::handleMessage(message, connection);
    }

protected:
    QVariantList answer(const Call& call) override {
        if (call.member == QLatin1String("Read")) {
            return {QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(m_value))))};
        }
        return {QVariant::fromValue(QDBusVariant(m_value))};
    }

private:
    QVariant m_value;
    bool m_hasReadOne;
};

QVariantList changed(const QString& key, QVariant value) {
    return {QStringLiteral("org.freedesktop.appearance"), key, QVariant::fromValue(QDBusVariant(value))};
}

} // namespace

TEST(ColorSchemeTests, FollowsThePortalsSchemeAndNoPreferenceWithoutAnUsableAnswer) {
    struct Case {
        const char* what;
        std::optional<QVariant> portal; // nothing: no portal at all
        bool hasReadOne;
        FakeDBusService::Answer answer;
        ColorScheme scheme;
    };
    using Answer = FakeDBusService::Answer;
    const std::vector<Case> cases{
        {"dark", QVariant(1u), true, Answer::normally, ColorScheme::preferDark},
        {"light", QVariant(2u), true, Answer::normally, ColorScheme::preferLight},
        {"no preference", QVariant(0u), true, Answer::normally, ColorScheme::noPreference},
        {"out of range", QVariant(7u), true, Answer::normally, ColorScheme::noPreference},
        {"another type", QVariant(QStringLiteral("dark")), true, Answer::normally, ColorScheme::noPreference},
        {"an older portal", QVariant(1u), false, Answer::normally, ColorScheme::preferDark},
        {"garbage", QVariant(1u), true, Answer::withGarbage, ColorScheme::noPreference},
        {"no portal", std::nullopt, true, Answer::normally, ColorScheme::noPreference},
    };
    for (const auto& each : cases) {
        PrivateBus bus{PrivateBus::Kind::session};
        platform::VirtualClock clock;
        desktop::ClockTimers timers(clock);
        std::unique_ptr<FakeSettingsPortal> portal;
        if (each.portal) {
            portal = std::make_unique<FakeSettingsPortal>(bus, *each.portal, each.hasReadOne);
            portal->setAnswer(QStringLiteral("ReadOne"), each.answer);
            portal->setAnswer(QStringLiteral("Read"), each.answer);
        }
        std::vector<ColorScheme> told;
        ColorSchemeWatcher watcher(bus.connect(), timers,
                                   [&](ColorScheme scheme) { told.push_back(scheme); });
        if (!portal) {
            EXPECT_EQ(watcher.scheme(), ColorScheme::noPreference);
            continue; // and its questions, still out, are dropped with it
        }
        const auto asked = [&] {
            return portal->calls(each.hasReadOne ? QStringLiteral("ReadOne") : QStringLiteral("Read"))
                       .size() == 1;
        };
        ASSERT_TRUE(waitUntil(asked)) << each.what;
        // The portal's answer reaches the watcher before the signals it sends after it: once the change to
        // light has come, the answer has been read (as the first scheme told, unless it was none or light).
        portal->emitSignal(QStringLiteral("SettingChanged"), changed(QStringLiteral("accent-color"), 1u));
        portal->emitSignal(QStringLiteral("SettingChanged"), changed(QStringLiteral("color-scheme"), 2u));
        ASSERT_TRUE(waitUntil([&] { return watcher.scheme() == ColorScheme::preferLight; })) << each.what;
        std::vector<ColorScheme> expected;
        if (each.scheme != ColorScheme::noPreference && each.scheme != ColorScheme::preferLight) {
            expected.push_back(each.scheme);
        }
        expected.push_back(ColorScheme::preferLight);
        EXPECT_EQ(told, expected) << each.what;
    }
}
