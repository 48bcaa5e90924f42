// The two guards that run before the model exists: one running copy, and no build older than one used.
#include "Tandalo/ui/DowngradeGuard.h"
#include "Tandalo/ui/SingleInstance.h"
#include "platform/foundation/LogStore.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/support/ChildProcess.h"

#include <QLocalServer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tandalo::ui {
namespace {

TEST(DowngradeGuardTests, RecordsTheHighestBuildAndStopsAnOlderOne) {
    struct Case {
        const char* what;
        std::optional<std::string> build;
        std::optional<std::int64_t> stored;
        DowngradeGuard::Answer answer;
        DowngradeGuard::Outcome outcome;
        std::optional<std::int64_t> storedAfter;
        bool asked;
        bool opened;
    };
    using enum DowngradeGuard::Answer;
    using Outcome = DowngradeGuard::Outcome;
    const std::vector<Case> cases{
        {"first start", "27", std::nullopt, quit, Outcome::proceed, 27, false, false},
        {"same build", "27", 27, quit, Outcome::proceed, 27, false, false},
        {"newer build", "28", 27, quit, Outcome::proceed, 28, false, false},
        {"older build, quit", "26", 27, quit, Outcome::quit, 27, true, false},
        {"older build, download", "26", 27, download, Outcome::quit, 27, true, true},
        {"no build number", "27b", 30, download, Outcome::proceed, 30, false, false},
    };
    for (const auto& each : cases) {
        app::testing::MemoryPreferenceSuites suites;
        const auto shared = suites.suite("K7QW3ZR2LD.group.com.brenwick.Tandalo");
        if (each.stored) {
            shared->set(DowngradeGuard::highestBuildKey, *each.stored);
        }
        app::testing::FakeBundleInformation bundle;
        bundle.values["CFBundleVersion"] = *each.build;
        std::vector<std::string> asked;
        std::vector<QUrl> opened;
        const DowngradeGuard::Services services{.suites = suites,
                                                .bundle = bundle,
                                                .ask =
                                                    [&](const QString& message, const QString&) {
                                                        asked.push_back(message.toStdString());
                                                        return each.answer;
                                                    },
                                                .openURL = [&](const QUrl& url) { opened.push_back(url); }};
        EXPECT_EQ(DowngradeGuard::check(services), each.outcome) << each.what;
        EXPECT_EQ(shared->integerValue(DowngradeGuard::highestBuildKey), each.storedAfter) << each.what;
        EXPECT_EQ(
            asked,
            each.asked
                ? std::vector<std::string>{"This Tandalo is older than one already used on this computer."}
                : std::vector<std::string>{})
            << each.what;
        EXPECT_EQ(opened,
                  each.opened ? std::vector<QUrl>{DowngradeGuard::downloadPage()} : std::vector<QUrl>{})
            << each.what;
    }

    app::testing::MemoryPreferenceSuites unavailable;
    unavailable.makeUnavailable();
    EXPECT_EQ(DowngradeGuard::check({.suites = unavailable}), DowngradeGuard::Outcome::proceed);
    app::testing::MemoryPreferenceSuites readOnly;
    std::static_pointer_cast<app::testing::MemoryPreferences>(
        readOnly.suite("K7QW3ZR2LD.group.com.brenwick.Tandalo"))
        ->failWrites();
    EXPECT_EQ(DowngradeGuard::check({.suites = readOnly}), DowngradeGuard::Outcome::proceed);
}

class SingleInstanceTests : public ::testing::Test {
protected:
    platform::testing::TemporaryFolder temporary;
    std::filesystem::path folder = temporary.path() / "tandalo";
    std::vector<std::filesystem::path> folders{folder};

    /// Claims from another thread, as a second copy would, while this thread runs the event loop.
    SingleInstance::Role
    claimElsewhere(platform::Clock& clock,
                   const std::function<void(const std::function<bool()>&)>& meanwhile = {}) {
        auto role = std::async(std::launch::async, [&] { return SingleInstance(folders, clock).claim(); });
        const auto ended = [&] {
            return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
        if (meanwhile) {
            meanwhile(ended);
        }
        EXPECT_TRUE(QTest::qWaitFor(ended));
        return role.get();
    }
};

TEST_F(SingleInstanceTests, ALaterCopyHandsOverToTheRunningOneWhichShowsItself) {
    SingleInstance running(folder, platform::Clock::system());
    int reopened = 0;
    QObject::connect(&running, &SingleInstance::reopenRequested, [&] { ++reopened; });
    // A dead copy's socket is left behind: the copy that holds the lock replaces it.
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(address.sun_path, (folder / "instance.sock").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);

    ASSERT_EQ(running.claim(), SingleInstance::Role::running);
    EXPECT_EQ(claimElsewhere(platform::Clock::system()), SingleInstance::Role::handedOver);
    EXPECT_EQ(claimElsewhere(platform::Clock::system()), SingleInstance::Role::handedOver);
    EXPECT_EQ(reopened, 2);
}

TEST_F(SingleInstanceTests, ACopyThatGetsNoAnswerEndsAfterThreeSeconds) {
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    const platform::UniqueFd lock(::open((folder / "instance.lock").c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(QString::fromStdString((folder / "instance.sock").string())));
    platform::VirtualClock clock;
    const auto role = claimElsewhere(clock, [&](const std::function<bool()>& ended) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }));
        clock.advance(SingleInstance::handoverLimit - std::chrono::milliseconds(1));
        QTest::qWait(30);
        EXPECT_FALSE(ended()) << "it waits the whole limit";
        clock.advance(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(role, SingleInstance::Role::handedOver);
}

TEST_F(SingleInstanceTests, AFolderThatIsNotPrivateIsPassedOverAndWithoutOneTheLogSaysTheGuardIsOff) {
    struct Case {
        const char* what;
        uid_t owner;
        mode_t mode;
    };
    std::vector<Case> cases{{"open to others", ::geteuid(), 0777}};
    if (::geteuid() == 0) {
        cases.push_back({"another user's", 54321, 0700});
    }
    for (const auto& [what, owner, mode] : cases) {
        SCOPED_TRACE(what);
        platform::testing::TemporaryFolder place;
        const auto taken = place.path() / "tandalo-1000";
        std::filesystem::create_directory(taken);
        ASSERT_EQ(::chown(taken.c_str(), owner, owner), 0);
        ASSERT_EQ(::chmod(taken.c_str(), mode), 0);
        folders = {taken, place.path() / "cache" / "tandalo"};
        SingleInstance running(folders, platform::Clock::system());
        ASSERT_EQ(running.claim(), SingleInstance::Role::running);
        EXPECT_EQ(running.folder(), folders[1]);
        EXPECT_EQ(claimElsewhere(platform::Clock::system()), SingleInstance::Role::handedOver);

        SingleInstance alone(taken, platform::Clock::system());
        EXPECT_EQ(alone.claim(), SingleInstance::Role::running);
        EXPECT_TRUE(alone.folder().empty());
        const auto entries =
            oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", std::chrono::hours(1));
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const oslog::LogEntry& entry) {
            return entry.message.find("another copy may run beside this one") != std::string::npos;
        }));
    }
}

TEST_F(SingleInstanceTests, ASocketThatCannotListenIsLogged) {
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    std::filesystem::create_directory(folder / "instance.sock");
    SingleInstance running(folder, platform::Clock::system());
    EXPECT_EQ(running.claim(), SingleInstance::Role::running);
    const auto entries =
        oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", std::chrono::hours(1));
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const oslog::LogEntry& entry) {
        return entry.message.find("cannot listen") != std::string::npos &&
               entry.message.find(folder.string()) != std::string::npos;
    }));
}

TEST_F(SingleInstanceTests, OfCopiesStartedTogetherExactlyOneRuns) {
    constexpr int copies = 6;
    for (int round = 0; round < 3; ++round) {
        std::vector<testsupport::ChildProcess> started;
        for (int each = 0; each < copies; ++each) {
            started.push_back(testsupport::ChildProcess::start(INSTANCE_PROBE,
                                                               {folder.string(), std::to_string(copies - 1)},
                                                               {"QT_QPA_PLATFORM=offscreen"}));
        }
        int running = 0;
        for (auto& copy : started) {
            const auto line = copy.readLine();
            running += line == "running" ? 1 : 0;
            EXPECT_TRUE(line == "running" || line == "handed over") << line.value_or("(nothing)");
            EXPECT_EQ(copy.wait(), 0);
        }
        EXPECT_EQ(running, 1);
    }
}

} // namespace
} // namespace tandalo::ui
