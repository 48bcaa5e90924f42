#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/ManualExecutor.h"
#include "platform/foundation/FoundationError.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/Unicode.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using corvane::TakeOver;
using testing::device;
using testing::runToEnd;

constexpr const char* mountTool = "/opt/tandalo/mount-tandalo";

class MountManagerTests : public ::testing::Test {
protected:
    MountManagerTests() { m_files.createDirectories("/home/me/Tandalo/Pixel 7"); }

    testing::Outcome<std::filesystem::path> mount(const corvane::USBDeviceDescriptor& which,
                                                  TakeOver takeOver = TakeOver::fromCameraService,
                                                  std::optional<bool> extensionEnabled = true) {
        auto made = runToEnd(m_executor, m_manager.mount(which, m_folder, extensionEnabled, takeOver));
        return {made.value ? std::optional(made.value->folder) : std::nullopt, made.error};
    }
    /// The resources the mount tool was run with, checking the rest of each command line.
    std::vector<std::string> resources() const {
        std::vector<std::string> result;
        for (const auto& call : m_runner.calls()) {
            EXPECT_EQ(call.executable, mountTool);
            EXPECT_EQ(call.arguments.size(), 4U);
            if (call.arguments.size() == 4) {
                EXPECT_EQ(call.arguments[0], "-t");
                EXPECT_EQ(call.arguments[1], "tandalo");
                EXPECT_EQ(call.arguments[3], m_folder.string());
                result.push_back(call.arguments[2]);
            }
        }
        return result;
    }
    void answerEveryRun(std::int32_t status, std::string output) {
        m_runner.setScript([=](const ProcessCommand&) { return ProcessResult{status, output}; });
    }

    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    testing::FakeProcessRunner m_runner;
    testing::FakeMountTable m_table;
    testing::FakeFileOperations m_files;
    testing::FakeVolumeUnmounter m_volumes;
    testing::FakeVolumeServers m_servers;
    testing::FakeBundleInformation m_bundle;
    MountManager m_manager{MountServices{m_runner, m_table, m_files, m_volumes, m_servers, m_clock, m_bundle},
                           MountTools{mountTool}};
    const std::filesystem::path m_folder = "/home/me/Tandalo/Pixel 7";
};

TEST_F(MountManagerTests, MountsWithTheTokenFileAndReturnsTheFolder) {
    const auto outcome = mount(device("R58N123ABC"));
    EXPECT_EQ(outcome.value, m_folder);
    EXPECT_EQ(resources(), std::vector<std::string>{"/home/me/Tandalo/.tandalo/1/R58N123ABC.tandalo"});
    EXPECT_TRUE(m_files.isFile("/home/me/Tandalo/.tandalo/1/R58N123ABC.tandalo"));
}

TEST_F(MountManagerTests, ADeviceInTheMountTableIsNotMountedAgain) {
    m_table.add("mtp://R58N123ABC?attempt=2", "/elsewhere/Pixel");
    EXPECT_EQ(mount(device("R58N123ABC")).value, "/elsewhere/Pixel");
    EXPECT_TRUE(m_runner.calls().empty());
}

TEST_F(MountManagerTests, AMountWhoseServerDiedIsTakenDownAndMadeAnewWithItsServerNamed) {
    m_table.add("/home/me/Tandalo/.tandalo/1/R58N123ABC.tandalo", m_folder);
    m_servers.disconnect(m_folder);
    m_volumes.onUnmounted = [this](const std::filesystem::path& folder) { m_table.remove(folder); };
    answerEveryRun(0, "mount-tandalo: served by process 4242\n");
    const auto made = runToEnd(
        m_executor, m_manager.mount(device("R58N123ABC"), m_folder, true, TakeOver::fromCameraService));
    ASSERT_TRUE(made.value) << made.errorText();
    EXPECT_EQ(*made.value, (MountManager::Mounted{m_folder, 4242}));
    EXPECT_EQ(m_volumes.calls(), (std::vector<std::string>{"force " + m_folder.string()}));
    EXPECT_EQ(resources().size(), 1U);
    for (const auto& [output, server] : std::vector<std::pair<std::string, std::optional<std::int32_t>>>{
             {"", std::nullopt},
             {"mount-tandalo: served by process \n", std::nullopt},
             {"mount-tandalo: served by process 0\n", std::nullopt},
             {"mount-tandalo: served by process 99999999999\n", std::nullopt},
             {"noise\nmount-tandalo: served by process 17\n", 17}}) {
        EXPECT_EQ(MountManager::serverNamedIn(output), server) << output;
    }
}

TEST_F(MountManagerTests, AFailedRunAfterWhichTheDeviceIsMountedCountsAsSuccess) {
    m_runner.setScript([&](const ProcessCommand& command) {
        m_table.add(command.arguments[2], "/mounted/there");
        return ProcessResult{1, "mount-tandalo: something odd"};
    });
    EXPECT_EQ(mount(device("R58N123ABC")).value, "/mounted/there");
    EXPECT_EQ(m_runner.calls().size(), 1U);
}

TEST_F(MountManagerTests, ABusyDeviceIsTriedThreeTimesOneSecondApart) {
    answerEveryRun(1, "mount-tandalo: loadResource: Device or resource busy");
    const auto start = m_clock.now();
    const auto outcome = mount(device("R58N123ABC"), TakeOver::fromAnyone);
    EXPECT_EQ(m_clock.now() - start, 3s) << "a wait follows every busy run, the last one too";
    EXPECT_EQ(resources(),
              (std::vector<std::string>{"/home/me/Tandalo/.tandalo/take-over-1/R58N123ABC.tandalo",
                                        "/home/me/Tandalo/.tandalo/take-over-2/R58N123ABC.tandalo",
                                        "/home/me/Tandalo/.tandalo/take-over-3/R58N123ABC.tandalo"}));
    EXPECT_EQ(outcome.errorText(),
              "The device is still held by an earlier mount attempt. Unplug it, wait a few "
              "seconds and plug it back in.");
    for (const auto& resource : resources()) {
        EXPECT_FALSE(m_files.isFile(resource)) << "a failed mount leaves no token file";
    }
}

TEST_F(MountManagerTests, ATokenTheToolNeverLoadedIsTriedOnceAsAURLWithTheSameAttempt) {
    int run = 0;
    m_runner.setScript([&](const ProcessCommand&) {
        return ++run == 1 ? ProcessResult{1, "mount-tandalo: loadResource: Device or resource busy"}
                          : ProcessResult{2, "mount-tandalo: the resource is not an mtp:// URL"};
    });
    const auto outcome = mount(device("R58N123ABC"), TakeOver::never, std::nullopt);
    EXPECT_EQ(resources(),
              (std::vector<std::string>{"/home/me/Tandalo/.tandalo/no-take-over-1/R58N123ABC.tandalo",
                                        "/home/me/Tandalo/.tandalo/no-take-over-2/R58N123ABC.tandalo",
                                        "mtp://R58N123ABC?takeOver=never&attempt=2"}));
    EXPECT_EQ(outcome.errorText(), "The Tandalo file system extension isn't available. Make sure FUSE 3 is "
                                   "installed (the fuse3 package) and that /dev/fuse can be opened.");
}

TEST_F(MountManagerTests, WithoutATokenFileTheURLIsUsedAndABusyRetryTriesTheTokenAgain) {
    m_files.failAt("/home/me/Tandalo/.tandalo/1");
    int run = 0;
    m_runner.setScript([&](const ProcessCommand&) {
        return ++run == 1 ? ProcessResult{1, "Device or resource busy"} : ProcessResult{0, ""};
    });
    EXPECT_EQ(mount(device("")).value, m_folder);
    EXPECT_EQ(resources(), (std::vector<std::string>{"mtp://any?location=337641472",
                                                     "/home/me/Tandalo/.tandalo/2/any@337641472.tandalo"}));
    const auto entries = oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
        return entry.message.starts_with("token beside /home/me/Tandalo/Pixel 7: ");
    }));
}

TEST_F(MountManagerTests, ARunStoppedAtTheTimeLimitIsNotRunAgain) {
    m_runner.setScript([](const ProcessCommand&) {
        return ProcessResult{137, "mount-tandalo did not finish within 180 s and was stopped.", true};
    });
    const auto outcome = mount(device("R58N123ABC"));
    EXPECT_EQ(resources().size(), 1U) << "no second run in the URL form";
    EXPECT_EQ(outcome.errorText(),
              "The device did not answer within 3 minutes. Unlock it, make sure USB mode is set to File "
              "Transfer and tap Allow if it asks, then unplug it and plug it back in.");
    ASSERT_NE(outcome.errorAs<MountError>(), nullptr);
    EXPECT_EQ(outcome.errorAs<MountError>()->findings(), MountFindings{});
}

TEST_F(MountManagerTests, AToolThatCannotStartFailsAtOnce) {
    m_runner.failLaunches(ENOENT);
    const auto outcome = mount(device("R58N123ABC"));
    const auto* error = outcome.errorAs<platform::FoundationError>();
    ASSERT_NE(error, nullptr) << outcome.errorText();
    EXPECT_EQ(error->errorNumber(), ENOENT);
}

// The rules in their order, on the texts of the platform the system was designed on and on what mount-tandalo
// prints here.
TEST_F(MountManagerTests, SortsFailuresIntoMessagesAndFindings) {
    const std::string noAnswer =
        "The device didn't answer. Unlock it and make sure USB mode is set to File Transfer.";
    const std::string held =
        "Another app may be using the device, such as the file manager's own phone access, "
        "Shotwell, digiKam or gphoto2. Quit it, then unplug the device and plug it back in. "
        "If this keeps happening, restart the computer.";
    const std::string busy =
        "The device is still held by an earlier mount attempt. Unplug it, wait a few seconds "
        "and plug it back in.";
    const std::string access =
        "The device has not granted access yet. Unlock it and tap Allow when it asks to "
        "allow access to phone data.";
    const std::string place =
        "The system would not mount at that location. Choose a different folder for mounted "
        "devices in Settings.";
    const std::string switchedOn =
        "The Tandalo file system extension is switched on, but the system could not "
        "start it. Quit and reopen Tandalo. If it still fails, restart the computer.";
    const std::string missing =
        "The Tandalo file system extension isn't available. Make sure FUSE 3 is installed "
        "(the fuse3 package) and that /dev/fuse can be opened.";
    const std::string silent =
        "The device stopped responding. Plug it straight into the computer or try another "
        "cable, then try again.";
    struct Case {
        std::string output;
        std::int32_t status;
        std::optional<bool> enabled;
        std::string message;
        MountFindings findings;
    };
    const std::vector<Case> cases{
        {"mount-tandalo: probeResource: No such device or address\n", 1, true, noAnswer, {}},
        {"mount: Device not configured; ENXIO", 1, true, noAnswer, {}},
        {"mount-tandalo: loadResource: Text file busy\n", 1, true, held, {false, false, true}},
        {"error ETXTBSY, permission denied", 1, true, held, {false, true, true}},
        {"mount-tandalo: loadResource: Device or resource busy\n", 1, true, busy, {}},
        {"mount-tandalo: loadResource: Permission denied\n", 1, true, access, {false, true, false}},
        {"loading resource failed: EACCES", 1, true, access, {false, true, false}},
        {"mount-tandalo: mount /x: Operation not permitted\n", 1, true, place, {}},
        // The folder refused, not the phone: no retry for the phone's access.
        {"mount-tandalo: mount folder /x: Permission denied\n", 1, true, place, {}},
        {"mount-tandalo: mount /x: Permission denied\n", 1, true, place, {}},
        {"mount-tandalo: open /dev/fuse: No such file or directory\n", 1, true, switchedOn, {}},
        {"mount-tandalo: open /dev/fuse: No such file or directory\n", 1, false, missing, {}},
        {"mount-tandalo: open /dev/fuse: No such file or directory\n", 1, std::nullopt, missing, {}},
        {"mount-tandalo: loadResource: module not found", 1, true, switchedOn, {}},
        {"mount-tandalo: mount folder /x: Transport endpoint is not connected",
         1,
         true,
         switchedOn,
         {true, false, false}},
        {"something already exists at loading resource",
         1,
         true,
         "something already exists at loading resource",
         {true, false, false}},
        {"mount-tandalo: loadResource: Input/output error\n", 1, true, silent, {}},
        {"mount-tandalo: activate: Input/output error", 1, true, silent, {}},
        {"", 70, false, "mount failed (exit 70)", {}},
        {"  loading resource: odd\n ", 3, true, "loading resource: odd", {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.output);
        EXPECT_EQ(m_manager.failureMessage(each.output, each.status, each.enabled), each.message);
        EXPECT_EQ(MountManager::findingsOf(platform::unicode::lowercased(each.output)), each.findings);
    }
}

TEST_F(MountManagerTests, FindsDevicesInTheMountTableByTheirResource) {
    m_table.add("/m/.tandalo/take-over-3/R58N123ABC.tandalo", "/m/Pixel 7");
    m_table.add("mtp://R58N999?attempt=2", "/m/Other");
    m_table.add("/m/.tandalo/1/a%2F..%3F.tandalo", "/m/Odd");
    m_table.add("/m/.tandalo/1/any@7.tandalo", "/m/No serial");
    m_table.add("mtp://any?location=8&attempt=3", "/m/No serial (2)");
    m_table.add("mtp://any", "/m/Anything");
    m_table.add("/m/.tandalo/1/zzz.tandalo", "/m/Another type", "fuse.other");
    m_table.add("/m/.tandalo/1/text.txt", "/m/Text");
    platform::MountInfo someoneElses;
    someoneElses.source = "mtp://R58N123ABC";
    someoneElses.mountPoint = "/home/other/Tandalo/Pixel 7";
    someoneElses.fileSystemType = "fuse.tandalo";
    someoneElses.superOptions = "rw,user_id=" + std::to_string(MountServices::currentUserID() + 1);
    m_table.add(std::move(someoneElses)); // never counted, never unmounted
    const std::vector<std::pair<corvane::USBDeviceDescriptor, std::optional<std::filesystem::path>>> cases{
        {device("R58N123ABC"), "/m/Pixel 7"}, {device("R58N999"), "/m/Other"},
        {device("a/..?"), "/m/Odd"},          {device("r58n123abc"), std::nullopt},
        {device("r58n999"), std::nullopt},    {device("", 7), "/m/No serial"},
        {device("", 8), "/m/No serial (2)"},  {device("", 9), std::nullopt},
        {device("ZZZ"), std::nullopt},        {device("text"), std::nullopt},
    };
    for (const auto& [which, expected] : cases) {
        SCOPED_TRACE(which.serialNumber);
        EXPECT_EQ(m_manager.existingMount(which), expected);
    }
    EXPECT_EQ(m_manager.mounts().size(), 7U);
    EXPECT_TRUE(m_manager.isMounted(device("", 9), "/m/Anything/"));
    EXPECT_FALSE(m_manager.isMounted(device("", 9), "/m/Another type"));
}

class UnmountTests : public MountManagerTests {
protected:
    UnmountTests() {
        m_table.add("mtp://R58N123ABC", m_folder);
        m_volumes.onUnmounted = [this](const std::filesystem::path& folder) { m_table.remove(folder); };
    }
    std::vector<std::string> commandLines() const {
        std::vector<std::string> lines;
        for (const auto& call : m_runner.calls()) {
            auto line = call.executable.string();
            for (const auto& argument : call.arguments) {
                line += " " + argument;
            }
            lines.push_back(line);
        }
        return lines;
    }
};

// A token file is made for each attempt and take-over choice; all of the device's go with its volume,
// and only what is beside its folder.
TEST_F(UnmountTests, AVolumeTakesItsDevicesTokenFilesWithIt) {
    const std::filesystem::path tokens = "/home/me/Tandalo/.tandalo";
    for (const bool forced : {false, true}) {
        for (const bool beside : {true, false}) {
            SCOPED_TRACE(
                testsupport::concat(forced ? "forced" : "normal", beside ? ", beside" : ", elsewhere"));
            const std::filesystem::path from = beside ? tokens : "/elsewhere/.tandalo";
            for (const auto* file :
                 {"1/r58n123abc.tandalo", "take-over-2/r58n123abc.tandalo", "1/other.tandalo"}) {
                m_files.createDirectories((from / file).parent_path());
                m_files.createEmptyFile(from / file);
            }
            m_files.createDirectories(m_folder);
            m_table.remove(m_folder);
            m_table.add((from / "take-over-2/r58n123abc.tandalo").string(), m_folder);
            const auto outcome = runToEnd(m_executor, forced ? m_manager.forceUnmount(m_folder)
                                                             : m_manager.unmountVolume(m_folder));
            ASSERT_EQ(outcome.errorText(), "");
            EXPECT_EQ(m_files.isFile(from / "1/r58n123abc.tandalo"), !beside);
            EXPECT_EQ(m_files.isFolder(from / "take-over-2"), !beside) << "an emptied folder goes";
            EXPECT_TRUE(m_files.isFile(from / "1/other.tandalo")) << "another device's stays";
        }
    }
}

TEST_F(UnmountTests, TheNormalChainStopsAtTheFirstWayThatWorks) {
    using Refused = testing::FakeVolumeUnmounter::Answer;
    const std::string umount = "/usr/bin/umount /home/me/Tandalo/Pixel 7";
    const std::string fusermount = "/usr/bin/fusermount3 -u /home/me/Tandalo/Pixel 7";
    const std::string busy =
        "fusermount3: failed to unmount /home/me/Tandalo/Pixel 7: Device or resource busy\n";
    struct Case {
        const char* name;
        bool politeWorks;
        std::vector<ProcessResult> runs;
        std::vector<std::string> expectedRuns;
        std::string error;
    };
    // Failure lines are for a chain that failed: a refused step that a later one makes good says nothing.
    const auto failureLines = [] {
        const auto entries = oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h);
        return std::count_if(entries.begin(), entries.end(), [](const oslog::LogEntry& entry) {
            return entry.level >= oslog::LogLevel::notice &&
                   entry.message.starts_with("unmountVolume /home/me/Tandalo/Pixel 7");
        });
    };
    const std::vector<Case> cases{
        {"polite", true, {}, {}, ""},
        {"umount", false, {{0, ""}}, {umount}, ""},
        {"fusermount3", false, {{32, "umount: must be superuser"}, {0, ""}}, {umount, fusermount}, ""},
        {"none, with output", false, {{32, ""}, {1, busy}}, {umount, fusermount}, busy},
        {"none, silent", false, {{32, ""}, {1, ""}}, {umount, fusermount}, "unmount failed"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        testing::FakeProcessRunner runner;
        auto runs = each.runs;
        runner.setScript([&runs](const ProcessCommand&) {
            auto next = runs.front();
            runs.erase(runs.begin());
            return std::optional(next);
        });
        m_volumes.setPoliteAnswer(each.politeWorks ? Refused{} : Refused{false, "Device or resource busy"});
        m_files.createDirectories(m_folder);
        MountManager manager(MountServices{runner, m_table, m_files, m_volumes, m_servers, m_clock, m_bundle},
                             MountTools{});
        const auto linesBefore = failureLines();
        const auto outcome = runToEnd(m_executor, manager.unmountVolume(m_folder));
        EXPECT_EQ(failureLines() - linesBefore, each.error.empty() ? 0 : 1);
        EXPECT_EQ(outcome.errorText(), each.error);
        EXPECT_EQ(outcome.errorAs<MountError>() != nullptr, !each.error.empty());
        std::vector<std::string> lines;
        for (const auto& call : runner.calls()) {
            lines.push_back(call.executable.string() + " " + call.arguments.front() +
                            (call.arguments.size() > 1 ? " " + call.arguments[1] : ""));
        }
        EXPECT_EQ(lines, each.expectedRuns);
        EXPECT_EQ(m_files.isFolder(m_folder), !each.error.empty()) << "removed after an unmount that worked";
    }
}

TEST_F(UnmountTests, AFolderIsOnlyEverRemovedWhenEmpty) {
    m_files.createEmptyFile(m_folder / "left by the user.jpg");
    EXPECT_TRUE(runToEnd(m_executor, m_manager.unmountVolume(m_folder)).value);
    EXPECT_TRUE(m_files.isFile(m_folder / "left by the user.jpg"));

    m_files.createDirectories("/m/Stale/.hidden");
    m_files.createDirectories("/m/Empty");
    m_files.createDirectories("/m/Mounted");
    m_table.add("mtp://other", "/m/Mounted");
    for (const auto* folder : {"/m/Stale", "/m/Empty", "/m/Mounted", "/m/Missing"}) {
        m_manager.removeStaleFolder(folder);
    }
    EXPECT_TRUE(m_files.isFolder("/m/Stale"));
    EXPECT_FALSE(m_files.isFolder("/m/Empty"));
    EXPECT_TRUE(m_files.isFolder("/m/Mounted")) << "a mounted folder is never touched, empty or not";
}

TEST_F(UnmountTests, AForcedUnmountNeedsAMountAndReportsARefusal) {
    EXPECT_EQ(runToEnd(m_executor, m_manager.forceUnmount("/not/mounted")).errorText(),
              "the disk service does not know /not/mounted");
    m_volumes.setForcedAnswer({false, "Device or resource busy"});
    EXPECT_EQ(runToEnd(m_executor, m_manager.forceUnmount(m_folder)).errorText(), "Device or resource busy");
    m_volumes.setForcedAnswer({});
    EXPECT_TRUE(runToEnd(m_executor, m_manager.forceUnmount(m_folder)).value);
    EXPECT_FALSE(m_files.isFolder(m_folder));
    EXPECT_EQ(m_volumes.calls(),
              (std::vector<std::string>{"force " + m_folder.string(), "force " + m_folder.string()}));
}

TEST_F(UnmountTests, ATimeLimitedUnmountForcesAsSoonAsTheChainFailsOrTheLimitPasses) {
    struct Case {
        const char* name;
        testing::FakeVolumeUnmounter::Answer polite;
        int toolStatus;
        platform::Clock::Duration forcedAfter;
    };
    const std::vector<Case> cases{{"the chain fails at once", {false, "busy"}, 1, 0s},
                                  {"the chain hangs", {true, std::nullopt}, 1, 4s}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        m_volumes.setPoliteAnswer(each.polite);
        answerEveryRun(each.toolStatus, "busy");
        const auto before = m_volumes.calls().size();
        const auto start = m_clock.now();
        bool forced = false;
        platform::Clock::Duration forcedAt{};
        m_volumes.onUnmounted = [&](const std::filesystem::path&) {
            forced = true;
            forcedAt = m_clock.now() - start;
        };
        EXPECT_TRUE(runToEnd(m_executor, m_manager.unmount(m_folder, 4s)).value);
        EXPECT_TRUE(forced);
        EXPECT_EQ(forcedAt, each.forcedAfter);
        EXPECT_EQ(m_volumes.calls().back(), "force " + m_folder.string());
        EXPECT_EQ(m_volumes.calls().size(), before + 2);
    }
}

} // namespace
} // namespace tandalo::app
