// Taking an interface over from the process that holds it: the IOKit transport seizes the device,
// resets its configuration and claims the re-created interface. Every wait runs on the observed clock,
// which the tests advance only once the opening thread waits for the deadline they expect.
#include "Corvane/usb/IOUSBLibTransport.h"
#include "Corvane/usb/InterfaceClaimer.h"
#include "tests/Corvane/usb/TransportTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <stdexcept>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using simulation::InterfaceSpec;
using simulation::testing::bytes;
using simulation::testing::ScriptedFunction;
using testing::describeFailure;

constexpr const char* busyText =
    "device busy: interface is claimed by another process (Image Capture, Photos, adb?)";
const usb::ProcessIdentity cameraService{311, "ptpcamerad"};

class TakeOverTests : public ::testing::Test {
protected:
    /// Plugs a phone whose interfaces come back `delay` after a configuration change (never without one),
    /// with its MTP interface held by `holder`.
    void plugHeldPhone(std::optional<platform::Clock::Duration> delay = 1s,
                       std::optional<usb::ProcessIdentity> holder = cameraService,
                       std::string serial = "R58N123ABC") {
        auto spec = testing::scriptedPhone(function, std::move(serial));
        spec.republishDelay = delay;
        phone = usb.bus->plug(std::move(spec));
        descriptor = usb.descriptor(phone.interfaceIDs[0]);
        if (holder) {
            usb.bus->holdExclusively(phone.interfaceIDs[0], *holder);
        }
        start = usb.clock.now();
    }

    /// Opens the phone's interface on a thread of its own, as the extension's loader would.
    std::future<std::unique_ptr<IOUSBLibTransport>> openAsync(TakeOver takeOver) {
        return std::async(std::launch::async, [this, takeOver] {
            return IOUSBLibTransport::open(descriptor, takeOver, usb.clock, usb.port);
        });
    }

    /// Waits until the take-over waits for its first claim (6 s) and the device's re-enumeration.
    void expectTakeOverWaiting() {
        ASSERT_TRUE(usb.clock.waitForDeadline(start + 6s)) << "the take-over never waited for a claim";
    }

    /// The interfaces of the phone now, which a take-over has re-created under new IDs.
    usb::RegistryEntryID currentInterface() const {
        const auto interfaces = usb.bus->interfacesOf(phone.deviceID);
        return interfaces.empty() ? 0 : interfaces.front();
    }

    testing::SimulatedUSB usb;
    std::shared_ptr<ScriptedFunction> function = std::make_shared<ScriptedFunction>();
    simulation::PluggedDevice phone;
    USBDeviceDescriptor descriptor;
    platform::Clock::TimePoint start;
};

TEST_F(TakeOverTests, TakesTheInterfaceOnlyFromWhomTheCallerAllows) {
    struct Case {
        const char* name;
        std::string holder;
        TakeOver takeOver;
        bool takenOver;
    };
    const std::vector<Case> cases{
        {"camera service", "ptpcamerad", TakeOver::fromCameraService, true},
        {"older camera service", "PTPCamera", TakeOver::fromCameraService, true},
        {"another process", "adb", TakeOver::fromCameraService, false},
        {"another process, from anyone", "adb", TakeOver::fromAnyone, true},
        {"camera service, never", "ptpcamerad", TakeOver::never, false},
        {"almost the camera service", "ptpcamerad2", TakeOver::fromCameraService, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        usb.bus->clearCallLog();
        plugHeldPhone(1s, usb::ProcessIdentity{500, each.holder});
        auto opening = openAsync(each.takeOver);
        if (!each.takenOver) {
            EXPECT_EQ(describeFailure([&] { opening.get(); }), busyText);
            EXPECT_FALSE(usb.wasOpened(phone.deviceID)) << "the device must not be seized";
            continue;
        }
        expectTakeOverWaiting();
        usb.clock.advanceWhenWaited(1s); // the device re-enumerates
        usb.clock.advanceWhenWaited(3s); // the claim settles
        const auto transport = opening.get();
        EXPECT_TRUE(transport->isConnected());
        EXPECT_EQ(usb.clock.now() - start, 4s) << "the interface comes 3 s after it appeared";
        const auto claimed = currentInterface();
        EXPECT_NE(claimed, descriptor.registryEntryID);
        const auto open = usb.openHandles();
        ASSERT_EQ(open.size(), 1u) << "the seized device is let go";
        EXPECT_EQ(open.begin()->second, claimed);
        function->queueIn(0x81, usb::InReply::send(bytes(9)));
        EXPECT_EQ(transport->read(512, 1s), bytes(9));
        usb.bus->unplug(phone.deviceID);
    }
}

TEST_F(TakeOverTests, ADeviceThatNeverRecreatesItsInterfaceIsBusyAfterSixSeconds) {
    plugHeldPhone(std::nullopt);
    auto opening = openAsync(TakeOver::fromCameraService);
    usb.clock.advanceWhenWaited(6s);
    EXPECT_EQ(describeFailure([&] { opening.get(); }), busyText);
    EXPECT_EQ(usb.clock.now() - start, 6s);
    EXPECT_TRUE(usb.openHandles().empty()) << "the seized device is closed again";
    EXPECT_EQ(usb.bus->entry(phone.deviceID)->properties.count("UsbExclusiveOwner"), 0u);
}

TEST_F(TakeOverTests, AClaimThatVanishesDuringTheSettleIsReplacedByTheNextMatchingInterface) {
    plugHeldPhone();
    auto opening = openAsync(TakeOver::fromCameraService);
    expectTakeOverWaiting();
    usb.clock.advanceWhenWaited(1s);
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 4s)) << "the first claim never settled";
    const auto first = currentInterface();
    usb.bus->removeInterface(first);
    usb.clock.advance(3s); // the settle ends without the claim: a second chance of 6 s
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 10s));
    const auto second = usb.bus->addInterface(phone.deviceID, InterfaceSpec::stillImage(0));
    usb.clock.advanceWhenWaited(3s);
    const auto transport = opening.get();
    EXPECT_EQ(usb.clock.now() - start, 7s);
    const auto open = usb.openHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open.begin()->second, second) << "the vanished first claim is closed";
    EXPECT_TRUE(usb.wasOpened(first));
}

TEST_F(TakeOverTests, AClaimThatVanishesWithoutReplacementLeavesNothingOpen) {
    plugHeldPhone();
    const auto plugIns = iokit::IOCFPlugInLiveObjectCount();
    auto opening = openAsync(TakeOver::fromAnyone);
    expectTakeOverWaiting();
    usb.clock.advanceWhenWaited(1s);
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 4s));
    const auto first = currentInterface();
    usb.bus->removeInterface(first);
    usb.clock.advance(3s);
    usb.clock.advanceWhenWaited(6s);
    EXPECT_EQ(describeFailure([&] { opening.get(); }), busyText);
    EXPECT_EQ(usb.clock.now() - start, 10s);
    EXPECT_TRUE(usb.wasOpened(first));
    EXPECT_TRUE(usb.openHandles().empty());
    EXPECT_EQ(iokit::IOCFPlugInLiveObjectCount(), plugIns);
}

TEST_F(TakeOverTests, NeverOpensAnInterfaceOfAnotherDeviceOrWithAnotherNumber) {
    // Two phones without serial numbers: the serial alone cannot tell them apart.
    auto otherFunction = std::make_shared<ScriptedFunction>();
    const auto other = usb.bus->plug(testing::scriptedPhone(otherFunction, ""));
    plugHeldPhone(1s, cameraService, "");
    auto opening = openAsync(TakeOver::fromCameraService);
    expectTakeOverWaiting();
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 1s));
    // While the take-over waits, the other phone and another interface of this one come up first.
    const auto otherInterface = usb.bus->addInterface(other.deviceID, InterfaceSpec::stillImage(0));
    const auto otherNumber = usb.bus->addInterface(phone.deviceID, InterfaceSpec::adb(1));
    usb.clock.advance(1s);
    usb.clock.advanceWhenWaited(3s);
    const auto transport = opening.get();
    EXPECT_FALSE(usb.wasOpened(otherInterface));
    EXPECT_FALSE(usb.wasOpened(otherNumber));
    const auto open = usb.openHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_NE(open.begin()->second, otherInterface);
    EXPECT_NE(open.begin()->second, otherNumber);
}

TEST_F(TakeOverTests, AHolderThatRefusesTheSeizeKeepsTheInterface) {
    plugHeldPhone();
    usb.bus->holdExclusively(phone.deviceID, cameraService, simulation::HolderPolicy::refusesSeize);
    EXPECT_EQ(describeFailure(
                  [&] { IOUSBLibTransport::open(descriptor, TakeOver::fromAnyone, usb.clock, usb.port); }),
              busyText);
    EXPECT_EQ(usb.clock.now(), start) << "nothing is waited for";
    EXPECT_EQ(usb.bus->interfacesOf(phone.deviceID), phone.interfaceIDs);
}

TEST_F(TakeOverTests, AnOpenRefusedForAnotherReasonKeepsItsErrorWhenTheTakeOverFails) {
    plugHeldPhone(std::nullopt, std::nullopt);
    usb.bus->refuseOpens(descriptor.registryEntryID, usb::Status::notPermitted);
    auto opening = openAsync(TakeOver::fromAnyone);
    usb.clock.advanceWhenWaited(6s);
    EXPECT_EQ(describeFailure([&] { opening.get(); }), "USB: USBInterfaceOpen failed: 0xe00002e2");
}

TEST_F(TakeOverTests, ASuccessfulTakeOverDiscardsTheOpensError) {
    plugHeldPhone(1s, std::nullopt);
    usb.bus->refuseOpens(descriptor.registryEntryID, usb::Status::notPermitted);
    auto opening = openAsync(TakeOver::fromAnyone);
    expectTakeOverWaiting();
    usb.clock.advanceWhenWaited(1s);
    usb.clock.advanceWhenWaited(3s);
    EXPECT_TRUE(opening.get()->isConnected());
}

// --- The claimer on its own --------------------------------------------------------------------------

class InterfaceClaimerTests : public TakeOverTests {
protected:
    InterfaceMatch matchForPhone() const {
        InterfaceMatch match;
        match.serial = "R58N123ABC";
        match.number = 0;
        match.deviceID = phone.deviceID;
        return match;
    }
};

TEST_F(InterfaceClaimerTests, NeverClaimsAnInterfaceThatExistedBeforeTheWatchWasArmed) {
    plugHeldPhone(1s, std::nullopt);
    {
        InterfaceClaimer claimer(matchForPhone(), usb.port, usb.clock);
        ASSERT_TRUE(claimer.start());
        auto waiting = std::async(std::launch::async, [&] { return claimer.wait(6s); });
        usb.clock.advanceWhenWaited(6s);
        EXPECT_FALSE(waiting.get());
        EXPECT_EQ(claimer.claimedID(), 0u);
    }
    EXPECT_FALSE(usb.wasOpened(phone.interfaceIDs[0]));
}

TEST_F(InterfaceClaimerTests, ClaimsAMatchingInterfaceAtOnceAndHandsItOverAfterTheSettle) {
    plugHeldPhone(1s, std::nullopt);
    InterfaceClaimer claimer(matchForPhone(), usb.port, usb.clock);
    ASSERT_TRUE(claimer.start());
    auto waiting = std::async(std::launch::async, [&] { return claimer.wait(6s); });
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 6s));
    const auto added = usb.bus->addInterface(phone.deviceID, InterfaceSpec::stillImage(0));
    usb.clock.advanceWhenWaited(3s);
    auto claimed = waiting.get();
    ASSERT_TRUE(claimed);
    EXPECT_EQ(claimer.claimedID(), added);
    EXPECT_EQ(usb.bus->entry(added)->properties.count("UsbExclusiveOwner"), 1u);
    claimed->USBInterfaceClose();
}

TEST_F(InterfaceClaimerTests, ALocationMatchFindsADeviceThatReEnumerated) {
    plugHeldPhone(1s, std::nullopt);
    auto match = matchForPhone();
    match.deviceID = 0x1234; // the seized device has gone; its successor sits at the same location
    match.locationID = 0x14300000;
    InterfaceClaimer claimer(match, usb.port, usb.clock);
    ASSERT_TRUE(claimer.start());
    auto waiting = std::async(std::launch::async, [&] { return claimer.wait(6s); });
    ASSERT_TRUE(usb.clock.waitForDeadline(start + 6s));
    auto elsewhere = testing::scriptedPhone(std::make_shared<ScriptedFunction>());
    elsewhere.locationID = 0x14400000;
    const auto wrongPlace = usb.bus->plug(elsewhere);
    auto successor = testing::scriptedPhone(std::make_shared<ScriptedFunction>());
    successor.locationID = 0x14300000;
    const auto rightPlace = usb.bus->plug(successor);
    usb.clock.advanceWhenWaited(3s);
    auto claimed = waiting.get();
    ASSERT_TRUE(claimed);
    EXPECT_EQ(claimer.claimedID(), rightPlace.interfaceIDs[0]);
    EXPECT_FALSE(usb.wasOpened(wrongPlace.interfaceIDs[0]));
}

TEST_F(InterfaceClaimerTests, DestroyingAClaimerClosesWhatItHadNotHandedOut) {
    plugHeldPhone(1s, std::nullopt);
    {
        InterfaceClaimer claimer(matchForPhone(), usb.port, usb.clock);
        ASSERT_TRUE(claimer.start());
        const auto added = usb.bus->addInterface(phone.deviceID, InterfaceSpec::stillImage(0));
        ASSERT_TRUE(usb.bus->waitUntilIdle());
        // The claim happens on the watcher thread; wait (in real time, bounded) until the bus shows it.
        for (int tries = 0; tries < 20000 && !usb.wasOpened(added); ++tries) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(usb.wasOpened(added));
    }
    EXPECT_TRUE(usb.openHandles().empty());
}

TEST_F(InterfaceClaimerTests, AWatcherThatFailsBeforeArmingReportsItInsteadOfBlockingTheCaller) {
    // A bus whose subscriptions fail with something the notification layer does not expect: the watcher
    // thread ends with it before it is armed.
    class BrokenSubscriptions final : public testing::ForwardingBus {
    public:
        using ForwardingBus::ForwardingBus;
        Subscription subscribe(std::string_view, Observer) override {
            throw std::runtime_error("no more subscriptions");
        }
    };
    plugHeldPhone(1s, std::nullopt);
    const auto bus = std::make_shared<BrokenSubscriptions>(usb.bus);
    InterfaceClaimer claimer(matchForPhone(), iokit::MainPort::forBus(bus), usb.clock);
    auto starting = std::async(std::launch::async, [&] { return claimer.start(); });
    if (starting.wait_for(20s) != std::future_status::ready) {
        // Nothing could end the wait any more; aborting fails the test where waiting would hang it.
        ADD_FAILURE() << "start() is still blocked";
        std::abort();
    }
    EXPECT_FALSE(starting.get());
}

TEST_F(InterfaceClaimerTests, AClaimerWithoutARegistryIsNotArmed) {
    plugHeldPhone(1s, std::nullopt);
    usb.bus->setRegistryAvailable(false);
    InterfaceClaimer claimer(matchForPhone(), usb.port, usb.clock);
    EXPECT_FALSE(claimer.start());
    usb.bus->setRegistryAvailable(true);
}

} // namespace
} // namespace corvane
