#include "platform/updates/UpdateService.h"

#include "FeedServer.h"
#include "platform/desktop/ClockTimers.h"
#include "platform/updates/UpdateWindow.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/support/Concat.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace updates {
namespace {

using testing::FeedServer;
using Events = std::vector<std::string>;

constexpr auto fetchTimeout = std::chrono::seconds(30);
constexpr auto realLimit = 20000; // milliseconds a test waits for the loopback network before failing
constexpr int nobodyListens = 0;  // a response status that stands for a refused connection

// A feed offering one version, its links relative to the feed's own address.
std::string feedWith(const char* version) {
    return testsupport::concat(
        R"(<?xml version="1.0"?><rss version="2.0" xmlns:u="urn:tandalo:updates:1">)",
        "<channel><item><u:version>", version, "</u:version><u:releaseNotes>notes.html",
        "</u:releaseNotes><u:download>tandalo-", version, ".tar.gz</u:download></item>", "</channel></rss>");
}

const char* kindName(CheckKind check) {
    return check == CheckKind::scheduled ? "scheduled" : "user";
}

// Writes what the service tells it, one line per event, and can answer like the application's checker.
class RecordingDelegate final : public UpdateDelegate {
public:
    bool quiet = false;
    std::function<void()> onCycleEnded;
    Events events;

    bool prefersQuietReminders() override { return quiet; }
    bool shouldShowScheduledUpdate(const UpdateItem& item, bool inFocus) override {
        events.push_back(
            testsupport::concat("ask ", item.displayVersion, inFocus ? " in focus" : " in background"));
        return inFocus;
    }
    void updateFound(const UpdateItem& item, Presenter presenter, CheckKind check) override {
        events.push_back(testsupport::concat("found ", item.displayVersion, " shown by ",
                                             presenter == Presenter::service ? "service " : "application ",
                                             kindName(check)));
    }
    void userAttendedUpdate(const UpdateItem& item) override {
        events.push_back(testsupport::concat("attended ", item.displayVersion));
    }
    void sessionEnded() override { events.push_back("session ended"); }
    void checkCycleEnded(CheckKind check, const UpdateError* error) override {
        events.push_back(testsupport::concat("cycle ended ", kindName(check), error ? " " : "",
                                             error ? name(error->kind()) : ""));
        if (onCycleEnded) {
            std::exchange(onCycleEnded, nullptr)();
        }
    }
};

// One application with its preferences, a virtual clock with its timers, a loopback feed server and the
// service.
class UpdateServiceScenario : public ::testing::Test {
protected:
    UpdateServiceScenario() {
        server.route("/newer.xml", {200, feedWith("1.5")});
        server.route("/same.xml", {200, feedWith("1.4")});
    }
    ~UpdateServiceScenario() override { service.reset(); }

    platform::Preferences settings() const { return *platform::Preferences::suite("Tandalo", folder.path()); }

    UpdateService& start(const std::string& feedURL) {
        if (!feedURL.empty()) {
            settings().setString(settingsKey::feedURL, feedURL);
        }
        const auto openURL = [this](const std::string& url) {
            opened.push_back(url);
            return openSucceeds;
        };
        service = std::make_unique<UpdateService>(
            UpdateConfiguration{"Tandalo", "1.4", "1.4", fetchTimeout}, settings(), delegate,
            UpdatePlatform{&timers, openURL, [this] { return active; }});
        service->setCanCheckObserver([this](bool canCheck) { canCheckValues.push_back(canCheck); });
        service->start();
        return *service;
    }

    // Moves the clock forward and lets every timer that fell due run, in the order of their deadlines: a
    // timer started last and due now runs after all of them.
    void advance(platform::Clock::Duration duration) {
        clock.advance(duration);
        bool reached = false;
        const auto barrier = timers.startTimer(std::chrono::seconds(0), [&reached] { reached = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, realLimit));
    }

    // Answers every request for /feed.xml with the response and gives that feed's URL.
    std::string serve(const FeedServer::Response& response) {
        server.route("/feed.xml", response);
        return response.status == nobodyListens ? FeedServer::unreachableURL() : server.url("/feed.xml");
    }

    // Runs the Qt event loop until the running check has its outcome, first letting a check whose server
    // keeps silent run into its time-out.
    void finishCheck(const FeedServer::Response& response = {}) {
        if (!response.answers) {
            ASSERT_TRUE(QTest::qWaitFor([this] { return server.requests("/feed.xml") == 1; }, realLimit));
            advance(fetchTimeout);
        }
        ASSERT_TRUE(QTest::qWaitFor([this] { return service->canCheck(); }, realLimit));
    }

    static UpdateMessageWindow* visibleMessage() {
        for (auto* widget : QApplication::topLevelWidgets()) {
            if (auto* message = qobject_cast<UpdateMessageWindow*>(widget); message && message->isVisible()) {
                return message;
            }
        }
        return nullptr;
    }

    static std::string shownWindow() {
        if (auto* window = visibleUpdateWindow()) {
            return testsupport::concat("window: ",
                                       window->findChild<QLabel*>("heading")->text().toStdString());
        }
        if (auto* message = visibleMessage()) {
            return testsupport::concat("message: ", message->text().toStdString());
        }
        return "none";
    }

    platform::testing::TemporaryFolder folder;
    platform::VirtualClock clock;
    desktop::ClockTimers timers{clock};
    FeedServer server;
    RecordingDelegate delegate;
    std::vector<std::string> opened;
    bool openSucceeds = true;
    bool active = false;
    std::vector<bool> canCheckValues;
    std::unique_ptr<UpdateService> service;
};

const FeedServer::Response newer{200, feedWith("1.5")};
const FeedServer::Response same{200, feedWith("1.4")};
const FeedServer::Response malformed{200, feedWith("1.5").substr(0, 120)};
const FeedServer::Response silent{200, "", "", false};
const Events foundByUser{"found 1.5 shown by service user", "attended 1.5"};
constexpr const char* updateShown = "window: Tandalo 1.5 is available";
constexpr const char* upToDate = "message: You're up to date.";
constexpr const char* failed = "message: The check for updates failed.";

struct UserCheckCase {
    const char* name;
    FeedServer::Response answer;
    Events events;
    std::string shown;
};

class UserCheckTests : public UpdateServiceScenario, public ::testing::WithParamInterface<UserCheckCase> {};

TEST_P(UserCheckTests, ShowsTheOutcomeAndTellsTheDelegate) {
    const auto& c = GetParam();
    start(serve(c.answer)).checkNow();
    EXPECT_FALSE(service->canCheck());
    finishCheck(c.answer);
    EXPECT_EQ(delegate.events, c.events);
    EXPECT_EQ(shownWindow(), c.shown);
    EXPECT_EQ(service->isSessionActive(), c.shown == updateShown);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UserCheckTests,
    ::testing::Values(UserCheckCase{"newer", newer, foundByUser, updateShown},
                      UserCheckCase{"same", same, {"cycle ended user"}, upToDate},
                      UserCheckCase{"older", {200, feedWith("1.3")}, {"cycle ended user"}, upToDate},
                      UserCheckCase{"malformed", malformed, {"cycle ended user malformedFeed"}, failed},
                      UserCheckCase{"notFound", {404, "gone"}, {"cycle ended user serverStatus"}, failed},
                      UserCheckCase{"slow", silent, {"cycle ended user timedOut"}, failed},
                      UserCheckCase{"redirect", {302, "", "/newer.xml"}, foundByUser, updateShown},
                      UserCheckCase{
                          "redirectLoop", {302, "", "/feed.xml"}, {"cycle ended user network"}, failed},
                      UserCheckCase{"tooLarge",
                                    {200, std::string(FeedFetcher::maximumFeedSize + 1, ' ')},
                                    {"cycle ended user feedTooLarge"},
                                    failed},
                      UserCheckCase{"unreachable", {nobodyListens}, {"cycle ended user network"}, failed}),
    [](const auto& info) { return std::string(info.param.name); });

struct ScheduledCheckCase {
    const char* name;
    FeedServer::Response answer;
    bool quiet;
    bool active;
    Events events;
    std::string shown;
};

class ScheduledCheckTests : public UpdateServiceScenario,
                            public ::testing::WithParamInterface<ScheduledCheckCase> {};

// A found update stays in its session until the user acts, and a check the user asks for then shows it
// (again) without fetching: that is how the application's own announcement brings the window back.
TEST_P(ScheduledCheckTests, ShowsOnlyFoundUpdatesAndAsksWhetherToShowThemNow) {
    const auto& c = GetParam();
    delegate.quiet = c.quiet;
    active = c.active;
    start(serve(c.answer));
    advance(std::chrono::seconds(0));
    EXPECT_FALSE(service->canCheck());
    finishCheck();
    EXPECT_EQ(delegate.events, c.events);
    EXPECT_EQ(shownWindow(), c.shown);
    if (service->isSessionActive()) {
        service->checkNow();
        EXPECT_EQ(delegate.events.back(), "attended 1.5");
        EXPECT_EQ(shownWindow(), updateShown);
        EXPECT_EQ(server.requests("/feed.xml"), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ScheduledCheckTests,
    ::testing::Values(
        ScheduledCheckCase{
            "shown", newer, false, false, {"found 1.5 shown by service scheduled"}, updateShown},
        ScheduledCheckCase{"quietInBackground",
                           newer,
                           true,
                           false,
                           {"ask 1.5 in background", "found 1.5 shown by application scheduled"},
                           "none"},
        ScheduledCheckCase{"quietInFocus",
                           newer,
                           true,
                           true,
                           {"ask 1.5 in focus", "found 1.5 shown by service scheduled"},
                           updateShown},
        ScheduledCheckCase{"upToDate", same, true, false, {"cycle ended scheduled"}, "none"},
        ScheduledCheckCase{
            "failed", malformed, true, false, {"cycle ended scheduled malformedFeed"}, "none"}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Action { download, later, close, releaseNotes };

struct WindowCase {
    const char* name;
    Action action;
    bool openSucceeds;
    std::string opened; // path of the link handed to the desktop, empty for none
    bool sessionGoesOn;
};

class UpdateWindowTests : public UpdateServiceScenario, public ::testing::WithParamInterface<WindowCase> {
protected:
    UpdateWindow& showUpdate() {
        start(server.url("/newer.xml")).checkNow();
        finishCheck();
        auto* window = visibleUpdateWindow();
        EXPECT_NE(window, nullptr);
        delegate.events.clear();
        return *window;
    }
};

TEST_P(UpdateWindowTests, ButtonsEndTheSessionOnlyWhenTheUserIsDone) {
    const auto& c = GetParam();
    openSucceeds = c.openSucceeds;
    auto& window = showUpdate();
    switch (c.action) {
    case Action::download:
        QTest::mouseClick(window.findChild<QPushButton*>("download"), Qt::LeftButton);
        break;
    case Action::later:
        QTest::mouseClick(window.findChild<QPushButton*>("later"), Qt::LeftButton);
        break;
    case Action::close:
        window.close(); // what the close button and the application's checker do
        break;
    case Action::releaseNotes:
        // The label holds nothing but the link, which starts at its left edge.
        QTest::mouseClick(window.findChild<QLabel*>("releaseNotes"), Qt::LeftButton, {}, QPoint(4, 6));
        break;
    }
    EXPECT_EQ(opened, c.opened.empty() ? std::vector<std::string>{} : std::vector{server.url(c.opened)});
    EXPECT_EQ(service->isSessionActive(), c.sessionGoesOn);
    EXPECT_EQ(window.isVisible(), c.sessionGoesOn);
    EXPECT_EQ(delegate.events, (c.sessionGoesOn ? Events{} : Events{"session ended", "cycle ended user"}));
    EXPECT_EQ(window.findChild<QLabel*>("problem")->isVisible(), !c.openSucceeds);
    EXPECT_TRUE(service->canCheck());
}

INSTANTIATE_TEST_SUITE_P(
    Actions, UpdateWindowTests,
    ::testing::Values(WindowCase{"download", Action::download, true, "/tandalo-1.5.tar.gz", false},
                      WindowCase{"downloadNotOpened", Action::download, false, "/tandalo-1.5.tar.gz", true},
                      WindowCase{"later", Action::later, true, "", false},
                      WindowCase{"close", Action::close, true, "", false},
                      WindowCase{"releaseNotes", Action::releaseNotes, true, "/notes.html", true}),
    [](const auto& info) { return std::string(info.param.name); });

// The pictures land in the test's working folder, where a person can look at them.
TEST_F(UpdateWindowTests, ShowsWhatIsOfferedAndLeavesScreenshots) {
    auto& window = showUpdate();
    EXPECT_EQ(window.windowTitle(), "Tandalo Update");
    EXPECT_EQ(window.findChild<QLabel*>("detail")->text(), "You have version 1.4.");
    EXPECT_TRUE(window.findChild<QLabel*>("releaseNotes")->text().contains("What's new in 1.5"));
    EXPECT_TRUE(window.findChild<QPushButton*>("download")->isDefault());
    const auto folder = std::filesystem::absolute("screenshots");
    std::filesystem::create_directories(folder);
    const auto save = [&folder](QWidget* widget, const char* name) {
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_TRUE(widget->grab().save(QString::fromStdString((folder / name).string()))) << name;
    };
    save(&window, "update-window.png");
    QTest::mouseClick(window.findChild<QPushButton*>("later"), Qt::LeftButton);
    for (const auto& [answer, name] :
         {std::pair{same, "up-to-date.png"}, std::pair{malformed, "check-failed.png"}}) {
        server.route("/newer.xml", answer);
        service->checkNow();
        finishCheck();
        save(visibleMessage(), name);
    }
    server.route("/newer.xml", newer);
    service->checkNow();
    finishCheck();
    EXPECT_EQ(visibleMessage(), nullptr) << "the failure stays beside the update found since";
    std::cout << "screenshots of the update windows: " << folder.string() << std::endl;
}

// What a feed or its server writes shows as it is: markup neither styles the window nor forges its texts.
TEST_F(UpdateServiceScenario, ShowsTheFeedsAndTheServersTextsAsTheyAre) {
    const std::string markup = "<h1 style=\"color:red\">Security alert: run sh</h1>";
    const std::string escaped = "&lt;h1 style=\"color:red\"&gt;Security alert: run sh&lt;/h1&gt;";
    auto offering = feedWith("1.5");
    offering.insert(offering.find("<u:download>"), "<u:displayVersion>" + escaped + "</u:displayVersion>");
    FeedServer::Response refusing{503};
    refusing.reason = markup;
    const std::vector<std::tuple<FeedServer::Response, const char*, std::string>> cases{
        {{200, offering}, "updates.UpdateWindow", "Tandalo " + markup + " is available"},
        {refusing, "updates.UpdateMessage", "The update server answered 503 " + markup + "."},
    };
    start(serve(std::get<0>(cases.front())));
    for (const auto& [answer, windowName, text] : cases) {
        SCOPED_TRACE(windowName);
        serve(answer);
        service->checkNow();
        finishCheck();
        QWidget* shown = nullptr;
        for (auto* widget : QApplication::topLevelWidgets()) {
            shown = widget->isVisible() && widget->objectName() == windowName ? widget : shown;
        }
        ASSERT_NE(shown, nullptr);
        bool found = false;
        for (auto* label : shown->findChildren<QLabel*>()) {
            found = found || label->text().toStdString() == text;
            if (!label->text().isEmpty() && label->objectName() != "releaseNotes") {
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
            }
        }
        EXPECT_TRUE(found) << text;
        shown->close();
    }
}

// A window the user minimised counts as shown; asking again must bring it back up, not leave it down.
TEST_F(UpdateWindowTests, AskingAgainBringsAMinimisedWindowBack) {
    auto& window = showUpdate();
    window.setWindowState(window.windowState() | Qt::WindowMinimized);
    service->checkNow();
    EXPECT_FALSE(window.isMinimized()) << "the update window";
    QTest::mouseClick(window.findChild<QPushButton*>("later"), Qt::LeftButton);
    server.route("/newer.xml", same);
    for (int check = 0; check < 2; ++check) {
        service->checkNow();
        finishCheck();
        auto* message = visibleMessage();
        ASSERT_NE(message, nullptr);
        EXPECT_FALSE(message->isMinimized()) << "the answer to check " << check;
        message->setWindowState(message->windowState() | Qt::WindowMinimized);
    }
}

// The application's checker closes a visible update window and checks again when the cycle ends.
TEST_F(UpdateWindowTests, ACheckStartedWhenTheCycleEndsFetchesAfresh) {
    auto& window = showUpdate();
    delegate.onCycleEnded = [this] { service->checkNow(); };
    window.close();
    EXPECT_FALSE(service->canCheck());
    finishCheck();
    EXPECT_EQ(delegate.events, (Events{"session ended", "cycle ended user", "found 1.5 shown by service user",
                                       "attended 1.5"}));
    EXPECT_EQ(server.requests("/newer.xml"), 2);
    EXPECT_EQ(visibleUpdateWindow(), &window);
}

TEST_F(UpdateServiceScenario, AUserCheckDuringAScheduledFetchTakesItsOutcome) {
    start(serve(silent));
    advance(std::chrono::seconds(0));
    service->checkNow();
    finishCheck(silent);
    EXPECT_EQ(delegate.events, Events{"cycle ended user timedOut"});
    EXPECT_EQ(shownWindow(), failed);
    EXPECT_EQ(server.requests("/feed.xml"), 1);
}

// A check begins exactly when canCheck() turns false, so the schedule is read without the network.
TEST_F(UpdateServiceScenario, ChecksOnceEveryIntervalCountedFromTheLastCheckEvenAcrossLaunches) {
    const std::pair<std::optional<std::int64_t>, std::chrono::seconds> cases[] = {
        {std::nullopt, std::chrono::hours(24)},
        {7200, std::chrono::hours(2)},
        {60, UpdateService::shortestCheckInterval},
        {-5, UpdateService::shortestCheckInterval},
        {1'000'000'000, UpdateService::longestCheckInterval},
    };
    for (const auto& [setting, interval] : cases) {
        SCOPED_TRACE(interval.count());
        auto preferences = settings();
        preferences.remove(settingsKey::lastCheckDate);
        if (setting) {
            preferences.setInteger(settingsKey::checkInterval, *setting);
        }
        canCheckValues.clear();
        start(server.url("/same.xml"));
        advance(std::chrono::seconds(0));
        finishCheck();
        EXPECT_EQ(canCheckValues, (std::vector<bool>{false, true, false, true}));
        for (int launch = 0; launch < 2; ++launch) {
            advance(interval - std::chrono::seconds(1));
            EXPECT_TRUE(service->canCheck()) << "checked early after launch " << launch;
            advance(std::chrono::seconds(1));
            EXPECT_FALSE(service->canCheck()) << "no check after launch " << launch;
            finishCheck();
            service.reset(); // quit and launch again: the next check waits for the rest of the interval
            start(server.url("/same.xml"));
        }
        service.reset();
    }
}

TEST_F(UpdateServiceScenario, WithoutAUsableFeedNothingIsEverChecked) {
    for (const std::string feed :
         {"", "file:///etc/hosts", "ftp://127.0.0.1/feed.xml", "feed.xml", "http://"}) {
        SCOPED_TRACE(feed);
        settings().remove(settingsKey::feedURL);
        canCheckValues.clear();
        start(feed);
        advance(std::chrono::hours(72));
        service->checkNow();
        EXPECT_EQ(canCheckValues, std::vector<bool>{false});
        EXPECT_EQ(shownWindow(), "none");
        EXPECT_TRUE(delegate.events.empty());
    }
}

TEST_F(UpdateServiceScenario, RefusesARunningVersionThatCannotBeCompared) {
    EXPECT_THROW(UpdateService(UpdateConfiguration{"Tandalo", "?", "?", fetchTimeout}, settings(), delegate,
                               UpdatePlatform::system(timers)),
                 UpdateError);
}

} // namespace
} // namespace updates
