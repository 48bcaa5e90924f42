#include "FileSystemExtension/TandaloExtension.h"
#include "FileSystemExtension/TandaloFileSystem.h"

#include "Corvane/usb/DeviceName.h"
#include "ExtensionScenario.h"
#include "ReplyCapture.h"
#include "platform/fskit/InProcessHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using corvane::TakeOver;
using testing::ExtensionScenario;

testsupport::PhoneScenario::Options autoAdvancing() {
    return ExtensionScenario::connectedByFileSystem(platform::VirtualClock::AutoAdvance::sleeps);
}

std::shared_ptr<fskit::FSResource> urlOf(const ExtensionScenario& scenario) {
    return std::make_shared<fskit::FSGenericURLResource>("mtp://" + scenario.descriptor().serialNumber);
}

std::shared_ptr<fskit::FSResource> tokenOf(const ExtensionScenario& scenario, std::string folder) {
    return std::make_shared<fskit::FSPathURLResource>("file:///Users/me/Tandalo/.tandalo/" + folder + "/" +
                                                      scenario.descriptor().serialNumber + ".tandalo");
}

/// The file system and a host that plays FSKit for one resource.
struct Loaded {
    Loaded(ExtensionScenario& scenario, std::shared_ptr<fskit::FSResource> resource,
           std::vector<std::string> taskOptions = {})
        : fileSystem(std::make_shared<TandaloFileSystem>(scenario.fileSystemContext())),
          host(fileSystem, resource,
               fskit::InProcessHost::Options{fskit::FSTaskOptions(std::move(taskOptions))}) {}

    std::shared_ptr<AndroidVolume> volume() const {
        return std::dynamic_pointer_cast<AndroidVolume>(host.volume());
    }

    std::shared_ptr<TandaloFileSystem> fileSystem;
    fskit::InProcessHost host;
};

bool logged(ExtensionScenario& scenario, const std::string& line) {
    const auto log = scenario.extensionLog();
    return std::find(log.begin(), log.end(), line) != log.end();
}

std::size_t loggedStartingWith(ExtensionScenario& scenario, const std::string& prefix) {
    const auto log = scenario.extensionLog();
    return static_cast<std::size_t>(std::count_if(
        log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
}

std::string cleanName(const corvane::USBDeviceDescriptor& descriptor) {
    return corvane::DeviceName::clean(descriptor.productName, descriptor.vendorName, descriptor.serialNumber);
}

TEST(TandaloFileSystemTests, ProbeRecognisesAnAttachedDeviceByNameAndContainer) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, tokenOf(scenario, "take-over-1"));
    const auto probed = loaded.host.probe();
    ASSERT_TRUE(probed.succeeded());
    ASSERT_TRUE(probed.result);
    EXPECT_EQ(probed.result->result(), fskit::FSProbeResult::Result::usable);
    EXPECT_EQ(probed.result->name(), cleanName(scenario.descriptor()));
    EXPECT_EQ(probed.result->containerID(), TandaloFileSystem::containerIdentifier(scenario.descriptor()));
    EXPECT_TRUE(logged(scenario, "probe: recognized " + cleanName(scenario.descriptor())));
}

TEST(TandaloFileSystemTests, ProbeLeavesResourcesThatAreNotOursToOthersWithoutALogLine) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, std::make_shared<fskit::FSPathURLResource>("file:///m/.tandalo/1/any.txt"));
    const auto probed = loaded.host.probe();
    EXPECT_TRUE(probed.succeeded());
    ASSERT_TRUE(probed.result);
    EXPECT_EQ(probed.result->result(), fskit::FSProbeResult::Result::notRecognized);
    EXPECT_EQ(scenario.extensionLog(), std::vector<std::string>{"Tandalo extension loaded"});
}

TEST(TandaloFileSystemTests, ProbeFailsWithENXIOWhenNoSuchDeviceIsAttached) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, std::make_shared<fskit::FSGenericURLResource>("mtp://NOSUCHSERIAL"));
    const auto probed = loaded.host.probe();
    EXPECT_EQ(probed.errorCode(), ENXIO);
    EXPECT_FALSE(probed.result);
    EXPECT_EQ(loggedStartingWith(scenario, "probe failed: "), 1u);
}

TEST(TandaloFileSystemTests, LoadsReadOnlyOnlyForTheExactOption) {
    struct Case {
        std::vector<std::string> options;
        bool readOnly;
    };
    const std::vector<Case> cases{
        {{}, false},           {{"--rdonly"}, true}, {{"-o", "--rdonly"}, true}, {{"--rdonly=1"}, false},
        {{"--RDONLY"}, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(::testing::PrintToString(each.options));
        ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
        Loaded loaded(scenario, urlOf(scenario), each.options);
        ASSERT_TRUE(loaded.host.load().succeeded());
        EXPECT_EQ(loaded.volume()->readOnly(), each.readOnly);
        EXPECT_TRUE(loaded.host.unload().succeeded());
    }
}

TEST(TandaloFileSystemTests, LoadOpensTheSessionRegistersTheVolumeAndMarksTheContainerReady) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    const auto resource = tokenOf(scenario, "take-over-1");
    Loaded loaded(scenario, resource);
    scenario.scenario().bus().clearCallLog();
    const auto root = loaded.host.start();
    ASSERT_TRUE(root);
    EXPECT_TRUE(scenario.phone().isSessionOpen());
    EXPECT_EQ(loaded.fileSystem->containerStatus().state(), fskit::FSContainerStatus::State::ready);
    EXPECT_EQ(loaded.fileSystem->volume(*TandaloFileSystem::volumeKey(*resource)), loaded.volume());
    EXPECT_EQ(scenario.connectTakeOvers(), std::vector{TakeOver::fromAnyone});
    EXPECT_TRUE(logged(scenario, "Tandalo extension loaded"));
    EXPECT_TRUE(
        logged(scenario, "load: connecting to " + scenario.descriptor().description() + ", taking it over"));
    EXPECT_TRUE(logged(scenario, "load: volume ready for " + cleanName(scenario.descriptor())));
    EXPECT_TRUE(logged(scenario, "mount " + cleanName(scenario.descriptor())));
    const auto log = scenario.scenario().bus().callLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const auto& call) {
                                return call.operation == "matchingEntries" &&
                                       call.detail == "IOUSBHostInterface";
                            }),
              1)
        << "the load uses what the probe found";
    loaded.host.stop();
    EXPECT_TRUE(loaded.host.faults().empty());
}

TEST(TandaloFileSystemTests, AVolumeKeepsItsStatusUnderTheNameItsResourceGave) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    const auto& device = scenario.descriptor();
    const auto located = device.serialNumber + "@" + std::to_string(device.locationID);
    struct Case {
        std::string resource;
        std::string statusKey;
    };
    const std::vector<Case> cases{
        {"mtp://" + device.serialNumber, scenario.deviceKey()},
        {"mtp://" + device.serialNumber + "?location=" + std::to_string(device.locationID), located},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.resource);
        Loaded loaded(scenario, std::make_shared<fskit::FSGenericURLResource>(each.resource));
        ASSERT_TRUE(loaded.host.load().succeeded());
        EXPECT_EQ(loaded.volume()->deviceKey(), each.statusKey);
        EXPECT_TRUE(loaded.host.unload().succeeded());
    }
}

TEST(TandaloFileSystemTests, UnloadShutsTheVolumeDownAndForgetsIt) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, urlOf(scenario));
    loaded.host.start();
    const auto volume = loaded.volume();
    ASSERT_TRUE(testing::eventually([&] { return scenario.clock().waiterCount() == 1; }));
    const auto battery = "deviceStatus." + scenario.deviceKey() + ".battery";
    ASSERT_TRUE(
        testing::eventually([&] { return scenario.preferences().suite().value(battery).has_value(); }));

    loaded.host.stop();
    EXPECT_FALSE(scenario.phone().isSessionOpen());
    EXPECT_EQ(scenario.phone().count(PTPOperation::closeSession), 1u);
    EXPECT_FALSE(scenario.preferences().suite().value(battery));
    EXPECT_EQ(scenario.clock().waiterCount(), 0u);
    EXPECT_EQ(loaded.fileSystem->volumeCount(), 0u);
    EXPECT_TRUE(logged(scenario, "unload: done"));
}

TEST(TandaloFileSystemTests, UnloadingAResourceThatWasNeverLoadedSucceeds) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, urlOf(scenario));
    EXPECT_TRUE(loaded.host.unload().succeeded());
    EXPECT_TRUE(logged(scenario, "unload: done"));
    EXPECT_TRUE(scenario.phone().operations().empty());
}

TEST(TandaloFileSystemTests, ReloadingAResourceShutsTheVolumeItReplacesDown) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    const auto resource = urlOf(scenario);
    Loaded loaded(scenario, resource);
    loaded.host.start();
    const auto first = loaded.volume();
    ASSERT_TRUE(testing::eventually([&] { return scenario.clock().waiterCount() == 1; }));

    // The phone goes away and comes back, and the system loads the same resource again.
    scenario.replug();
    fskit::InProcessHost again(loaded.fileSystem, resource);
    ASSERT_TRUE(again.load().succeeded());
    const auto second = std::dynamic_pointer_cast<AndroidVolume>(again.volume());
    ASSERT_NE(second, first);
    EXPECT_EQ(loaded.fileSystem->volumeCount(), 1u);
    EXPECT_EQ(loaded.fileSystem->volume(*TandaloFileSystem::volumeKey(*resource)), second);
    // The first volume's poller, session and status are gone, not leaked.
    EXPECT_EQ(scenario.clock().waiterCount(), 0u);
    EXPECT_FALSE(first->fs().device().isConnected());
    EXPECT_FALSE(scenario.preferences().suite().value("deviceStatus." + scenario.deviceKey() + ".battery"));
    EXPECT_TRUE(second->fs().device().isConnected());
}

TEST(TandaloFileSystemTests, ALoadWithoutTheDeviceBlocksTheContainerWithENXIO) {
    ExtensionScenario scenario(ExtensionScenario::connectedByFileSystem());
    Loaded loaded(scenario, std::make_shared<fskit::FSGenericURLResource>("mtp://NOSUCHSERIAL?attempt=2"));
    const auto outcome = loaded.host.load();
    EXPECT_EQ(outcome.errorCode(), ENXIO);
    const auto status = loaded.fileSystem->containerStatus();
    EXPECT_EQ(status.state(), fskit::FSContainerStatus::State::blocked);
    ASSERT_TRUE(status.status());
    EXPECT_EQ(status.status()->code(), ENXIO);
    EXPECT_EQ(loggedStartingWith(scenario, "load failed: "), 1u);
    EXPECT_EQ(loaded.fileSystem->volumeCount(), 0u);
}

TEST(TandaloFileSystemTests, AFirstAttemptThatFailsToOpenIsRetriedWithAResetAndNoTakeOver) {
    ExtensionScenario scenario(autoAdvancing());
    scenario.phone().injectFault(PTPOperation::openSession, simulation::PhoneFault::respond(0x2002));
    Loaded loaded(scenario, urlOf(scenario));
    const auto start = scenario.clock().now();
    ASSERT_TRUE(loaded.host.load().succeeded());
    EXPECT_EQ(scenario.connectTakeOvers(), (std::vector{TakeOver::fromCameraService, TakeOver::never}));
    EXPECT_EQ(scenario.phone().resetCount(), 1u);
    EXPECT_TRUE(scenario.phone().isSessionOpen());
    EXPECT_GE(scenario.clock().now() - start, std::chrono::milliseconds(400));
    EXPECT_LT(scenario.clock().now() - start, std::chrono::milliseconds(800));
    EXPECT_EQ(loggedStartingWith(scenario, "load attempt 1 failed: "), 1u);
    EXPECT_EQ(loggedStartingWith(scenario, "load attempt 2"), 0u);
    scenario.clock().setAutoAdvance(platform::VirtualClock::AutoAdvance::never);
    EXPECT_TRUE(loaded.host.unload().succeeded());
}

TEST(TandaloFileSystemTests, ALaterAttemptOpensTheInterfaceWhereItCameBack) {
    ExtensionScenario scenario(autoAdvancing());
    const auto original = scenario.descriptor().registryEntryID;
    // The first connect finds the interface going away; it comes back under a new registry ID.
    scenario.failConnects(1, corvane::PTPError::usb("device disconnected"));
    scenario.beforeConnect([&](std::size_t number) {
        if (number == 1) {
            scenario.replug();
        }
    });
    Loaded loaded(scenario, urlOf(scenario));
    ASSERT_TRUE(loaded.host.load().succeeded());
    EXPECT_NE(loaded.volume()->descriptor().registryEntryID, original);
    EXPECT_EQ(loaded.volume()->descriptor().serialNumber, scenario.descriptor().serialNumber);
    EXPECT_EQ(loggedStartingWith(scenario, "load attempt 1 could not open USB: "), 1u);
    scenario.clock().setAutoAdvance(platform::VirtualClock::AutoAdvance::never);
    EXPECT_TRUE(loaded.host.unload().succeeded());
}

TEST(TandaloFileSystemTests, AnAttemptWhoseInterfaceNeverCameBackFailsWithENXIO) {
    ExtensionScenario scenario(autoAdvancing());
    const auto serial = scenario.descriptor().serialNumber;
    // After the first connect the phone leaves the bus for good: the later attempts use the interface
    // the resource first named, which no longer exists.
    scenario.failConnects(1, corvane::PTPError::usb("device disconnected"));
    scenario.beforeConnect([&](std::size_t number) {
        if (number == 1) {
            scenario.scenario().unplug();
        }
    });
    Loaded loaded(scenario, urlOf(scenario));
    const auto start = scenario.clock().now();
    EXPECT_EQ(loaded.host.load().errorCode(), ENXIO);
    // Waits of 0.4, 0.8 and 1.2 s, and two rediscoveries of 24 lookups 0.25 s apart.
    EXPECT_EQ(scenario.clock().now() - start, std::chrono::milliseconds(2400 + 2 * 6000));
    EXPECT_EQ(scenario.connectTakeOvers().size(), 3u);
}

TEST(TandaloFileSystemTests, ThreeFailedAttemptsReplyTheLastErrorAfterTheirWaits) {
    ExtensionScenario scenario(autoAdvancing());
    scenario.failConnects(3, corvane::PTPError::deviceBusy("pid 7, PTPCamera"));
    Loaded loaded(scenario, tokenOf(scenario, "take-over-2"));
    const auto start = scenario.clock().now();
    EXPECT_EQ(loaded.host.load().errorCode(), ETXTBSY);
    EXPECT_EQ(scenario.connectTakeOvers(),
              (std::vector{TakeOver::fromAnyone, TakeOver::never, TakeOver::never}));
    // 0.4 + 0.8 + 1.2 s of waits; the device is found again at once each time.
    EXPECT_EQ(scenario.clock().now() - start, std::chrono::milliseconds(2400));
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(
            loggedStartingWith(scenario, "load attempt " + std::to_string(attempt) + " could not open USB: "),
            1u);
    }
    EXPECT_EQ(loaded.fileSystem->containerStatus().status()->code(), ETXTBSY);
}

TEST(TandaloFileSystemTests, EveryLoadFailureReachesTheHostAsItsPOSIXCode) {
    struct Case {
        const char* name;
        std::function<void(ExtensionScenario&)> arrange;
        int code;
    };
    const std::vector<Case> cases{
        {"phone locked", [](ExtensionScenario& s) { s.phone().setAccessGranted(false); }, EACCES},
        {"phone busy",
         [](ExtensionScenario& s) {
             s.phone().injectFault(PTPOperation::openSession, simulation::PhoneFault::busy(), 1,
                                   simulation::SimulatedPhone::always);
         },
         EBUSY},
        {"interface gone",
         [](ExtensionScenario& s) { s.failConnects(3, corvane::PTPError::deviceNotFound()); }, ENXIO},
        {"USB failure", [](ExtensionScenario& s) { s.failConnects(3, corvane::PTPError::usb("stall")); },
         EIO},
        {"held elsewhere",
         [](ExtensionScenario& s) { s.failConnects(3, corvane::PTPError::deviceBusy("pid 9, x")); }, ETXTBSY},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ExtensionScenario scenario(autoAdvancing());
        each.arrange(scenario);
        Loaded loaded(scenario, urlOf(scenario));
        const auto outcome = loaded.host.load();
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain(), fskit::NSPOSIXErrorDomain);
        EXPECT_EQ(outcome.errorCode(), each.code);
        EXPECT_EQ(loggedStartingWith(scenario, "load failed: "), 1u);
        EXPECT_FALSE(scenario.phone().isSessionOpen());
    }
}

TEST(TandaloFileSystemTests, TheExtensionHandsOutOneFileSystem) {
    TandaloExtension first;
    TandaloExtension second;
    const auto fileSystem = first.fileSystem();
    ASSERT_TRUE(std::dynamic_pointer_cast<TandaloFileSystem>(fileSystem));
    EXPECT_EQ(second.fileSystem(), fileSystem);
    EXPECT_EQ(first.configuration().extensionPoint,
              fskit::UnaryFileSystemExtensionConfiguration().extensionPoint);
}

} // namespace
} // namespace tandalo
