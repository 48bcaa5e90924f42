#include "platform/desktop/UserNotificationCenter.h"

#include "tests/platform/desktop/support/Captured.h"
#include "tests/platform/desktop/support/FakeNotificationServer.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace std::chrono_literals;
using desktop::AuthorizationResult;
using desktop::AuthorizationStatus;
using desktop::DesktopError;
using desktop::NotificationResponse;
using desktop::NotificationSettings;
using desktop::NotificationSound;
using desktop::UserNotificationCenter;
using desktop::testing::Captured;
using desktop::testing::FakeNotificationServer;
using desktop::testing::PrivateBus;
using desktop::testing::waitUntil;
using Answer = desktop::testing::FakeDBusService::Answer;
using AddResult = std::optional<DesktopError>;

namespace {

class UserNotificationCenterTests : public ::testing::Test {
protected:
    std::unique_ptr<UserNotificationCenter> makeCenter(const QDBusConnection& connection) {
        desktop::NotificationCenterOptions options;
        options.desktopEntry = "tandalo";
        return std::make_unique<UserNotificationCenter>(connection, clock, options,
                                                        oslog::Logger("test", "notifications", logStore));
    }

    Captured<AddResult> add(const std::string& identifier, const std::string& title = "title",
                            NotificationSound sound = NotificationSound::none) {
        Captured<AddResult> result;
        center->add({identifier, title, "body", sound}, result.callback());
        return result;
    }

    /// Adds, waits for the server's answer and returns the id the server gave.
    std::uint32_t post(const std::string& identifier, const std::string& title = "title") {
        const auto result = add(identifier, title);
        EXPECT_TRUE(waitUntil([&] { return result.arrived(); }) && !*result);
        return server->shown().empty() ? 0 : server->shown().rbegin()->first;
    }

    std::uint32_t lastReplacesId() const {
        return server->calls(QStringLiteral("Notify")).back().arguments.at(1).toUInt();
    }

    PrivateBus bus{PrivateBus::Kind::session};
    platform::VirtualClock clock;
    oslog::LogStore logStore{clock};
    std::unique_ptr<FakeNotificationServer> server = std::make_unique<FakeNotificationServer>(bus);
    std::unique_ptr<UserNotificationCenter> center = makeCenter(bus.connect());
};

TEST_F(UserNotificationCenterTests, PostsTitleBodyTheDefaultActionAndTheSoundAsHints) {
    const std::tuple<NotificationSound, QString, QVariant, QString> cases[] = {
        {NotificationSound::none, QStringLiteral("suppress-sound"), true, QStringLiteral("sound-name")},
        {NotificationSound::defaultSound, QStringLiteral("sound-name"), QStringLiteral("message-new-instant"),
         QStringLiteral("suppress-sound")},
    };
    for (const auto& [sound, hint, value, absentHint] : cases) {
        SCOPED_TRACE(hint.toStdString());
        const auto result = add(hint.toStdString(), "Pixel is in charge-only mode", sound);
        ASSERT_TRUE(waitUntil([&] { return result.arrived(); }));
        const auto arguments = server->calls(QStringLiteral("Notify")).back().arguments;
        ASSERT_EQ(arguments.size(), 8);
        EXPECT_EQ(arguments.mid(0, 6),
                  (QVariantList{QStringLiteral("Tandalo"), 0u, QString(),
                                QStringLiteral("Pixel is in charge-only mode"), QStringLiteral("body"),
                                QStringList{QStringLiteral("default"), QStringLiteral("Open")}}));
        EXPECT_EQ(arguments.at(7), QVariant(-1));
        const auto hints = server->shown().rbegin()->second.hints;
        EXPECT_EQ(hints.value(hint), value);
        EXPECT_FALSE(hints.contains(absentHint));
        EXPECT_EQ(hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("tandalo"));
    }
}

TEST_F(UserNotificationCenterTests, ABodyIsShownAsWrittenWhetherOrNotTheServerReadsMarkup) {
    const std::string body = "<b>x</b> & <font size=40 color=red>Pixel</font>";
    const QString escaped =
        QStringLiteral("&lt;b&gt;x&lt;/b&gt; &amp; &lt;font size=40 color=red&gt;Pixel&lt;/font&gt;");
    struct Case {
        std::optional<QStringList> capabilities; // asked before the post; nothing: not asked
        QString sent;
    };
    const std::vector<Case> cases{
        {std::nullopt, escaped},
        {QStringList{QStringLiteral("body"), QStringLiteral("body-markup")}, escaped},
        {QStringList{QStringLiteral("body")}, QString::fromStdString(body)},
    };
    for (const auto& each : cases) {
        center = makeCenter(bus.connect());
        if (each.capabilities) {
            server->setCapabilities(*each.capabilities);
            Captured<NotificationSettings> settings;
            center->getNotificationSettings(settings.callback());
            ASSERT_TRUE(waitUntil([&] { return settings.arrived(); }));
        }
        Captured<AddResult> result;
        center->add({"tandalo.candidate.1", "<i>Pixel</i> is in charge-only mode", body}, result.callback());
        ASSERT_TRUE(waitUntil([&] { return result.arrived(); }));
        EXPECT_EQ(server->calls(QStringLiteral("Notify")).back().arguments.at(4).toString(), each.sent);
    }
}

TEST_F(UserNotificationCenterTests, AnIdentifierKeepsOneNotificationThroughRepostsRemovalAndClosing) {
    const auto mounted = post("tandalo.mounted.SER1");
    EXPECT_EQ(post("tandalo.mounted.SER1", "again"), mounted);
    EXPECT_EQ(lastReplacesId(), mounted);
    const auto update = post("tandalo.update");
    EXPECT_EQ(lastReplacesId(), 0u);

    center->removeDeliveredNotifications({"tandalo.update", "tandalo.unknown"});
    ASSERT_TRUE(waitUntil([&] { return server->shown().size() == 1; }));
    ASSERT_EQ(server->calls(QStringLiteral("CloseNotification")).size(), 1u);
    EXPECT_EQ(server->calls(QStringLiteral("CloseNotification")).front().arguments.at(0).toUInt(), update);

    // Once the server has closed it, its id is not reused for a repost.
    server->dismiss(mounted);
    post("tandalo.update"); // a round trip after the signal, so the centre has seen it
    post("tandalo.mounted.SER1");
    EXPECT_EQ(lastReplacesId(), 0u);
}

TEST_F(UserNotificationCenterTests, RequestsOfAnIdentifierInFlightWaitAndTheLatestReplacesTheFirst) {
    const Captured<AddResult> results[] = {add("tandalo.update", "1.1"), add("tandalo.update", "1.2"),
                                           add("tandalo.update", "1.3")};
    ASSERT_TRUE(waitUntil([&] { return results[2].arrived(); }));
    for (const auto& result : results) {
        EXPECT_TRUE(result.arrived() && !*result);
    }
    EXPECT_EQ(server->calls(QStringLiteral("Notify")).size(), 2u);
    ASSERT_EQ(server->shown().size(), 1u);
    EXPECT_EQ(server->shown().begin()->second.summary, QStringLiteral("1.3"));

    // Removed while its Notify is unanswered: closed as soon as the server's id is known.
    const auto removed = add("tandalo.running");
    add("tandalo.running", "never sent");
    center->removeDeliveredNotifications({"tandalo.running"});
    ASSERT_TRUE(waitUntil([&] { return removed.arrived() && server->shown().size() == 1; }));
    EXPECT_EQ(server->calls(QStringLiteral("Notify")).size(), 3u);
}

TEST_F(UserNotificationCenterTests, ClicksComeBackWithTheIdentifierOfTheirNotification) {
    std::vector<NotificationResponse> responses;
    center->setResponseHandler([&](const NotificationResponse& response) { responses.push_back(response); });
    const auto mounted = post("tandalo.mounted.SER1");
    server->click(mounted + 100);                                                     // not ours
    server->emitSignal(QStringLiteral("ActionInvoked"), {QStringLiteral("garbage")}); // wrong signature
    server->click(mounted);
    ASSERT_TRUE(waitUntil([&] { return !responses.empty(); }));
    EXPECT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses.front().identifier, "tandalo.mounted.SER1");
    EXPECT_EQ(responses.front().actionIdentifier, NotificationResponse::defaultActionIdentifier);

    // A restarted server's ids mean nothing to the old notifications: its id 1 is another notification,
    // and a repost is a new one.
    server.reset();
    server = std::make_unique<FakeNotificationServer>(bus);
    EXPECT_EQ(post("tandalo.update"), mounted);
    server->click(mounted);
    ASSERT_TRUE(waitUntil([&] { return responses.size() == 2; }));
    EXPECT_EQ(responses.back().identifier, "tandalo.update");
    post("tandalo.mounted.SER1");
    EXPECT_EQ(lastReplacesId(), 0u);
}

enum class Server { answers, absent, refuses, answersGarbage, hangs, diesWithoutAnswering, noBus };

TEST_F(UserNotificationCenterTests, TheStatusAndEveryAnswerFollowWhetherTheServerAnswersAndNothingHangs) {
    const std::tuple<Server, std::optional<DesktopError::Kind>, AuthorizationStatus> cases[] = {
        {Server::answers, std::nullopt, AuthorizationStatus::authorized},
        {Server::absent, DesktopError::Kind::serviceUnavailable, AuthorizationStatus::denied},
        {Server::refuses, DesktopError::Kind::refused, AuthorizationStatus::denied},
        {Server::answersGarbage, DesktopError::Kind::malformedReply, AuthorizationStatus::denied},
        {Server::hangs, DesktopError::Kind::timedOut, AuthorizationStatus::denied},
        {Server::diesWithoutAnswering, DesktopError::Kind::serviceUnavailable, AuthorizationStatus::denied},
        {Server::noBus, DesktopError::Kind::noBus, AuthorizationStatus::notDetermined},
    };
    const std::map<Server, Answer> answers = {{Server::refuses, Answer::withError},
                                              {Server::answersGarbage, Answer::withGarbage},
                                              {Server::hangs, Answer::never},
                                              {Server::diesWithoutAnswering, Answer::never}};
    for (const auto& [behaviour, error, status] : cases) {
        SCOPED_TRACE(static_cast<int>(behaviour));
        center.reset();
        server.reset(); // first: the new server takes the name the old one leaves
        if (behaviour != Server::absent && behaviour != Server::noBus) {
            server = std::make_unique<FakeNotificationServer>(bus);
        }
        if (const auto answer = answers.find(behaviour); answer != answers.end()) {
            server->setAnswer(QStringLiteral("GetCapabilities"), answer->second);
            server->setAnswer(QStringLiteral("Notify"), answer->second);
        }
        center =
            makeCenter(behaviour == Server::noBus ? QDBusConnection(QStringLiteral("none")) : bus.connect());

        Captured<NotificationSettings> settings;
        Captured<AuthorizationResult> authorization;
        center->getNotificationSettings(settings.callback());
        center->requestAuthorization(authorization.callback());
        const auto added = add("tandalo.running");
        if (behaviour == Server::hangs || behaviour == Server::diesWithoutAnswering) {
            ASSERT_TRUE(waitUntil([&] { return server->calls().size() == 3; }));
            behaviour == Server::hangs ? clock.advance(5s) : server->vanish();
        }
        ASSERT_TRUE(
            waitUntil([&] { return settings.arrived() && authorization.arrived() && added.arrived(); }));
        EXPECT_EQ(settings->authorizationStatus, status);
        EXPECT_EQ(authorization->granted, !error);
        for (const auto& reported : {authorization->error, *added}) {
            EXPECT_EQ(reported.has_value(), error.has_value());
            if (reported && error) {
                EXPECT_EQ(reported->kind(), *error) << reported->what();
            }
        }
    }
}

TEST_F(UserNotificationCenterTests, DestructionAnswersWhatIsStillPendingAsCancelled) {
    server->setAnswer(QStringLiteral("GetCapabilities"), Answer::never);
    server->setAnswer(QStringLiteral("Notify"), Answer::never);
    Captured<NotificationSettings> settings;
    center->getNotificationSettings(settings.callback());
    const auto added = add("tandalo.running");
    ASSERT_TRUE(waitUntil([&] { return server->calls().size() == 2; }));
    center.reset();
    ASSERT_TRUE(settings.arrived() && added.arrived());
    EXPECT_EQ(settings->authorizationStatus, AuthorizationStatus::notDetermined);
    EXPECT_EQ((*added)->kind(), DesktopError::Kind::cancelled);
}

} // namespace
