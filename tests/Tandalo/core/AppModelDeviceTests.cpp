// The device state machine on the virtual clock: reconciliation and its grace, mounting with its retries,
// the one task of each device, ejecting, sleep and wake, and the notifications that go with them.
#include "tests/Tandalo/core/AppModelRig.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using testsupport::concat;
using Strings = std::vector<std::string>;
using enum NotificationAuthorizationStatus;

const std::string folderOne = "/home/me/Tandalo/Pixel 7";
const ProcessResult ok{0, ""};

ProcessResult refused(std::string_view why) {
    return ProcessResult{1, concat("mount-tandalo: loadResource: ", why, "\n")};
}

class AppModelDeviceTests : public testing::AppModelRig {
public:
    using AppModelRig::attach;
    using AppModelRig::clock;
    using AppModelRig::executor;
    using AppModelRig::finishMount;
    using AppModelRig::folderPanel;
    using AppModelRig::model;
    using AppModelRig::preferences;
    using AppModelRig::servers;
    using AppModelRig::thereafter;

    /// One moment of a timeline: at that time since the start, the action, then the devices it leaves.
    struct Step {
        std::chrono::milliseconds at;
        std::function<void(AppModelDeviceTests&)> action;
        std::string devices;
    };
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
    /// Starts with these devices plugged, their mounts started, and forgets the calls so far.
    void startPlugged(const Strings& serials) {
        start();
        attach(serials);
        log.clear();
    }
    std::optional<std::string> note(const std::string& id) const {
        const auto found = model->ejectNotes->find(id);
        return found == model->ejectNotes->end() ? std::nullopt : std::optional(found->second);
    }
};

/// Each case is shown by what it is about.
template <typename Case> void PrintTo(const Case& each, std::ostream* out) requires requires {
    each.what;
}
{ *out << each.what; }

template <typename Case>
class Table : public AppModelDeviceTests, public ::testing::WithParamInterface<Case> {};

const auto unplug = [](AppModelDeviceTests& rig) { rig.attach({}); };

// --- Reconciliation ------------------------------------------------------------------------------------

struct GraceCase {
    const char* what;
    std::vector<AppModelDeviceTests::Step> steps; // a change of the bus takes effect 0.5 s later
    std::size_t mountRuns;
};
using GraceTimelines = Table<GraceCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, GraceTimelines,
    ::testing::Values(
        GraceCase{"back within the grace",
                  {{2s, unplug, "A mounting"},
                   {7s, [](auto& rig) { rig.attach({"A"}); }, "A mounting"},
                   {20s, [](auto& rig) { rig.finishMount(ok); }, "A mounted " + folderOne}},
                  1},
        GraceCase{"stays away", {{2s, unplug, "A mounting"}, {12'900ms, {}, "A mounting"}, {13s, {}, ""}}, 1},
        // The second change sees the mark and starts no second recheck.
        GraceCase{"two misses",
                  {{2s, unplug, "A mounting"},
                   {4s, [](auto& rig) { rig.attach({"B"}); }, "B mounting, A mounting"},
                   {13s, {}, "B mounting"}},
                  2},
        GraceCase{"the wall clock set back",
                  {{2s, unplug, "A mounting"},
                   {3s, [](auto& rig) { rig.clock.setWallTime(rig.clock.wallNow() - 1h); }, "A mounting"},
                   {13s, {}, ""}},
                  1}));

TEST_P(GraceTimelines, ADeviceThatVanishesWhileMountingKeepsItsMountForTheGraceOnly) {
    SCOPED_TRACE(GetParam().what);
    startPlugged({"A"});
    play(GetParam().steps);
    EXPECT_EQ(mountedFolders().size(), GetParam().mountRuns) << "the running mount was kept";
    while (executor.advanceToNextTimer()) {
    }
    EXPECT_EQ(describe(), GetParam().steps.back().devices) << "no recheck left to change anything";
}

struct UnpluggedCase {
    const char* what;
    std::optional<platform::Clock::Duration> lastWriteAgo;
    bool mounted;
    bool warned;
};
using UnpluggedDevices = Table<UnpluggedCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, UnpluggedDevices,
                         ::testing::Values(UnpluggedCase{"3 s after a write", 3s, true, true},
                                           UnpluggedCase{"6 s after a write", 6s, true, false},
                                           UnpluggedCase{"a write in the future", -2s, true, true},
                                           UnpluggedCase{"never written", std::nullopt, true, false},
                                           UnpluggedCase{"while mounting", 1s, false, false}));

TEST_P(UnpluggedDevices, AMountedDeviceUnpluggedSoonAfterAWriteWarnsAndItsMountAndFolderGo) {
    const auto& each = GetParam();
    SCOPED_TRACE(each.what);
    thereafter = each.mounted ? std::optional(ok) : std::nullopt;
    startPlugged({"A"});
    notifications.added.clear();
    const auto status = preferences.suite(DeviceStatus::suiteName);
    if (each.lastWriteAgo) {
        status->set(DeviceStatus::lastWriteKey("A"), clock.wallNow() - *each.lastWriteAgo);
    }
    status->set(DeviceStatus::batteryKey("A"), std::int64_t{80});
    model->refreshBatteryLevels();
    attach({});
    executor.advanceBy(AppModel::vanishRecheckDelay);
    EXPECT_EQ(describe(), "");
    EXPECT_EQ(shown(), each.warned ? Strings{"tandalo.unplugged.A"} : Strings{});
    EXPECT_FALSE(status->value(DeviceStatus::lastWriteKey("A")));
    EXPECT_TRUE(model->batteryLevels->empty());
    EXPECT_EQ(volumes.calls(), each.mounted ? Strings{"force " + folderOne} : Strings{});
    EXPECT_TRUE(mountTable.mounts().empty());
    EXPECT_FALSE(files.exists(folderOne)) << "the device's folder is cleaned";
    if (each.warned) {
        EXPECT_EQ(notifications.added.back().title, "Pixel 7 was unplugged during a copy");
        EXPECT_EQ(notifications.added.back().sound, NotificationSound::defaultSound);
    }
}

// Back while its old mount is still being forced down: not shown mounted on the dying mount, and its new
// mount waits for the old one to go rather than being forced down with it.
struct BackCase {
    const char* what;
    bool mountedWhenGone; // else its mount ends only after the grace, and is taken down then
};
using BackDuringCleanUp = Table<BackCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, BackDuringCleanUp,
                         ::testing::Values(BackCase{"mounted when it went", true},
                                           BackCase{"its mount done after the grace", false}));

TEST_P(BackDuringCleanUp, ADeviceBackDuringItsVanishCleanUpIsMountedAfreshOnceTheOldMountIsGone) {
    thereafter = GetParam().mountedWhenGone ? std::optional(ok) : std::nullopt;
    startPlugged({"A"});
    volumes.setForcedAnswer({true, std::nullopt});
    if (GetParam().mountedWhenGone) {
        ASSERT_EQ(describe(), "A mounted " + folderOne);
        attach({});
    } else {
        attach({});
        executor.advanceBy(AppModel::vanishRecheckDelay);
        ASSERT_EQ(describe(), "");
        thereafter = ok;
        finishMount(ok);
        executor.runUntilIdle();
    }
    attach({"A"});
    EXPECT_EQ(describe(), "A mounting");
    EXPECT_EQ(mountedFolders().size(), 1u) << "no second mount while the first one is taken down";
    volumes.answerHanging();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounted " + folderOne);
    EXPECT_EQ(mountedFolders(), (Strings{folderOne, folderOne}));
    EXPECT_EQ(volumes.calls(), (Strings{"force " + folderOne}));
    EXPECT_EQ(mountTable.mounts().size(), 1u);
}

// A device without a serial number is known by its port: plugged back there it has a new id, and its old
// mount, found by the port, is the one being taken down.
struct PortCase {
    const char* what;
    bool seenGone; // else it is back before the monitor lists the bus again
};
using BackOnItsPort = Table<PortCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, BackOnItsPort,
                         ::testing::Values(PortCase{"unplugged, then back", true},
                                           PortCase{"back within one listing", false}));

TEST_P(BackOnItsPort, ADeviceWithoutSerialBackOnItsPortIsMountedAfreshOnceTheOldMountIsGone) {
    const auto plug = [this](std::vector<corvane::USBDeviceDescriptor> devices) {
        bus.devices = std::move(devices);
        usbEvents.report();
        executor.advanceBy(USBMonitor::refreshDelay);
    };
    thereafter = ok;
    start();
    plug({testing::device("", 0x14200000, 500)});
    ASSERT_EQ(describe(), "500 mounted " + folderOne);
    volumes.setForcedAnswer({true, std::nullopt});
    if (GetParam().seenGone) {
        plug({});
    }
    plug({testing::device("", 0x14200000, 501)});
    EXPECT_EQ(describe(), "501 mounting");
    volumes.answerHanging();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "501 mounted " + folderOne);
    EXPECT_EQ(volumes.calls(), (Strings{"force " + folderOne}));
    EXPECT_EQ(mountTable.mounts().size(), 1u);
}

// Phones of one serial number (some makers give every unit the same) are told apart by their places on the
// bus: each has its own row, mount and folder, and keeps them through later changes of the bus.
struct TwinCase {
    const char* what;
    std::vector<std::pair<std::vector<corvane::USBDeviceDescriptor>, std::string>> plugged; // then listed
    Strings resources; // the token files the mount tool was given, in order
    std::function<void(AppModelDeviceTests&)> then = {};
    std::string after = {};   // what is listed once that is done
    bool mountsRunOn = false; // else each mount succeeds at once
};
const auto twin1 = testing::device("T", 1, 501);
const auto twin2 = testing::device("T", 2, 502);
const auto other = testing::device("X", 3, 503);
const std::string folderTwo = folderOne + " (2)";
using Twins = Table<TwinCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, Twins,
    ::testing::Values(TwinCase{"plugged together",
                               {{{twin1, twin2}, "T@1 mounted " + folderOne + ", T@2 mounted " + folderTwo},
                                {{twin1, twin2, other},
                                 "T@1 mounted " + folderOne + ", T@2 mounted " + folderTwo + ", X mounted " +
                                     folderOne + " (3)"},
                                {{twin2, twin1}, "T@2 mounted " + folderTwo + ", T@1 mounted " + folderOne},
                                {{twin2}, "T@2 mounted " + folderTwo}},
                               {"T@1.tandalo", "T@2.tandalo", "X.tandalo"}},
                      TwinCase{"one joins a mounted phone",
                               {{{twin1}, "T mounted " + folderOne},
                                {{twin1, twin2}, "T mounted " + folderOne + ", T@2 mounted " + folderTwo},
                                {{twin1, twin2, other},
                                 "T mounted " + folderOne + ", T@2 mounted " + folderTwo + ", X mounted " +
                                     folderOne + " (3)"},
                                {{twin1, twin2}, "T mounted " + folderOne + ", T@2 mounted " + folderTwo},
                                {{twin2}, "T@2 mounted " + folderTwo},
                                {{}, ""},
                                {{twin2}, "T mounted " + folderOne}},
                               {"T.tandalo", "T@2.tandalo", "X.tandalo", "T.tandalo"}},
                      // The first one re-enumerates while it is mounted, and its twin comes meanwhile.
                      TwinCase{"one comes while its twin is away being mounted",
                               {{{twin1}, "T mounting"}, {{twin2}, "T@2 mounting, T mounting"}},
                               {"T.tandalo", "T@2.tandalo"},
                               {},
                               {},
                               true},
                      TwinCase{"ejected, then mounted by hand while its twin is there",
                               {{{twin1}, "T mounted " + folderOne},
                                {{twin1, twin2}, "T mounted " + folderOne + ", T@2 mounted " + folderTwo}},
                               {"T.tandalo", "T@2.tandalo", "T@1.tandalo"},
                               [](auto& rig) {
                                   rig.model->eject(rig.model->devices->front());
                                   rig.executor.runUntilIdle();
                                   rig.model->mount(rig.model->devices->front(), {});
                               },
                               "T@1 mounted " + folderOne + ", T@2 mounted " + folderTwo},
                      TwinCase{
                          "a phone with nothing going on takes its place when one joins",
                          {{{twin1}, "T not mounted"}, {{twin1, twin2}, "T@1 not mounted, T@2 not mounted"}},
                          {}}));

TEST_P(Twins, EachPhoneOfOneSerialNumberKeepsItsOwnRowMountAndFolder) {
    const auto& each = GetParam();
    if (each.resources.empty()) {
        preferences.values().set(AppModel::autoMountKey, false);
    }
    thereafter = each.mountsRunOn ? std::nullopt : std::optional(ok);
    start();
    for (const auto& [devices, listed] : each.plugged) {
        bus.devices = devices;
        usbEvents.report();
        executor.advanceBy(USBMonitor::refreshDelay);
        executor.runUntilIdle();
        EXPECT_EQ(describe(), listed);
    }
    if (each.then) {
        each.then(*this);
        executor.runUntilIdle();
        EXPECT_EQ(describe(), each.after);
    }
    Strings resources;
    for (const auto& command : processes.calls()) {
        if (command.executable == MountTools{}.mountTool) {
            resources.push_back(std::filesystem::path(command.arguments.at(2)).filename());
        }
    }
    EXPECT_EQ(resources, each.resources);
}

TEST_F(AppModelDeviceTests, ChargeOnlyPhonesAreAnnouncedOnceWhileTheyStay) {
    corvane::AndroidCandidate phone;
    phone.registryEntryID = 7;
    phone.productName = "Galaxy S21";
    auto other = phone;
    other.registryEntryID = 8;
    start();
    for (const auto& candidates : {std::vector{phone}, {phone, other}, {other}, {phone, other}}) {
        bus.candidates = candidates;
        usbEvents.report();
        executor.advanceBy(USBMonitor::refreshDelay);
    }
    EXPECT_EQ(shown(), (Strings{"tandalo.candidate.7", "tandalo.candidate.8", "tandalo.candidate.7"}));
    EXPECT_EQ(notifications.added.front(),
              (NotificationRequest{"tandalo.candidate.7", "Galaxy S21 is in charge-only mode",
                                   phone.fileTransferHint(), NotificationSound::defaultSound}));
}

// --- Mounting ------------------------------------------------------------------------------------------

const std::string stale = "mount-tandalo: loadResource: File exists";
const std::string noAccess = "The device has not granted access yet. Unlock it and tap Allow when it asks to "
                             "allow access to phone data.";

struct OutcomeCase {
    const char* what;
    std::vector<ProcessResult> runs; // then success
    std::string devices;
    std::size_t mountRuns;
};
using MountOutcomes = Table<OutcomeCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, MountOutcomes,
    ::testing::Values(OutcomeCase{"mounts", {}, "A mounted " + folderOne, 1},
                      OutcomeCase{
                          "stale twice", {{1, stale}, {1, stale}}, "A mounted " + folderOne + " (3)", 3},
                      OutcomeCase{"stale in all twenty", std::vector(20, ProcessResult{1, stale}),
                                  "A failed: " + stale, 20},
                      OutcomeCase{"access at the third retry", std::vector(3, refused("Permission denied")),
                                  "A mounted " + folderOne, 4},
                      OutcomeCase{"access never allowed", std::vector(5, refused("Permission denied")),
                                  "A failed: " + noAccess, 5},
                      OutcomeCase{"another failure", {refused("No such file system")}, "", 1}));

TEST_P(MountOutcomes, EachMountOutcomeEndsInItsStateMessageAndRetries) {
    const auto& each = GetParam();
    SCOPED_TRACE(each.what);
    mountAnswers = {each.runs.begin(), each.runs.end()};
    thereafter = ok;
    startPlugged({"A"});
    while (executor.advanceToNextTimer()) {
    }
    const auto& state = model->devices->front().state;
    if (!each.devices.empty()) {
        EXPECT_EQ(describe(), each.devices);
    }
    EXPECT_EQ(model->lastError.get(),
              state.failureMessage() ? std::optional(*state.failureMessage()) : std::nullopt);
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
    EXPECT_FALSE(files.exists(folderOne + " (2)")) << "a stale folder is tidied as the next is tried";
}

TEST_F(AppModelDeviceTests, AFailedDeviceThatGoesTakesTheNumberedFolderItReallyUsedWithIt) {
    mountAnswers = {{1, stale}, {1, stale}};
    thereafter = refused("Input/output error");
    startPlugged({"A"});
    ASSERT_TRUE(files.isFolder(folderOne + " (3)"));
    attach({});
    EXPECT_FALSE(files.exists(folderOne + " (3)"));
}

// Two phones of one name whose mounts run at the same time: neither folder is a mount point yet, and still
// each phone has one of its own, which no other phone of that name takes or tidies away meanwhile.
struct SameNameCase {
    const char* what;
    std::function<void(AppModelDeviceTests&)> meanwhile; // while the first mount of A runs
    Strings mountRuns;
};
using PhonesOfOneName = Table<SameNameCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, PhonesOfOneName,
    ::testing::Values(SameNameCase{"both mounted",
                                   [](auto& rig) { rig.model->mount(rig.model->devices->at(1), {}); },
                                   {folderOne, folderOne + " (2)"}},
                      SameNameCase{
                          "the other unplugged", [](auto& rig) { rig.attach({"A"}); }, {folderOne}}));

TEST_P(PhonesOfOneName, EachPhoneMountsInAFolderOfItsOwn) {
    const auto& each = GetParam();
    SCOPED_TRACE(each.what);
    preferences.values().set(AppModel::autoMountKey, false);
    startPlugged({"A", "B"});
    model->mount(model->devices->at(0), {});
    executor.runUntilIdle();
    each.meanwhile(*this);
    executor.runUntilIdle();
    EXPECT_EQ(mountedFolders(), each.mountRuns);
    EXPECT_TRUE(files.isFolder(folderOne)) << "A's folder is kept for its mount";
    while (processes.pendingCount() > 0) {
        finishMount(ok);
    }
    executor.runUntilIdle();
    EXPECT_EQ(model->devices->at(0).state, MountState::mounted(folderOne));
    EXPECT_EQ(mountTable.mounts().size(), each.mountRuns.size());
}

TEST_F(AppModelDeviceTests, AFolderThatCannotBeMadeFailsTheDeviceWithoutItsReason) {
    files.failAt(folderOne, EACCES);
    files.failAt(folderOne + " (2)", EACCES);
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
    std::string holder;
};
using HeldDevices = Table<HolderCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, HeldDevices,
    ::testing::Values(
        HolderCase{"the camera service", 40, "ptpcamerad", false, 3, "Image Capture (ptpcamerad)"},
        HolderCase{"the desktop's phone access", 41, "gvfsd-mtp", false, 3,
                   "the file manager's phone access (gvfsd-mtp)"},
        // The kernel names every running process; that name is no better than the holder's own.
        HolderCase{"the desktop's phone access, running", 44, "gvfsd-mtp", false, 3,
                   "the file manager's phone access (gvfsd-mtp)"},
        HolderCase{"a named application", 42, "shotwell", false, 1, "Shotwell"},
        HolderCase{"a process without a name", 43, "gphoto2", false, 1, "gphoto2"},
        HolderCase{"take over from anyone", 40, "ptpcamerad", true, 1, "Image Capture (ptpcamerad)"}));

// The camera service is taken over again at once while the limit allows; then, or for anyone else, the
// device fails with its holder's name.
TEST_P(HeldDevices, HeldDevicesAreTakenFromTheCameraServiceThreeTimesAMinuteThenNamedTheirHolder) {
    const auto& each = GetParam();
    applicationNames = {{42, "Shotwell"}, {44, "gvfsd-mtp"}};
    preferences.values().set(AppModel::autoMountKey, false);
    thereafter = refused("Text file busy");
    startPlugged({"A"});
    bus.holders = {{registryID("A"), {each.pid, each.process}}};
    model->mount(model->devices->front(), {each.takeOverFromAnyone, false});
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A failed: In use by " + each.holder);
    EXPECT_EQ(model->holders->at("A"), each.holder);
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
}

TEST_F(AppModelDeviceTests, TheCameraTakeoverLimitDropsADateExactlySixtySecondsOld) {
    startWith({MountState::unmounted()});
    bus.holders = {{registryID("SER0"), {40, "ptpcamerad"}}};
    thereafter = refused("Input/output error");
    const std::vector<std::pair<std::chrono::seconds, bool>> mounts{
        {0s, true}, {10s, true}, {20s, true}, {30s, false}, {60s, true}};
    auto previous = 0s;
    for (const auto& [at, allowed] : mounts) {
        executor.advanceBy(at - std::exchange(previous, at));
        EXPECT_EQ(model->cameraTakeoverAllowed("SER0"), allowed) << at.count() << " s";
        model->mount(DeviceEntry{model->devices->front().descriptor, MountState::unmounted()}, {});
        executor.runUntilIdle();
    }
}

TEST_F(AppModelDeviceTests, NoMountFolderAsksOnceAndThenFailsUntilOneIsChosen) {
    environment.set("APP_SANDBOX_CONTAINER_ID", "sandboxed"); // no default folder
    preferences.values().set(AppModel::autoMountKey, false);
    startPlugged({"A", "B"});
    model->mount(model->devices->at(0), {});
    model->mount(model->devices->at(1), {});
    const std::string failed = "failed: Choose where devices should appear.";
    EXPECT_EQ(describe(), concat("A ", failed, ", B ", failed));
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
    folderPanel.answer = "/media/phones";
    model->chooseFolder();
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounting");
    EXPECT_EQ(mountedFolders(), (Strings{folderOne})) << "the old run is still running";
    finishMount(ok);
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounting") << "the cancelled task did not show its mount";
    EXPECT_EQ(volumes.calls(), (Strings{"force " + folderOne}));
    finishMount(ok);
    executor.runUntilIdle();
    EXPECT_EQ(describe(), "A mounted /media/phones/Pixel 7");
    EXPECT_EQ(mountedFolders(), (Strings{folderOne, "/media/phones/Pixel 7"}));
    EXPECT_EQ(shown(), Strings{}) << "a remount after choosing a folder is not announced";
}

// What must leave the devices as they are: neither a state changes nor a mount runs.
struct LeftAloneCase {
    const char* what;
    std::vector<MountState> states; // of SER0, SER1, ...
    std::function<void(AppModelDeviceTests&)> action;
    std::string devices;
    std::size_t mountRuns;
};
const auto failForAccess = [](AppModelDeviceTests& rig) {
    rig.thereafter = refused("Permission denied");
    rig.model->mount(rig.model->devices->front(), {});
    rig.executor.runUntilIdle();
};
using LeftAlone = Table<LeftAloneCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, LeftAlone,
    ::testing::Values(
        LeftAloneCase{"a mount of a device mounted, mounting or ejecting",
                      {MountState::mounted("/m/A"), MountState::mounting(), MountState::unmounting()},
                      [](auto& rig) {
                          for (const auto& device : rig.model->devices.get()) {
                              rig.model->mount(device, {});
                          }
                      },
                      "SER0 mounted /m/A, SER1 mounting, SER2 ejecting",
                      0},
        LeftAloneCase{"a folder choice cancelled",
                      {MountState::failed("No."), MountState::mounting(), MountState::unmounted()},
                      [](auto& rig) {
                          rig.folderPanel.answer.reset();
                          rig.model->chooseFolder();
                      },
                      "SER0 failed: No., SER1 mounting, SER2 not mounted",
                      0},
        LeftAloneCase{"unplugged during the access retry's wait",
                      {MountState::unmounted()},
                      [](auto& rig) {
                          failForAccess(rig);
                          rig.executor.advanceBy(2s);
                          rig.attach({});
                          rig.executor.advanceBy(AppModel::accessRetryDelay);
                      },
                      "",
                      1},
        LeftAloneCase{"no longer failed when the access retry comes",
                      {MountState::unmounted()},
                      [](auto& rig) {
                          failForAccess(rig);
                          rig.model->setState(MountState::unmounted(), "SER0");
                          rig.executor.advanceBy(AppModel::accessRetryDelay);
                      },
                      "SER0 not mounted",
                      1},
        LeftAloneCase{"automatic mounting off at a reconciliation",
                      {MountState::unmounted()},
                      [](auto& rig) {
                          rig.preferences.values().set(AppModel::autoMountKey, false);
                          rig.attach({"SER0", "NEW"});
                      },
                      "SER0 not mounted, NEW not mounted",
                      0}));

TEST_P(LeftAlone, NothingChangesAndNoMountRuns) {
    const auto& each = GetParam();
    startWith(each.states);
    each.action(*this);
    executor.runUntilIdle();
    EXPECT_EQ(describe(), each.devices);
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
}

TEST_F(AppModelDeviceTests, AMountByHandCancelsThePendingAccessRetryAndKeepsItsCount) {
    thereafter = refused("Permission denied");
    startPlugged({"A"});
    executor.advanceBy(2s);
    model->mount(model->devices->front(), {});
    while (executor.advanceToNextTimer()) {
    }
    EXPECT_EQ(mountedFolders().size(), 5u) << "the first run, the one by hand, then the three retries left";
}

TEST_F(AppModelDeviceTests, OpenFolderShowsTheFolderOfADeviceMountedNowOnly) {
    startWith({MountState::mounted("/m/A"), MountState::mounting()});
    const auto then = model->devices->at(0);
    model->openFolder(then);
    model->openFolder(model->devices->at(1));
    model->setState(MountState::unmounted(), "SER0");
    model->openFolder(then);
    EXPECT_EQ(log.entries("workspace:"), (Strings{"workspace: show /m/A"}));
}

// --- Ejecting, sleep and wake --------------------------------------------------------------------------

struct EjectCase {
    const char* what;
    bool refused; // by every tool of the chain
    bool stillInTable;
    std::string devices;
};
using Ejects = Table<EjectCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, Ejects,
                         ::testing::Values(EjectCase{"ejected", false, false, "SER0 not mounted"},
                                           EjectCase{"refused and still mounted", true, true,
                                                     "SER0 mounted /m/A"},
                                           EjectCase{"refused but gone", true, false, "SER0 not mounted"}));

TEST_P(Ejects, AFailedEjectLeavesTheDeviceMountedWithANoteForSixSeconds) {
    const auto& each = GetParam();
    startWith({MountState::mounted("/m/A")});
    mountTable.add("mtp://SER0", "/m/A");
    files.createDirectories("/m/A");
    if (each.refused) {
        volumes.setPoliteAnswer({false, "busy"});
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
    const auto failed = each.stillInTable ? std::optional<std::string>("target is busy") : std::nullopt;
    EXPECT_EQ(model->lastError.get(), failed);
    EXPECT_EQ(note("SER0"), failed ? std::optional<std::string>(AppModel::ejectNote) : std::nullopt);
    // A second failure 4 s later sets the same note, which goes 6 s after the first.
    executor.advanceBy(4s);
    model->eject(model->devices->front());
    executor.advanceBy(2s);
    EXPECT_EQ(note("SER0"), std::nullopt);
}

TEST_F(AppModelDeviceTests, EjectAndEjectAllActOnDevicesMountedNowOnlyAndTheCleanUpOnGoneMounts) {
    startWith({MountState::mounted("/m/A"), MountState::mounted("/m/B"), MountState::mounted("/m/C"),
               MountState::failed("No."), MountState::mounting(), MountState::unmounted()});
    mountTable.add("mtp://SER0", "/m/A");
    mountTable.add("mtp://someone-else", "/m/B"); // still a mount point, whatever its source
    const auto then = model->devices.get();
    model->cleanUpStaleMounts();
    const auto now =
        "SER0 mounted /m/A, SER1 mounted /m/B, SER2 not mounted, SER3 failed: No., SER4 mounting, "
        "SER5 not mounted";
    EXPECT_EQ(describe(), now);
    model->eject(then[2]); // mounted as the caller saw it, but not now
    for (const auto index : {2, 3, 4, 5}) {
        model->eject(model->devices->at(index));
    }
    executor.runUntilIdle();
    EXPECT_EQ(describe(), now);
    EXPECT_TRUE(model->hasMountedDevices());
    model->ejectAll();
    executor.runUntilIdle();
    EXPECT_EQ(volumes.calls(), (Strings{"unmount /m/A", "unmount /m/B"}));
    EXPECT_FALSE(model->hasMountedDevices());
}

struct DeadMountCase {
    const char* what;
    bool autoMount;
    std::function<void(AppModelDeviceTests&)> kill;
    std::string devices;
    std::size_t mountRuns;
    bool noted;
};
using DeadMounts = Table<DeadMountCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, DeadMounts,
    ::testing::Values(DeadMountCase{"its server ended", true, [](auto& rig) { rig.servers.end(4242); },
                                    "A mounted " + folderOne, 2, false},
                      DeadMountCase{"its server ended, automatic mounting off", false,
                                    [](auto& rig) { rig.servers.end(4242); }, "A not mounted", 1, true},
                      DeadMountCase{"found dead when the window is shown", true,
                                    [](auto& rig) {
                                        rig.servers.disconnect(folderOne);
                                        rig.model->cleanUpStaleMounts();
                                    },
                                    "A mounted " + folderOne, 2, false},
                      DeadMountCase{"the server of an earlier mount ended", true,
                                    [](auto& rig) {
                                        rig.model->eject(rig.model->devices->front());
                                        rig.executor.runUntilIdle();
                                        rig.model->mount(rig.model->devices->front(), {});
                                        rig.executor.runUntilIdle();
                                        rig.servers.end(4242);
                                    },
                                    "A mounted " + folderOne, 2, false}));

TEST_P(DeadMounts, ADeadMountIsTakenDownAndMountedAgainOrShownUnmountedWithANote) {
    const auto& each = GetParam();
    preferences.values().set(AppModel::autoMountKey, each.autoMount);
    mountAnswers = {ProcessResult{0, "mount-tandalo: served by process 4242\n"}};
    thereafter = ProcessResult{0, "mount-tandalo: served by process 4343\n"};
    startPlugged({"A"});
    if (!each.autoMount) {
        model->mount(model->devices->front(), {});
        executor.runUntilIdle();
    }
    ASSERT_EQ(describe(), "A mounted " + folderOne);
    EXPECT_EQ(servers.watched(), (std::vector<std::int32_t>{4242}));
    const auto token = mountTable.mounts().at(0).source;
    ASSERT_TRUE(files.isFile(token));
    each.kill(*this);
    executor.runUntilIdle();
    EXPECT_EQ(describe(), each.devices);
    EXPECT_EQ(mountedFolders().size(), each.mountRuns);
    EXPECT_EQ(note("A"), each.noted ? std::optional<std::string>(AppModel::deadMountNote) : std::nullopt);
    EXPECT_EQ(files.isFile(token), model->devices->front().state.isMounted()) << "its token goes with it";
    if (each.noted) {
        EXPECT_EQ(volumes.calls(), (Strings{"force " + folderOne}));
        EXPECT_FALSE(files.exists(folderOne));
        model->mount(model->devices->front(), {});
        EXPECT_EQ(note("A"), std::nullopt) << "the note goes with the next mount";
    }
}

struct InPlaceCase {
    const char* what;
    bool endsLater;
};
using MountsFoundInPlace = Table<InPlaceCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, MountsFoundInPlace,
                         ::testing::Values(InPlaceCase{"its server is gone", false},
                                           InPlaceCase{"its server ends later", true}));

TEST_P(MountsFoundInPlace, AMountFoundInPlaceWhoseServerIsGoneOrEndsIsTakenDownAndMountedAnew) {
    mountTable.add("mtp://a", folderOne);
    files.createDirectories(folderOne);
    servers.serving[folderOne] = 77;
    if (!GetParam().endsLater) {
        servers.disconnect(folderOne);
    }
    thereafter = ok;
    startPlugged({"a"});
    EXPECT_EQ(describe(), "a mounted " + folderOne);
    if (GetParam().endsLater) {
        EXPECT_EQ(volumes.calls(), Strings{}) << "a live mount is taken as it is";
        servers.end(77);
        executor.runUntilIdle();
        EXPECT_EQ(describe(), "a mounted " + folderOne);
    }
    EXPECT_EQ(volumes.calls(), (Strings{"force " + folderOne}));
    EXPECT_EQ(mountedFolders(), (Strings{folderOne}));
}

struct SleepCase {
    const char* what;
    Strings mountedAtSleep; // and C, failed, which is never mounted again
    Strings unplugged;
    bool overran; // the first one's unmount outlasts the wait before sleep
    bool overrunEndsBeforeWake;
    std::size_t mountedAtWake;
    bool unpluggedAfterWake = false; // then plugged again and mounted, and its mount lost
};
using SleepAndWake = Table<SleepCase>;
INSTANTIATE_TEST_SUITE_P(
    AppModel, SleepAndWake,
    ::testing::Values(SleepCase{"nothing mounted", {}, {}, false, true, 0},
                      SleepCase{"one of two unplugged", {"A", "B"}, {"B"}, false, true, 1},
                      SleepCase{"an unmount that overran", {"A"}, {}, true, true, 1},
                      SleepCase{"an unmount still running at wake", {"A"}, {}, true, false, 0},
                      // Unplugged, it is forgotten: a mount lost later is no wake's to restore.
                      SleepCase{"unplugged after the wake", {"A"}, {}, true, false, 0, true}));

TEST_P(SleepAndWake, EveryDeviceMountedBeforeSleepStillListedIsMountedAgainAtWake) {
    const auto& each = GetParam();
    SCOPED_TRACE(each.what);
    auto serials = each.mountedAtSleep;
    serials.push_back("C");
    thereafter = ok;
    startPlugged(serials);
    model->setState(MountState::failed("No."), "C");
    thereafter.reset();
    if (each.overran) {
        // The chain "succeeds", yet the volume stays until long after the wait.
        const auto folder = *model->devices->front().state.mountedFolder();
        volumes.setPoliteAnswer({false, "busy"}, folder);
        volumes.setForcedAnswer({false, "busy"}, folder);
    }
    const auto runsBefore = mountedFolders().size();
    notifications.added.clear();
    sleep.willSleep.send(SleepDelay());
    executor.runUntilIdle();
    for (const auto& serial : each.unplugged) {
        std::erase(serials, serial);
    }
    attach(serials);
    const auto rows = mountTable.mounts();
    if (each.overrunEndsBeforeWake && !rows.empty()) {
        mountTable.remove(rows.front().mountPoint);
    }
    sleep.didWake.send();
    executor.runUntilIdle();
    EXPECT_EQ(mountedFolders().size() - runsBefore, each.mountedAtWake);
    EXPECT_TRUE(model->devices->back().state.isFailed());
    if (!each.overrunEndsBeforeWake) {
        // It ends later: the next look at the mount table mounts it again.
        mountTable.remove(rows.front().mountPoint);
        if (each.unpluggedAfterWake) {
            attach({"C"});
            attach(serials);
            finishMount(ok);
            executor.runUntilIdle();
            ASSERT_TRUE(model->devices->front().state.isMounted()) << describe();
            mountTable.remove(*model->devices->front().state.mountedFolder());
        }
        model->cleanUpStaleMounts();
        executor.runUntilIdle();
        EXPECT_EQ(mountedFolders().size(), runsBefore + 1);
    }
    EXPECT_EQ(shown(), Strings{}) << "no mount after a wake is announced";
}

// --- Notifications -------------------------------------------------------------------------------------

struct QuietCase {
    const char* what;
    std::optional<std::chrono::seconds> sinceWake;
    NotificationAuthorizationStatus permission;
    bool shown;
};
using MountedNotifications = Table<QuietCase>;
INSTANTIATE_TEST_SUITE_P(AppModel, MountedNotifications,
                         ::testing::Values(QuietCase{"no wake", std::nullopt, authorized, true},
                                           QuietCase{"59 s after a wake", 59s, authorized, false},
                                           QuietCase{"60 s after a wake", 60s, authorized, true},
                                           QuietCase{"denied", std::nullopt, denied, false},
                                           QuietCase{"not determined", std::nullopt, notDetermined, false}));

TEST_P(MountedNotifications, KeepQuietForAMinuteAfterAWakeAndNeedPermission) {
    const auto& each = GetParam();
    start();
    notifications.status = each.permission;
    if (each.sinceWake) {
        sleep.didWake.send();
        executor.runUntilIdle();
        executor.advanceBy(*each.sinceWake);
    }
    auto device = testing::device(""); // known by its registry entry ID
    device.registryEntryID = 4242;
    model->postMountedNotification(DeviceEntry{device, MountState::mounted("/m/A")});
    executor.runUntilIdle();
    const NotificationRequest expected{"tandalo.mounted.4242", "Pixel 7 is in your file manager",
                                       "Click to open it.", NotificationSound::none};
    EXPECT_EQ(notifications.added, each.shown ? std::vector{expected} : std::vector<NotificationRequest>{});
}

TEST_F(AppModelDeviceTests,
       TheRunningNotificationFallsBackToTheSetUpGuideAndPermissionIsReadAgainAfterTheQuestion) {
    preferences.values().set(AppModel::hasCompletedOnboardingKey, true);
    start();
    model->postRunningNotification({authorized});
    model->postRunningNotification({denied});
    executor.runUntilIdle();
    EXPECT_EQ(notifications.added,
              (std::vector{NotificationRequest{"tandalo.running", "Tandalo is already running",
                                               "Look for its eject icon in the panel's status area.",
                                               NotificationSound::none}}));
    EXPECT_EQ(log.entries("onboarding:").size(), 1u);
    notifications.status = denied;
    testing::runToEnd(executor, model->requestNotificationAuthorization());
    EXPECT_EQ(model->notificationStatus.get(), denied) << "read again after the question";
}

} // namespace
} // namespace tandalo::app
