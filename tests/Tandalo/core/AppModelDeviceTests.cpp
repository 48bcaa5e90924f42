// The device state machine on the virtual clock: reconciliation and its grace, mounting with its retries,
// the one task of each device, ejecting, sleep and wake, and the notifications that go with them.
#include "tests/Tandalo/core/AppModelRig.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using testsupport::concat;
using Strings = std::vector<std::string>;

constexpr const char* folderOne = "/home/me/Tandalo/Pixel 7";

/// A test name made of the case's words.
std::string caseName(std::string_view what) {
    std::string name;
    bool upper = true;
    for (const char letter : what) {
        if (std::isalnum(static_cast<unsigned char>(letter))) {
            name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(letter))) : letter;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}

ProcessResult ok() {
    return ProcessResult{0, ""};
}
ProcessResult refused(const std::string& why) {
    return ProcessResult{1, "mount-tandalo: loadResource: " + why + "\n"};
}

class AppModelDeviceTests : public testing::AppModelRig {
public:
    using testing::AppModelRig::attach;
    using testing::AppModelRig::clock;
    using testing::AppModelRig::finishMount;

    /// One moment of a scripted timeline: at that time since the start, the action, then the devices.
    struct Step {
        std::chrono::milliseconds at;
        std::function<void(AppModelDeviceTests&)> action;
        std::string devices;
    };

protected:
    void play(const std::vector<Step>& steps) {
        const auto start = clock.now();
        for (const auto& step : steps) {
            SCOPED_TRACE(concat("at ", step.at.count(), " ms"));
            executor.advanceBy(start + step.at - clock.now());
            if (step.action) {
                step.action(*this);
            }
            executor.runUntilIdle();
            EXPECT_EQ(describe(), step.devices);
        }
    }
    /// Starts with automatic mounting and the devices plugged, their mounts running.
    void startPlugged(const Strings& serials) {
        start();
        attach(serials);
        log.clear();
    }
    void setLastWrite(const std::string& id, platform::Clock::WallTime when) {
        preferences.suite(DeviceStatus::suiteName)->set(DeviceStatus::lastWriteKey(id), when);
    }
};

// --- Reconciliation ------------------------------------------------------------------------------------

struct GraceCase {
    const char* what;
    std::vector<AppModelDeviceTests::Step> steps;
    std::size_t mountRuns;
};

class GraceTimelines : public AppModelDeviceTests, public ::testing::WithParamInterface<GraceCase> {};

const auto unplug = [](AppModelDeviceTests& rig) { rig.attach({}); };
const auto replug = [](AppModelDeviceTests& rig) { rig.attach({"A"}); };

INSTANTIATE_TEST_SUITE_P(
    AppModel, GraceTimelines,
    ::testing::Values(
        GraceCase{
            "back within the grace",
            {{2s, unplug, "A mounting"},
             {7s, replug, "A mounting"},
             {20s, nullptr, "A mounting"},
             {21s, [](AppModelDeviceTests& rig) { rig.finishMount(ok()); }, concat("A mounted ", folderOne)}},
            1},
        GraceCase{"stays away",
                  {{2s, unplug, "A mounting"}, {12'900ms, nullptr, "A mounting"}, {13s, nullptr, ""}},
                  1},
        // The second change sees the mark and starts no second recheck; the first one ends it all.
        GraceCase{"two misses, one recheck",
                  {{2s, unplug, "A mounting"},
                   {4s, [](AppModelDeviceTests& rig) { rig.attach({"B"}); }, "B mounting, A mounting"},
                   {13s, nullptr, "B mounting"}},
                  2},
        GraceCase{"the wall clock set back",
                  {{2s, unplug, "A mounting"},
                   {3s, [](AppModelDeviceTests& rig) { rig.clock.setWallTime(rig.clock.wallNow() - 1h); },
                    "A mounting"},
                   {13s, nullptr, ""}},
                  1}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(GraceTimelines, ADeviceThatVanishesWhileMountingKeepsItsMountForTheGraceOnly) {
    startPlugged({"A"});
    play(GetParam().steps);
    EXPECT_EQ(mountedFolders().size(), GetParam().mountRuns) << "the running mount was kept";
    while (executor.advanceToNextTimer()) {
    }
    EXPECT_EQ(describe(), GetParam().steps.back().devices) << "no recheck left to change anything";
}

TEST_F(AppModelDeviceTests, AMountThatSucceedsAfterItsDeviceWasGivenUpIsTakenDownAgain) {
    startPlugged({"A"});
    play({{2s, unplug, "A mounting"}, {13s, nullptr, ""}}); // the recheck 10.5 s after the miss at 2.5 s
    finishMount(ok());
    executor.runUntilIdle();
    EXPECT_EQ(volumes.calls(), (Strings{concat("force ", folderOne)}));
    EXPECT_TRUE(mountTable.mounts().empty());
    EXPECT_FALSE(files.exists(folderOne));
}

struct UnpluggedCase {
    const char* what;
    std::optional<platform::Clock::Duration> lastWriteAgo;
    bool mounted;
    NotificationAuthorizationStatus permission;
    bool warned;
};

class UnpluggedDevices : public AppModelDeviceTests, public ::testing::WithParamInterface<UnpluggedCase> {};

using enum NotificationAuthorizationStatus;
INSTANTIATE_TEST_SUITE_P(
    AppModel, UnpluggedDevices,
    ::testing::Values(UnpluggedCase{"3 s after a write", 3s, true, authorized, true},
                      UnpluggedCase{"6 s after a write", 6s, true, authorized, false},
                      UnpluggedCase{"a write in the future", -2s, true, authorized, true},
                      UnpluggedCase{"never written", std::nullopt, true, authorized, false},
                      UnpluggedCase{"without notifications", 1s, true, denied, false},
                      UnpluggedCase{"while mounting", 1s, false, authorized, false}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(UnpluggedDevices, AMountedDeviceUnpluggedSoonAfterAWriteWarnsAndItsMountAndFolderGo) {
    const auto& each = GetParam();
    notifications.added.clear();
    mountAnswer = [&](const std::string&, const std::filesystem::path&) {
        return each.mounted ? std::optional(ok()) : std::nullopt;
    };
    startPlugged({"A"});
    notifications.status = each.permission;
    if (each.lastWriteAgo) {
        setLastWrite("A", clock.wallNow() - *each.lastWriteAgo);
    }
    preferences.suite(DeviceStatus::suiteName)->set(DeviceStatus::batteryKey("A"), std::int64_t{80});
    model->refreshBatteryLevels();
    attach({});
    executor.advanceBy(AppModel::vanishRecheckDelay);
    EXPECT_EQ(describe(), "");
    Strings warnings;
    for (const auto& identifier : shown()) {
        if (identifier.starts_with("tandalo.unplugged.")) {
            warnings.push_back(identifier);
        }
    }
    EXPECT_EQ(warnings, each.warned ? Strings{"tandalo.unplugged.A"} : Strings{});
    EXPECT_FALSE(preferences.suite(DeviceStatus::suiteName)->value(DeviceStatus::lastWriteKey("A")));
    EXPECT_TRUE(model->batteryLevels->empty());
    EXPECT_EQ(volumes.calls(), each.mounted ? Strings{concat("force ", folderOne)} : Strings{});
    EXPECT_TRUE(mountTable.mounts().empty());
    EXPECT_FALSE(files.exists(folderOne)) << "the device's folder is cleaned";
    if (each.warned) {
        EXPECT_EQ(notifications.added.back().title, "Pixel 7 was unplugged during a copy");
        EXPECT_EQ(notifications.added.back().sound, NotificationSound::defaultSound);
    }
}

// The device comes back while its old mount is still being forced down: it is not shown mounted on the
// dying mount, and its new mount waits for the old one to go rather than being forced down with it.
TEST_F(AppModelDeviceTests, ADeviceBackDuringItsVanishCleanUpIsMountedAfreshOnceTheOldMountIsGone) {
    mountAnswer = [](const std::string&, const std::filesystem::path&) { return std::optional(ok()); };
    startPlugged({"A"});
    ASSERT_EQ(describe(), concat("A mounted ", folderOne));
    volumes.setForcedAnswer({true, std::nullopt});
    attach({});
    attach({"A"});
    EXPECT_EQ(describe(), "A mounting");
    EXPECT_EQ(mountedFolders().size(), 1u) << "no second mount while the first one is taken down";
    volumes.answerHanging();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), concat("A mounted ", folderOne));
    EXPECT_EQ(mountedFolders(), (Strings{folderOne, folderOne}));
    EXPECT_EQ(volumes.calls(), (Strings{concat("force ", folderOne)}));
    EXPECT_EQ(mountTable.mounts().size(), 1u);
}

TEST_F(AppModelDeviceTests, ChargeOnlyPhonesAreAnnouncedOnceWhileTheyStay) {
    corvane::AndroidCandidate phone;
    phone.registryEntryID = 7;
    phone.vendorName = "Samsung";
    phone.productName = "Galaxy S21";
    corvane::AndroidCandidate other = phone;
    other.registryEntryID = 8;
    start();
    const auto publish = [&](std::vector<corvane::AndroidCandidate> candidates) {
        bus.candidates = std::move(candidates);
        usbEvents.report();
        executor.advanceBy(USBMonitor::refreshDelay);
    };
    publish({phone});
    publish({phone, other});
    notifications.status = NotificationAuthorizationStatus::denied;
    publish({other}); // 7 leaves
    notifications.status = NotificationAuthorizationStatus::authorized;
    publish({phone, other});
    EXPECT_EQ(shown(), (Strings{"tandalo.candidate.7", "tandalo.candidate.8", "tandalo.candidate.7"}));
    EXPECT_EQ(log.entries("notifications: request").size(), 3u);
    EXPECT_EQ(notifications.added.front().title, "Galaxy S21 is in charge-only mode");
    EXPECT_EQ(notifications.added.front().body, phone.fileTransferHint());
    EXPECT_EQ(notifications.added.front().sound, NotificationSound::defaultSound);
}

// --- Mounting ------------------------------------------------------------------------------------------

const std::string stale = "mount-tandalo: loadResource: File exists";
const std::string access = "The device has not granted access yet. Unlock it and tap Allow when it asks to "
                           "allow access to phone data.";
const std::vector<ProcessResult> twentyStale(20, ProcessResult{1, stale});
const std::vector<ProcessResult> fiveDenied(5, refused("Permission denied"));

struct OutcomeCase {
    const char* what;
    std::vector<ProcessResult> runs; // then success
    std::string devices;
    std::optional<std::string> lastError;
    std::size_t mountRuns;
};

class MountOutcomes : public AppModelDeviceTests, public ::testing::WithParamInterface<OutcomeCase> {};

INSTANTIATE_TEST_SUITE_P(
    AppModel, MountOutcomes,
    ::testing::Values(
        OutcomeCase{"mounts", {}, concat("A mounted ", folderOne), std::nullopt, 1},
        OutcomeCase{"stale twice",
                    {{1, stale}, {1, stale}},
                    "A mounted /home/me/Tandalo/Pixel 7 (3)",
                    std::nullopt,
                    3},
        OutcomeCase{"stale in all twenty folders", twentyStale, concat("A failed: ", stale), stale, 20},
        OutcomeCase{
            "access allowed at the third retry",
            {refused("Permission denied"), refused("Permission denied"), refused("Permission denied")},
            concat("A mounted ", folderOne),
            std::nullopt,
            4},
        OutcomeCase{"access never allowed", fiveDenied, concat("A failed: ", access), access, 5},
        OutcomeCase{"another failure", {refused("Input/output error")}, "", std::nullopt, 1}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(MountOutcomes, EachMountOutcomeEndsInItsStateMessageAndRetries) {
    const auto& each = GetParam();
    std::size_t run = 0;
    mountAnswer = [&](const std::string&, const std::filesystem::path&) {
        return std::optional(run < each.runs.size() ? each.runs[run++] : ok());
    };
    startPlugged({"A"});
    while (executor.advanceToNextTimer()) {
    }
    if (each.devices.empty()) {
        EXPECT_TRUE(model->devices->front().state.isFailed());
    } else {
        EXPECT_EQ(describe(), each.devices);
        EXPECT_EQ(model->lastError.get(), each.lastError);
    }
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
    // Stale folders are tidied as the next is tried.
    EXPECT_EQ(files.exists("/home/me/Tandalo/Pixel 7 (2)"), false);
}

TEST_F(AppModelDeviceTests, AFolderThatCannotBeMadeFailsTheDeviceWithoutItsReason) {
    files.failAt("/home/me/Tandalo/Pixel 7", EACCES);
    files.failAt("/home/me/Tandalo/Pixel 7 (2)", EACCES);
    startPlugged({"A"});
    EXPECT_EQ(describe(), "A failed: Could not create a folder for this device.");
    EXPECT_EQ(model->lastError.get(), "Could not create a folder for this device.");
}

struct HolderCase {
    const char* what;
    std::int32_t pid;
    const char* process;
    bool takeOverFromAnyone;
    std::size_t mountRuns;
    std::string message;
};

class HeldDevices : public AppModelDeviceTests, public ::testing::WithParamInterface<HolderCase> {};

INSTANTIATE_TEST_SUITE_P(
    AppModel, HeldDevices,
    ::testing::Values(HolderCase{"the camera service", 40, "ptpcamerad", false, 3,
                                 "In use by Image Capture (ptpcamerad)"},
                      HolderCase{"the desktop's phone access", 41, "gvfsd-mtp", false, 3,
                                 "In use by the file manager's phone access (gvfsd-mtp)"},
                      HolderCase{"a named application", 42, "shotwell", false, 1, "In use by Shotwell"},
                      HolderCase{"an unknown process", 43, "gphoto2", false, 1, "In use by gphoto2"},
                      HolderCase{"taken over from anyone", 40, "ptpcamerad", true, 1,
                                 "In use by Image Capture (ptpcamerad)"}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(HeldDevices, HeldDevicesAreTakenFromTheCameraServiceThreeTimesAMinuteThenNamedTheirHolder) {
    const auto& each = GetParam();
    applicationNames = {{42, "Shotwell"}};
    preferences.values().set(AppModel::autoMountKey, false);
    mountAnswer = [](const std::string&, const std::filesystem::path&) {
        return std::optional(refused("Text file busy"));
    };
    startPlugged({"A"});
    bus.holders = {{registryID("A"), {each.pid, each.process}}};
    model->mount(model->devices->front(), {each.takeOverFromAnyone, false});
    executor.runUntilIdle();
    EXPECT_EQ(describe(), concat("A failed: ", each.message));
    EXPECT_EQ(model->holders->at("A"), each.message.substr(10));
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
}

TEST_F(AppModelDeviceTests, TheCameraTakeoverLimitDropsADateExactlySixtySecondsOld) {
    startWith({MountState::unmounted()});
    preferences.values().set(AppModel::autoMountKey, false);
    bus.holders = {{registryID("SER0"), {40, "ptpcamerad"}}};
    const std::vector<std::chrono::seconds> mountsAt{0s, 10s, 20s, 30s, 70s};
    const std::vector<bool> allowed{true, true, true, false, true};
    for (std::size_t index = 0; index < mountsAt.size(); ++index) {
        executor.advanceBy(mountsAt[index] - (index ? mountsAt[index - 1] : 0s));
        EXPECT_EQ(model->cameraTakeoverAllowed("SER0"), allowed[index]) << mountsAt[index].count() << " s";
        model->mount(DeviceEntry{model->devices->front().descriptor, MountState::unmounted()}, {});
        executor.runUntilIdle();
        finishMount(refused("Input/output error"));
        executor.runUntilIdle();
    }
}

TEST_F(AppModelDeviceTests, NoMountFolderAsksOnceAndThenFailsUntilOneIsChosen) {
    environment.set("APP_SANDBOX_CONTAINER_ID", "sandboxed"); // no default folder
    preferences.values().set(AppModel::autoMountKey, false);
    startPlugged({"A", "B"});
    model->mount(model->devices->at(0), {});
    model->mount(model->devices->at(1), {});
    EXPECT_EQ(describe(),
              "A failed: Choose where devices should appear., B failed: Choose where devices should "
              "appear.");
    EXPECT_EQ(folderPanel.requests.size(), 1u);
    folderPanel.answer = "/media/phones";
    model->chooseFolder();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounting, B mounting");
    EXPECT_EQ(mountedFolders().at(0), "/media/phones/Pixel 7");
}

// Choosing a folder while a mount runs: the new mount waits for the old run to end, and the old task,
// cancelled, neither shows its outcome nor leaves its mount behind.
TEST_F(AppModelDeviceTests, OneTaskPerDeviceAndACancelledTaskChangesNothing) {
    startPlugged({"A"});
    ASSERT_EQ(describe(), "A mounting");
    folderPanel.answer = "/media/phones";
    model->chooseFolder();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounting");
    EXPECT_EQ(mountedFolders(), (Strings{folderOne})) << "the old run is still running";
    finishMount(ok());
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounting") << "the cancelled task did not show its mount";
    EXPECT_EQ(volumes.calls(), (Strings{concat("force ", folderOne)}));
    EXPECT_EQ(mountedFolders(), (Strings{folderOne, "/media/phones/Pixel 7"}));
    finishMount(ok());
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounted /media/phones/Pixel 7");
    EXPECT_EQ(shown(), Strings{}) << "a remount after choosing a folder is not announced";
}

TEST_F(AppModelDeviceTests, AMountByHandCancelsThePendingAccessRetry) {
    mountAnswer = [](const std::string&, const std::filesystem::path&) {
        return std::optional(refused("Permission denied"));
    };
    startPlugged({"A"});
    executor.advanceBy(2s);
    model->mount(model->devices->front(), {});
    executor.runUntilIdle();
    while (executor.advanceToNextTimer()) {
    }
    // The first run, the one by hand, then the three retries left.
    EXPECT_EQ(mountedFolders().size(), 5u);
    EXPECT_TRUE(model->devices->front().state.isFailed());
}

TEST_F(AppModelDeviceTests, TheFolderOfAMountedDeviceOpensOnlyWhileItIsMounted) {
    startWith({MountState::mounted("/m/A"), MountState::mounting()});
    model->openFolder(model->devices->at(0));
    model->openFolder(model->devices->at(1));
    auto stale = model->devices->at(0);
    model->setState(MountState::unmounted(), "SER0");
    model->openFolder(stale);
    executor.runUntilIdle();
    EXPECT_EQ(log.entries("workspace:"), (Strings{"workspace: show /m/A"}));
}

// --- Ejecting, sleep and wake --------------------------------------------------------------------------

struct EjectCase {
    const char* what;
    std::optional<std::string> refusal; // of every tool in the chain
    bool stillInTable;
    std::string devices;
    std::optional<std::string> note;
};

class Ejects : public AppModelDeviceTests, public ::testing::WithParamInterface<EjectCase> {};

INSTANTIATE_TEST_SUITE_P(
    AppModel, Ejects,
    ::testing::Values(EjectCase{"ejected", std::nullopt, false, "SER0 not mounted", std::nullopt},
                      EjectCase{"refused, still mounted", "busy", true, "SER0 mounted /m/A",
                                std::string(AppModel::ejectNote)},
                      EjectCase{"refused, but gone", "busy", false, "SER0 not mounted", std::nullopt}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(Ejects, EjectActsOnMountedDevicesOnlyAndAFailureLeavesANoteForSixSeconds) {
    const auto& each = GetParam();
    startWith({MountState::mounted("/m/A")});
    mountTable.add("mtp://ser0", "/m/A");
    files.createDirectories("/m/A");
    if (each.refusal) {
        volumes.setPoliteAnswer({false, each.refusal});
        processes.setScript([](const ProcessCommand&) { return ProcessResult{32, "target is busy"}; });
        if (!each.stillInTable) {
            mountTable.remove("/m/A");
        }
    }
    model->eject(model->devices->front());
    EXPECT_EQ(describe(), "SER0 ejecting");
    executor.runUntilIdle();
    EXPECT_EQ(describe(), each.devices);
    EXPECT_EQ(files.exists("/m/A"), each.stillInTable);
    EXPECT_EQ(model->lastError.get(),
              each.stillInTable ? std::optional<std::string>("target is busy") : std::nullopt);
    const auto note = [&]() -> std::optional<std::string> {
        const auto found = model->ejectNotes->find("SER0");
        return found == model->ejectNotes->end() ? std::nullopt : std::optional(found->second);
    };
    EXPECT_EQ(note(), each.note);
    // A second failure 4 s later: its note goes with the first one's time.
    executor.advanceBy(4s);
    model->eject(model->devices->front());
    executor.runUntilIdle();
    executor.advanceBy(2s);
    EXPECT_EQ(note(), std::nullopt) << "6 s after the first failure";
    executor.advanceBy(4s);
    EXPECT_EQ(note(), std::nullopt);
}

TEST_F(AppModelDeviceTests, EjectOfADeviceInAnyOtherStateOrByAStaleRowDoesNothing) {
    startWith({MountState::mounting(), MountState::unmounting(), MountState::failed("No."),
               MountState::unmounted(), MountState::mounted("/m/E")});
    auto staleRow = model->devices->at(4);
    model->setState(MountState::mounting(), "SER4");
    const auto before = describe();
    for (const auto& device : model->devices.get()) {
        model->eject(device);
    }
    model->eject(staleRow);
    model->ejectAll();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), before);
    EXPECT_TRUE(volumes.calls().empty());
    EXPECT_FALSE(model->hasMountedDevices());
}

TEST_F(AppModelDeviceTests, EjectAllAndTheCleanUpOfStaleMountsTouchOnlyMountedDevices) {
    startWith({MountState::mounted("/m/A"), MountState::mounted("/m/B"), MountState::mounted("/m/C"),
               MountState::failed("No.")});
    mountTable.add("mtp://ser0", "/m/A");
    mountTable.add("mtp://someone-else", "/m/B"); // still a mount point, whatever its source
    EXPECT_TRUE(model->hasMountedDevices());
    model->cleanUpStaleMounts();
    EXPECT_EQ(describe(), "SER0 mounted /m/A, SER1 mounted /m/B, SER2 not mounted, SER3 failed: No.");
    model->ejectAll();
    EXPECT_EQ(describe(), "SER0 ejecting, SER1 ejecting, SER2 not mounted, SER3 failed: No.");
    executor.runUntilIdle();
    EXPECT_EQ(volumes.calls(), (Strings{"unmount /m/A", "unmount /m/B"}));
    EXPECT_FALSE(model->hasMountedDevices());
}

struct SleepCase {
    const char* what;
    Strings mountedAtSleep;
    Strings unpluggedDuringSleep;
    Strings unmountOverran; // still in the mount table after the sleep's wait
    bool overrunEndsBeforeWake;
    Strings remountedAtWake;
};

class SleepAndWake : public AppModelDeviceTests, public ::testing::WithParamInterface<SleepCase> {};

INSTANTIATE_TEST_SUITE_P(
    AppModel, SleepAndWake,
    ::testing::Values(
        SleepCase{"nothing mounted", {}, {}, {}, true, {}},
        SleepCase{"one of two unplugged", {"A", "B"}, {"B"}, {}, true, {"/home/me/Tandalo/Pixel 7"}},
        SleepCase{"an unmount that overran the limit", {"A"}, {}, {"A"}, true, {"/home/me/Tandalo/Pixel 7"}},
        SleepCase{"an unmount still running at wake", {"A"}, {}, {"A"}, false, {}}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_P(SleepAndWake, EveryDeviceMountedBeforeSleepStillListedIsMountedAgainAtWake) {
    const auto& each = GetParam();
    Strings serials = each.mountedAtSleep;
    serials.push_back("C"); // failed: never mounted again
    mountAnswer = [](const std::string&, const std::filesystem::path&) { return std::optional(ok()); };
    startPlugged(serials);
    model->setState(MountState::failed("No."), "C");
    mountAnswer = nullptr;
    for (const auto& serial : each.unmountOverran) {
        // The normal chain "succeeds" but the volume stays until long after the wait.
        const auto folder = model->devices->front().state.mountedFolder();
        volumes.setPoliteAnswer({false, "busy"}, *folder);
        volumes.setForcedAnswer({false, "busy"}, *folder);
        static_cast<void>(serial);
    }
    const auto runsBefore = mountedFolders().size();
    notifications.added.clear();
    sleep.willSleep.send(SleepDelay());
    executor.runUntilIdle();
    for (const auto& serial : each.unpluggedDuringSleep) {
        std::erase(serials, serial);
    }
    attach(serials);
    if (each.overrunEndsBeforeWake) {
        for (const auto& row : mountTable.mounts()) {
            mountTable.remove(row.mountPoint);
        }
    }
    sleep.didWake.send();
    executor.runUntilIdle();
    auto runs = mountedFolders();
    runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(runsBefore));
    EXPECT_EQ(runs, each.remountedAtWake);
    EXPECT_TRUE(model->devices->back().state.isFailed());
    if (!each.overrunEndsBeforeWake) {
        // It ends later: the next look at the mount table mounts it again.
        mountTable.remove(*model->devices->front().state.mountedFolder());
        model->cleanUpStaleMounts();
        executor.runUntilIdle();
        EXPECT_EQ(mountedFolders().size(), runsBefore + 1);
    }
    EXPECT_EQ(shown(), Strings{}) << "no mount after a wake is announced";
}

// --- Notifications -------------------------------------------------------------------------------------

TEST_F(AppModelDeviceTests, TheMountedNotificationKeepsQuietForAMinuteAfterAWakeAndNeedsPermission) {
    struct Case {
        std::optional<std::chrono::seconds> sinceWake;
        NotificationAuthorizationStatus permission;
        bool shown;
    };
    using enum NotificationAuthorizationStatus;
    const std::vector<Case> cases{
        {std::nullopt, authorized, true},
        {59s, authorized, false},
        {60s, authorized, true},
        {std::nullopt, denied, false},
        {std::nullopt, notDetermined, false},
    };
    for (const auto& each : cases) {
        TearDown();
        notifications.added.clear();
        startWith({});
        notifications.status = each.permission;
        if (each.sinceWake) {
            sleep.didWake.send();
            executor.runUntilIdle();
            executor.advanceBy(*each.sinceWake);
        }
        auto device = testing::device("");
        device.registryEntryID = 4242;
        model->postMountedNotification(DeviceEntry{device, MountState::mounted("/m/A")});
        executor.runUntilIdle();
        EXPECT_EQ(shown(), each.shown ? Strings{"tandalo.mounted.4242"} : Strings{})
            << (each.sinceWake ? each.sinceWake->count() : -1) << " s";
    }
    notifications.status = NotificationAuthorizationStatus::authorized;
    model->postMountedNotification(DeviceEntry{testing::device("X"), MountState::mounted("/m/A")});
    executor.runUntilIdle();
    EXPECT_EQ(notifications.added.back(),
              (NotificationRequest{"tandalo.mounted.X", "Pixel 7 is in Finder", "Click to open it.",
                                   NotificationSound::none}));
}

TEST_F(AppModelDeviceTests, TheRunningNotificationFallsBackToTheSetUpGuideAndPermissionIsAskedThenRead) {
    preferences.values().set(AppModel::hasCompletedOnboardingKey, true);
    start();
    model->postRunningNotification({NotificationAuthorizationStatus::authorized});
    model->postRunningNotification({NotificationAuthorizationStatus::denied});
    executor.runUntilIdle();
    EXPECT_EQ(notifications.added,
              (std::vector{NotificationRequest{"tandalo.running", "Tandalo is already running",
                                               "Look for its eject icon in the menu bar.",
                                               NotificationSound::none}}));
    EXPECT_EQ(log.entries("onboarding:").size(), 1u);

    log.clear();
    notifications.status = NotificationAuthorizationStatus::denied;
    testing::runToEnd(executor, model->requestNotificationAuthorization());
    EXPECT_EQ(log.entries("notifications:"), (Strings{"notifications: request", "notifications: settings"}));
    EXPECT_EQ(model->notificationStatus.get(), NotificationAuthorizationStatus::denied);
    model->openNotificationSettings();
    EXPECT_EQ(log.entries("workspace:"), (Strings{"workspace: open settings://notifications"}));
}

} // namespace
} // namespace tandalo::app
