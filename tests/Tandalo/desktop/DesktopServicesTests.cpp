// The core's notification centre, opener and sleep notifications on private D-Bus daemons with a fake
// notification server and a fake logind, as the application uses them.
#include "Tandalo/desktop/DesktopNotificationCenter.h"
#include "Tandalo/desktop/DesktopSleepNotifications.h"
#include "Tandalo/desktop/DesktopWorkspace.h"

#include "platform/foundation/LogStore.h"
#include "tests/platform/desktop/support/FakeLogind.h"
#include "tests/platform/desktop/support/FakeNotificationServer.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <memory>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using desktop::testing::FakeLogind;
using desktop::testing::FakeNotificationServer;
using desktop::testing::PrivateBus;
using desktop::testing::waitUntil;

class DesktopServicesTests : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    oslog::LogStore logStore{clock};
    PrivateBus session{PrivateBus::Kind::session};
};

TEST_F(DesktopServicesTests, NotificationsGoToTheServerAndClicksComeBackByIdentifier) {
    FakeNotificationServer server(session);
    DesktopNotificationCenter center(session.connect(), clock, {},
                                     oslog::Logger("test", "notifications", logStore));
    std::optional<NotificationSettings> settings;
    std::optional<bool> granted;
    center.getNotificationSettings([&](NotificationSettings answer) { settings = answer; });
    center.requestAuthorization([&](bool answer) { granted = answer; });
    ASSERT_TRUE(waitUntil([&] { return settings && granted; }));
    EXPECT_EQ(settings->authorizationStatus, NotificationAuthorizationStatus::authorized);
    EXPECT_TRUE(*granted);

    std::vector<NotificationResponse> responses;
    center.setResponseHandler([&](const NotificationResponse& response) { responses.push_back(response); });
    center.add({"tandalo.candidate.42", "Pixel 7 is in charge-only mode", "Swipe down.",
                NotificationSound::defaultSound});
    center.add({"tandalo.mounted.SER", "Pixel 7 is in your file manager", "Click to open it.",
                NotificationSound::none});
    ASSERT_TRUE(waitUntil([&] { return server.shown().size() == 2; }));
    const auto [candidateID, candidate] = *server.shown().begin(); // a copy: the server forgets it below
    EXPECT_EQ(candidate.summary.toStdString(), "Pixel 7 is in charge-only mode");
    EXPECT_EQ(candidate.body.toStdString(), "Swipe down.");
    EXPECT_TRUE(candidate.hints.contains(QStringLiteral("sound-name")));
    EXPECT_TRUE(server.shown().rbegin()->second.hints.value(QStringLiteral("suppress-sound")).toBool());

    server.click(server.shown().rbegin()->first);
    ASSERT_TRUE(waitUntil([&] { return !responses.empty(); }));
    EXPECT_EQ(responses.front(), (NotificationResponse{"tandalo.mounted.SER", "default"}));
    center.removeDeliveredNotifications({"tandalo.candidate.42"});
    EXPECT_TRUE(waitUntil([&] { return !server.shown().contains(candidateID); }));
}

TEST_F(DesktopServicesTests, WithoutAServerNotificationsAreDeniedAndWithoutABusUndetermined) {
    const std::pair<bool, NotificationAuthorizationStatus> cases[] = {
        {true, NotificationAuthorizationStatus::denied},
        {false, NotificationAuthorizationStatus::notDetermined},
    };
    for (const auto& [hasBus, status] : cases) {
        DesktopNotificationCenter center(hasBus ? session.connect() : QDBusConnection(QStringLiteral("none")),
                                         clock, {}, oslog::Logger("test", "notifications", logStore));
        std::optional<NotificationSettings> settings;
        std::optional<bool> granted;
        center.getNotificationSettings([&](NotificationSettings answer) { settings = answer; });
        center.requestAuthorization([&](bool answer) { granted = answer; });
        ASSERT_TRUE(waitUntil([&] { return settings && granted; }));
        EXPECT_EQ(settings->authorizationStatus, status);
        EXPECT_FALSE(*granted);
    }
}

TEST_F(DesktopServicesTests, TheOpenerSaysWhetherItOpenedAndWhatIsNoURLIsNotOpened) {
    const std::tuple<std::vector<std::string>, std::string, bool> cases[] = {
        {{"/bin/true"}, "file:///tmp/page.html", true},
        {{"/bin/false"}, "file:///tmp/page.html", false},
        {{"/bin/true"}, "not a URL", false},
    };
    for (const auto& [opener, url, opened] : cases) {
        SCOPED_TRACE(url);
        desktop::WorkspaceOptions options;
        options.openCommand = opener;
        DesktopWorkspace workspace(session.connect(), clock, options,
                                   oslog::Logger("test", "workspace", logStore));
        std::optional<bool> answer;
        workspace.open(url, [&](bool result) { answer = result; });
        EXPECT_FALSE(answer) << "answered later, never inside the call";
        ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(*answer, opened);
    }

    // Without a file manager on the bus, a folder goes to the opener; a relative one is refused.
    desktop::WorkspaceOptions options;
    options.openCommand = {"/bin/true"};
    DesktopWorkspace workspace(session.connect(), clock, options,
                               oslog::Logger("test", "workspace", logStore));
    std::vector<bool> answers;
    workspace.showFolder("/tmp", [&](bool result) { answers.push_back(result); });
    workspace.showFolder("relative", [&](bool result) { answers.push_back(result); });
    ASSERT_TRUE(waitUntil([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers, (std::vector<bool>{false, true})) << "the refusal comes first, from the next turn";
}

TEST_F(DesktopServicesTests, TheSystemWaitsForTheDelayOfEachSleepAndWithoutLogindTheLogSaysSo) {
    PrivateBus system{PrivateBus::Kind::system};
    FakeLogind logind(system);
    DesktopSleepNotifications notifications(system.connect(), clock, {},
                                            oslog::Logger("test", "sleep", logStore));
    std::vector<SleepDelay> delays;
    int wakes = 0;
    const auto sleeping =
        notifications.willSleep.subscribe([&](const SleepDelay& delay) { delays.push_back(delay); });
    const auto waking = notifications.didWake.subscribe([&] { ++wakes; });
    ASSERT_TRUE(waitUntil([&] { return logind.heldLocks() == 1; }));

    logind.prepareForSleep(true);
    ASSERT_TRUE(waitUntil([&] { return delays.size() == 1; }));
    EXPECT_EQ(logind.heldLocks(), 1u) << "the system waits while the delay is held";
    delays.clear(); // the last copy goes: the system may sleep
    EXPECT_EQ(logind.heldLocks(), 0u);
    logind.prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return wakes == 1 && logind.heldLocks() == 1; }));

    PrivateBus withoutLogind{PrivateBus::Kind::system};
    DesktopSleepNotifications alone(withoutLogind.connect(), clock, {},
                                    oslog::Logger("test", "sleep", logStore));
    EXPECT_TRUE(waitUntil([&] {
        const auto entries = logStore.recentEntries("test", 1h);
        return std::any_of(entries.begin(), entries.end(), [](const oslog::LogEntry& entry) {
            return entry.message.find("systemd-logind is not available") != std::string::npos;
        });
    }));
}

} // namespace
} // namespace tandalo::app
