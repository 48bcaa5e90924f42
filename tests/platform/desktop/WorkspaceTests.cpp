#include "platform/desktop/Workspace.h"

#include "platform/foundation/URL.h"
#include "tests/platform/desktop/support/Captured.h"
#include "tests/platform/desktop/support/FakeDBusService.h"
#include "tests/platform/desktop/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <memory>

using namespace std::chrono_literals;
using desktop::DesktopError;
using desktop::Workspace;
using desktop::testing::Captured;
using desktop::testing::FakeDBusService;
using desktop::testing::PrivateBus;
using desktop::testing::waitUntil;
using Outcome = Captured<std::optional<DesktopError>>;

namespace {

class WorkspaceTests : public ::testing::Test {
protected:
    /// A workspace whose opener is a shell script that writes its target to a file, then runs `then`.
    void makeWorkspace(const std::string& then, const QDBusConnection& connection) {
        desktop::WorkspaceOptions options;
        options.openCommand = {"/bin/sh", "-c", "printf '%s' \"$1\" > \"$0\"; " + then, record.toStdString()};
        workspace =
            std::make_unique<Workspace>(connection, clock, options, oslog::Logger("test", "workspace"));
    }

    /// What the opener was given, or nothing when it did not run.
    std::optional<QString> opened() const {
        QFile file(record);
        return file.open(QIODevice::ReadOnly) ? std::optional(QString::fromUtf8(file.readAll()))
                                              : std::nullopt;
    }

    PrivateBus bus{PrivateBus::Kind::session};
    platform::VirtualClock clock;
    QTemporaryDir folder;
    const QString record = folder.filePath(QStringLiteral("opened"));
    FakeDBusService fileManager{bus, QStringLiteral("org.freedesktop.FileManager1"),
                                QStringLiteral("/org/freedesktop/FileManager1"),
                                QStringLiteral("org.freedesktop.FileManager1")};
    std::unique_ptr<Workspace> workspace;
};

TEST_F(WorkspaceTests, ShowFolderAsksTheFileManagerAndFallsBackToTheOpenerOnlyWithoutOne) {
    makeWorkspace("exit 0", bus.connect());
    const std::tuple<FakeDBusService::Answer, std::optional<DesktopError::Kind>> cases[] = {
        {FakeDBusService::Answer::normally, std::nullopt},
        {FakeDBusService::Answer::withError, DesktopError::Kind::refused},
        {FakeDBusService::Answer::never, DesktopError::Kind::timedOut},
    };
    for (const auto& [answer, error] : cases) {
        fileManager.setAnswer(QStringLiteral("ShowFolders"), answer);
        const auto calls = fileManager.calls().size();
        Outcome shown;
        workspace->showFolder("/media/Tandalo/My Phone", shown.callback());
        ASSERT_TRUE(waitUntil([&] { return fileManager.calls().size() == calls + 1; }));
        if (answer == FakeDBusService::Answer::never) {
            clock.advance(10s); // only then: a time-out must not race an answer on its way
        }
        ASSERT_TRUE(waitUntil([&] { return shown.arrived(); }));
        EXPECT_EQ(shown->has_value(), error.has_value());
        if (shown->has_value() && error) {
            EXPECT_EQ((*shown)->kind(), *error);
        }
        EXPECT_EQ(fileManager.calls().back().arguments,
                  (QVariantList{QStringList{QStringLiteral("file:///media/Tandalo/My%20Phone")}, QString()}));
    }
    EXPECT_FALSE(opened()) << "the opener ran as well";
    EXPECT_THROW(workspace->showFolder("relative/folder", [](auto) {}), DesktopError);

    // Only where no file manager offers the interface, or there is no bus, does the opener show it.
    fileManager.vanish();
    for (const auto& connection : {bus.connect(), QDBusConnection(QStringLiteral("none"))}) {
        QFile::remove(record);
        makeWorkspace("exit 0", connection);
        Outcome shown;
        workspace->showFolder("/media/Tandalo/My Phone", shown.callback());
        ASSERT_TRUE(waitUntil([&] { return shown.arrived(); }));
        EXPECT_FALSE(shown->has_value());
        EXPECT_EQ(opened(), QStringLiteral("/media/Tandalo/My Phone"));
    }
}

TEST_F(WorkspaceTests, OpenReportsWhatTheOpenerReports) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"exit 0", std::nullopt},
        {"exit 2", "does not exist"},
        {"exit 3", "no program is set up to open it"},
        {"echo broken; exit 4", "the program that opens it failed (broken\n)"},
        {"kill -9 $$", "ended abnormally"},
    };
    const auto url = platform::URL::parse("https://example.org/releases?v=1.2").value();
    for (const auto& [then, failure] : cases) {
        SCOPED_TRACE(then);
        makeWorkspace(then, bus.connect());
        Outcome outcome;
        workspace->open(url, outcome.callback());
        ASSERT_TRUE(waitUntil([&] { return outcome.arrived(); }));
        EXPECT_EQ(opened(), QStringLiteral("https://example.org/releases?v=1.2"));
        ASSERT_EQ(outcome->has_value(), failure.has_value());
        if (failure) {
            EXPECT_EQ((*outcome)->kind(), DesktopError::Kind::launchFailed);
            EXPECT_NE(std::string((*outcome)->what()).find(*failure), std::string::npos)
                << (*outcome)->what();
        }
    }

    desktop::WorkspaceOptions missing;
    missing.openCommand = {"/nonexistent/xdg-open"};
    workspace = std::make_unique<Workspace>(bus.connect(), clock, missing);
    Outcome outcome;
    workspace->open(url, outcome.callback());
    EXPECT_FALSE(outcome.arrived()) << "answered from inside open()";
    ASSERT_TRUE(waitUntil([&] { return outcome.arrived(); }));
    EXPECT_NE(std::string((*outcome)->what()).find("could not start"), std::string::npos);
    EXPECT_THROW(Workspace(bus.connect(), clock, desktop::WorkspaceOptions{{}}), DesktopError);
}

TEST_F(WorkspaceTests, AnOpenerStillRunningAfterTheGraceHasOpenedAndDestructionEndsIt) {
    makeWorkspace("exec sleep 600", bus.connect());
    Outcome outcome;
    workspace->open(platform::URL::parse("file:///media/Tandalo/report.txt").value(), outcome.callback());
    clock.advance(5s);
    ASSERT_TRUE(waitUntil([&] { return outcome.arrived(); }));
    EXPECT_FALSE(outcome->has_value());

    // What is pending is answered at destruction, and the running opener does not hold it up.
    fileManager.setAnswer(QStringLiteral("ShowFolders"), FakeDBusService::Answer::never);
    Outcome pending;
    workspace->showFolder("/media/Tandalo/Phone", pending.callback());
    workspace.reset();
    ASSERT_TRUE(pending.arrived() && pending->has_value());
    EXPECT_EQ((*pending)->kind(), DesktopError::Kind::cancelled);
}

} // namespace
