// The update checker on the desktop: the update service fetching from a feed server on the loopback
// interface, its windows drawn offscreen and found among the application's.
#include "Tandalo/core/Updater.h"
#include "Tandalo/desktop/QtApplicationWindows.h"
#include "Tandalo/desktop/QtMainExecutor.h"
#include "Tandalo/desktop/ServiceUpdateFramework.h"

#include "platform/updates/UpdateWindow.h"
#include "tests/Tandalo/core/AppFakes.h"
#include "tests/platform/desktop/support/PrivateBus.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/platform/updates/FeedServer.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using desktop::testing::waitUntil;

std::string feedOffering(const char* version) {
    return testsupport::concat(R"(<?xml version="1.0"?><rss version="2.0" xmlns:u="urn:tandalo:updates:1">)",
                               "<channel><item><u:version>", version,
                               "</u:version><u:download>get.tar.gz</u:download></item></channel></rss>");
}

class DesktopUpdaterTests : public ::testing::Test {
protected:
    /// The checker with the real framework, reading the feed named in the application's settings.
    Updater& start(const std::string& feed) {
        auto settings = *platform::Preferences::suite("Tandalo", folder.path());
        settings.setString(updates::settingsKey::feedURL, feed);
        const updates::UpdatePlatform platform{&timers, [](const std::string&) { return true; },
                                               [] { return false; }};
        updater = std::make_unique<Updater>(
            Updater::Services{executor, notifications, bundle, qtApplicationWindows(),
                              ServiceUpdateFramework::factory(
                                  {"Tandalo", "1.4", "1.4", std::chrono::seconds(30)}, settings, platform)});
        return *updater;
    }

    platform::testing::TemporaryFolder folder;
    platform::VirtualClock clock;
    desktop::ClockTimers timers{clock};
    QtMainExecutor executor{clock};
    testing::CallLog log;
    testing::FakeNotificationCenter notifications{log, executor};
    testing::FakeBundleInformation bundle;
    updates::testing::FeedServer server;
    std::unique_ptr<Updater> updater;
};

// A scheduled check finds 1.5 while the application is in the background: the checker announces it. Its
// notification's click brings the service's window; "Check for Updates…" closes it and checks afresh.
TEST_F(DesktopUpdaterTests, AnnouncesAnUpdateFoundInTheBackgroundAndChecksAfreshWhenAskedAgain) {
    server.route("/feed.xml", {200, feedOffering("1.5")});
    auto& checker = start(server.url("/feed.xml"));
    ASSERT_TRUE(waitUntil([&] { return checker.waitingVersion->has_value(); }));
    EXPECT_EQ(*checker.waitingVersion, "1.5");
    EXPECT_EQ(updates::visibleUpdateWindow(), nullptr);

    checker.controller().checkForUpdates(); // the notification's click
    ASSERT_NE(updates::visibleUpdateWindow(), nullptr);
    EXPECT_EQ(*checker.waitingVersion, std::nullopt);
    EXPECT_EQ(server.requests("/feed.xml"), 1);

    checker.checkForUpdates();
    EXPECT_FALSE(*checker.canCheckForUpdates) << "the window closed, and the owed check began at once";
    ASSERT_TRUE(waitUntil([&] { return *checker.canCheckForUpdates; }));
    EXPECT_EQ(server.requests("/feed.xml"), 2);
    EXPECT_NE(updates::visibleUpdateWindow(), nullptr) << "the user's check shows what it found";
    updater.reset();
}

} // namespace
} // namespace tandalo::app
