#include "Tandalo/core/LinuxProcessRunner.h"

#include "Tandalo/core/DesktopSettings.h"
#include "Tandalo/core/FileOperations.h"
#include "Tandalo/core/ManualExecutor.h"
#include "Tandalo/core/VolumeUnmounter.h"
#include "platform/foundation/FoundationError.h"
#include "platform/foundation/OneShot.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;

/// Runs the shell script through the runner and waits, in real time, for its end.
class LinuxProcessRunnerTests : public ::testing::Test {
protected:
    testing::Outcome<ProcessResult> runScript(const std::string& script,
                                              platform::Clock::Duration limit = 1min) {
        testing::Outcome<ProcessResult> outcome;
        bool finished = false;
        spawn(m_executor, testing::capture(run(m_runner, ProcessCommand{"/bin/sh", {"-c", script}, limit}),
                                           outcome, finished));
        EXPECT_TRUE(m_executor.runUntil([&] { return finished; }));
        return outcome;
    }

    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    LinuxProcessRunner m_runner{m_clock};
};

TEST_F(LinuxProcessRunnerTests, GivesTheStatusAndBothStreamsAsWritten) {
    const auto result = runScript("echo one; echo two >&2; printf 'bad \\377 byte'; exit 3").value;
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 3);
    EXPECT_EQ(result->output, "one\ntwo\nbad \uFFFD byte");
}

TEST_F(LinuxProcessRunnerTests, ReadsOutputLargerThanAPipeWhileTheChildRuns) {
    const auto result = runScript("head -c 3000000 /dev/zero | tr '\\0' x").value;
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(result->output.substr(0, LinuxProcessRunner::defaultOutputLimit),
              std::string(LinuxProcessRunner::defaultOutputLimit, 'x'));
    EXPECT_TRUE(result->output.ends_with("\n[1951424 more bytes of output were dropped]\n"));
}

TEST_F(LinuxProcessRunnerTests, EndsWhenTheChildEndsEvenIfItsHeirKeepsThePipe) {
    // As mount-tandalo does: the serving process it leaves behind may still hold the output open.
    const auto result = runScript("sleep 30 & echo $!; echo ready").value;
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->output.ends_with("ready\n"));
    ::kill(std::stoi(result->output), SIGKILL);
}

TEST_F(LinuxProcessRunnerTests, SaysWhenASignalOrTheTimeLimitEndedTheChild) {
    const auto crashed = runScript("echo partial; kill -SEGV $$").value;
    ASSERT_TRUE(crashed);
    EXPECT_EQ(crashed->status, 128 + SIGSEGV);
    EXPECT_EQ(crashed->output, "partial\nsh was ended by signal 11 (Segmentation fault).");
    EXPECT_FALSE(crashed->timedOut);

    testing::Outcome<ProcessResult> outcome;
    bool finished = false;
    spawn(m_executor,
          testing::capture(run(m_runner, ProcessCommand{"/bin/sleep", {"600"}, 90s}), outcome, finished));
    m_executor.runUntilIdle();
    m_clock.advance(90s);
    ASSERT_TRUE(m_executor.runUntil([&] { return finished; }));
    ASSERT_TRUE(outcome.value);
    EXPECT_EQ(outcome.value->status, 128 + SIGKILL);
    EXPECT_EQ(outcome.value->output, "sleep did not finish within 90 s and was stopped.");
    EXPECT_TRUE(outcome.value->timedOut);
}

TEST_F(LinuxProcessRunnerTests, StoppingAllKillsTheChildrenStillRunningWithoutAnswering) {
    const platform::testing::TemporaryFolder folder;
    const auto pidFile = folder.path() / "pid";
    bool answered = false;
    m_runner.start(ProcessCommand{"/bin/sh",
                                  {"-c", "echo $$ > " + pidFile.string() + ".new; mv " + pidFile.string() +
                                             ".new " + pidFile.string() + "; exec sleep 600"}},
                   [&](ProcessResult) { answered = true; });
    for (int look = 0; look < 2000 && !std::filesystem::exists(pidFile); ++look) {
        std::this_thread::sleep_for(5ms); // the child, a process of its own, writes it
    }
    ASSERT_TRUE(std::filesystem::exists(pidFile));
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    m_runner.stopAll();
    EXPECT_FALSE(answered);
    EXPECT_EQ(::kill(pid, 0), -1) << "the child still runs";
    EXPECT_EQ(runScript("echo still runs").value->output, "still runs\n");
}

TEST_F(LinuxProcessRunnerTests, AProgramThatCannotBeLaunchedIsAnError) {
    testing::Outcome<ProcessResult> outcome;
    bool finished = false;
    spawn(m_executor,
          testing::capture(run(m_runner, ProcessCommand{"/nonexistent/tool", {}}), outcome, finished));
    ASSERT_TRUE(m_executor.runUntil([&] { return finished; }));
    const auto* error = outcome.errorAs<platform::FoundationError>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorNumber(), ENOENT);
}

TEST(LinuxFileOperationsTests, WorkOnRealFoldersAndRemoveOnlyEmptyOnes) {
    platform::testing::TemporaryFolder temporary;
    LinuxFileOperations files;
    const auto folder = temporary.path() / "a" / "b";
    files.createDirectories(folder);
    files.createDirectories(folder);
    files.createEmptyFile(folder / ".token");
    std::ofstream(folder / "kept") << "data";
    files.createEmptyFile(folder / "kept"); // an existing file is left as it is
    EXPECT_EQ(std::filesystem::file_size(folder / "kept"), 4U);
    auto names = files.entries(folder).value();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".token", "kept"}));
    EXPECT_THROW(files.removeEmptyFolder(folder), platform::FoundationError);
    EXPECT_TRUE(files.exists(folder / "kept"));
    EXPECT_FALSE(files.exists(folder / "missing"));
    EXPECT_EQ(files.entries(folder / "missing"), std::nullopt);
    EXPECT_THROW(files.removeEmptyFolder(temporary.path() / "a"), platform::FoundationError);
    std::filesystem::remove(folder / "kept");
    std::filesystem::remove(folder / ".token");
    files.removeEmptyFolder(folder);
    EXPECT_FALSE(files.exists(folder));
    EXPECT_FALSE(files.homeFolder().empty());
}

// The token folder and files name the user's phones: other users may not look in, whatever the umask
// and whatever an earlier version left behind.
TEST(LinuxFileOperationsTests, TokenFoldersAndFilesAreTheUsersAloneAndHomeIsTheSessions) {
    platform::testing::TemporaryFolder temporary;
    const auto mode = [](const std::filesystem::path& path) {
        return std::filesystem::status(path).permissions() & std::filesystem::perms::mask;
    };
    using enum std::filesystem::perms;
    LinuxFileOperations files;
    const auto earlier = temporary.path() / "earlier" / ".tandalo";
    std::filesystem::create_directories(earlier / "1");
    std::ofstream(earlier / "1" / "r58m.tandalo");
    std::filesystem::permissions(earlier, owner_all | group_read | group_exec | others_read | others_exec);
    std::filesystem::permissions(earlier / "1" / "r58m.tandalo",
                                 owner_read | owner_write | group_read | others_read);
    for (const auto& tokens : {temporary.path() / "new" / ".tandalo", earlier}) {
        SCOPED_TRACE(tokens.string());
        files.createPrivateFolder(tokens);
        files.createPrivateFolder(tokens / "1");
        files.createEmptyFile(tokens / "1" / "r58m.tandalo");
        EXPECT_EQ(mode(tokens), owner_all);
        EXPECT_EQ(mode(tokens / "1"), owner_all);
        EXPECT_EQ(mode(tokens / "1" / "r58m.tandalo"), owner_read | owner_write);
    }

    const platform::MemoryEnvironment session{{"HOME", "/srv/session/me"}};
    EXPECT_EQ(LinuxFileOperations(session).homeFolder(), "/srv/session/me");
    const platform::MemoryEnvironment noHome{};
    EXPECT_FALSE(LinuxFileOperations(noHome).homeFolder().empty());
}

TEST(LinuxVolumeUnmounterTests, AFolderWithNothingMountedIsRefusedWithTheSystemsWords) {
    platform::testing::TemporaryFolder temporary;
    LinuxProcessRunner runner;
    LinuxVolumeUnmounter volumes(runner);
    for (const bool forced : {false, true}) {
        platform::OneShot<std::optional<std::string>> answer;
        const auto done = [answer](std::optional<std::string> refusal) mutable {
            answer.resume(std::move(refusal));
        };
        forced ? volumes.forceUnmount(temporary.path(), done) : volumes.unmount(temporary.path(), done);
        platform::SystemClock real;
        const auto refusal = answer.waitFor(real, 20s);
        ASSERT_TRUE(refusal.has_value() && refusal->has_value())
            << "a folder with nothing mounted was unmounted";
        // With the right to unmount, EINVAL for a folder that is no mount point; without it, EPERM, and
        // then fusermount3's own words for the forced one.
        if (!forced || ::geteuid() == 0) {
            EXPECT_TRUE(**refusal == "Invalid argument" || **refusal == "Operation not permitted")
                << **refusal;
        }
    }
}

TEST(DesktopSettingsTests, NotificationSettingsOpenWithTheFirstNamedDesktopsProgramThatIsInstalled) {
    struct Case {
        std::string desktops;
        std::vector<std::string> installed;
        std::optional<std::vector<std::string>> command; // setsid's arguments
    };
    const std::vector<Case> cases{
        {"GNOME", {"gnome-control-center"}, {{"--fork", "/bin/gnome-control-center", "notifications"}}},
        {"ubuntu:GNOME",
         {"gnome-control-center"},
         {{"--fork", "/bin/gnome-control-center", "notifications"}}},
        {"GNOME", {"systemsettings", "xfce4-notifyd-config"}, std::nullopt},
        {"KDE", {"systemsettings", "kcmshell6"}, {{"--fork", "/bin/systemsettings", "kcm_notifications"}}},
        {"KDE", {"kcmshell6", "kcmshell5"}, {{"--fork", "/bin/kcmshell6", "kcm_notifications"}}},
        {"KDE", {"kcmshell5"}, {{"--fork", "/bin/kcmshell5", "kcm_notifications"}}},
        {"KDE", {}, std::nullopt},
        {"XFCE", {"xfce4-notifyd-config"}, {{"--fork", "/bin/xfce4-notifyd-config"}}},
        {"X-Cinnamon", {"gnome-control-center", "xfce4-notifyd-config"}, std::nullopt},
        {"X-Cinnamon:XFCE", {"xfce4-notifyd-config"}, {{"--fork", "/bin/xfce4-notifyd-config"}}},
        {"", {"gnome-control-center", "systemsettings", "xfce4-notifyd-config"}, std::nullopt},
    };
    for (const auto& each : cases) {
        auto installed = each.installed;
        installed.push_back("setsid");
        const auto find = [&installed](std::string_view name) -> std::optional<std::filesystem::path> {
            if (std::find(installed.begin(), installed.end(), name) == installed.end()) {
                return std::nullopt;
            }
            return std::filesystem::path("/bin") / name;
        };
        const auto command = notificationSettingsCommand(each.desktops, find);
        ASSERT_EQ(command.has_value(), each.command.has_value()) << each.desktops;
        if (command) {
            EXPECT_EQ(command->executable, "/bin/setsid") << each.desktops;
            EXPECT_EQ(command->arguments, *each.command) << each.desktops;
        }
    }
    // Without setsid the program runs as the application's child, with time enough for the user.
    const auto direct = notificationSettingsCommand("GNOME", [](std::string_view name) {
        return name == "setsid" ? std::nullopt : std::optional(std::filesystem::path("/bin") / name);
    });
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(direct->executable, "/bin/gnome-control-center");
    EXPECT_GE(direct->timeLimit, 1h);

    // The search path: the first folder that holds an executable file of the name; no relative folders.
    platform::testing::TemporaryFolder temporary;
    const auto make = [](const std::filesystem::path& file, std::filesystem::perms permissions) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << "#!/bin/sh\n";
        std::filesystem::permissions(file, permissions);
    };
    const auto a = temporary.path() / "a";
    const auto b = temporary.path() / "b";
    make(a / "plain", std::filesystem::perms::owner_read);
    make(b / "plain", std::filesystem::perms::owner_all);
    std::filesystem::create_directories(a / "folder");
    const auto searchPath = "relative:" + a.string() + "::" + b.string();
    EXPECT_EQ(findProgram("plain", searchPath), b / "plain");
    EXPECT_EQ(findProgram("folder", searchPath), std::nullopt);
    EXPECT_EQ(findProgram("../b/plain", a.string()), std::nullopt);
    EXPECT_EQ(findProgram("sh", "/nonexistent:/bin"), std::filesystem::path("/bin/sh"));
}

} // namespace
} // namespace tandalo::app
