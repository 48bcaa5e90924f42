#include "simulation/SimulatedBus.h"
#include "tests/simulation/SimulatedBusScriptedFunction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

namespace simulation {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::ScriptedFunction;
using testing::statusOf;

DeviceSpec phone(std::shared_ptr<usb::DeviceFunction> function = nullptr) {
    DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.vendorName = "Google";
    spec.productName = "Pixel 7";
    spec.serialNumber = "2A111FDH";
    spec.locationID = 0x14200000;
    spec.interfaces = {InterfaceSpec::vendorMTP(0), InterfaceSpec::adb(1)};
    spec.function = std::move(function);
    return spec;
}

std::vector<usb::RegistryEntryID> idsOf(const std::vector<usb::RegistryEntry>& entries) {
    std::vector<usb::RegistryEntryID> ids;
    for (const auto& entry : entries) {
        ids.push_back(entry.id);
    }
    return ids;
}

// Records registry events in the order they arrive.
struct EventRecorder {
    std::mutex mutex;
    std::vector<std::pair<usb::RegistryEvent::Kind, usb::RegistryEntryID>> events;

    usb::USBBus::Observer observer() {
        return [this](const usb::RegistryEvent& event) {
            std::lock_guard guard(mutex);
            events.emplace_back(event.kind, event.entry.id);
        };
    }
    auto snapshot() {
        std::lock_guard guard(mutex);
        return events;
    }
};

constexpr auto published = usb::RegistryEvent::Kind::published;
constexpr auto terminated = usb::RegistryEvent::Kind::terminated;

// --- Registry ----------------------------------------------------------------------------------------

TEST(SimulatedBusTests, PlugPublishesTheDeviceAndItsInterfacesWithTheirProperties) {
    SimulatedBus bus;
    const auto plugged = bus.plug(phone());
    ASSERT_EQ(plugged.interfaceIDs.size(), 2u);

    const auto devices = bus.matchingEntries(usb::deviceClassName);
    ASSERT_EQ(devices.size(), 1u);
    const auto& device = devices[0];
    EXPECT_EQ(device.id, plugged.deviceID);
    EXPECT_EQ(device.parentID, 0u);
    EXPECT_EQ(*device.property("idVendor"), usb::PropertyValue{std::int64_t{0x18D1}});
    EXPECT_EQ(*device.property("USB Product Name"), usb::PropertyValue{std::string("Pixel 7")});
    EXPECT_EQ(*device.property("USB Serial Number"), usb::PropertyValue{std::string("2A111FDH")});
    EXPECT_EQ(*device.property("locationID"), usb::PropertyValue{std::int64_t{0x14200000}});

    const auto interfaces = bus.matchingEntries(usb::interfaceClassName);
    EXPECT_EQ(idsOf(interfaces), plugged.interfaceIDs);
    EXPECT_EQ(idsOf(bus.children(plugged.deviceID)), plugged.interfaceIDs);
    const auto& mtp = interfaces[0];
    EXPECT_EQ(mtp.parentID, plugged.deviceID);
    EXPECT_EQ(*mtp.property("bInterfaceClass"), usb::PropertyValue{std::int64_t{255}});
    EXPECT_EQ(*mtp.property("USB Interface Name"), usb::PropertyValue{std::string("MTP")});
    EXPECT_EQ(mtp.property("USB Serial Number"), nullptr);
    EXPECT_EQ(*bus.property(plugged.interfaceIDs[1], "bInterfaceSubClass"),
              usb::PropertyValue{std::int64_t{66}});
    EXPECT_EQ(bus.endpoints(plugged.interfaceIDs[0]).size(), 3u);
}

TEST(SimulatedBusTests, SpecsCanOmitAndOverrideProperties) {
    SimulatedBus bus;
    auto spec = phone();
    spec.serialNumber.reset();
    spec.omittedProperties = {"locationID"};
    spec.extraProperties = {{"idVendor", std::string("not a number")}};
    spec.interfaces[0].extraProperties = {{"USB Serial Number", std::string("IFSERIAL")}};
    const auto plugged = bus.plug(spec);
    EXPECT_FALSE(bus.property(plugged.deviceID, "USB Serial Number"));
    EXPECT_FALSE(bus.property(plugged.deviceID, "locationID"));
    EXPECT_EQ(*bus.property(plugged.deviceID, "idVendor"), usb::PropertyValue{std::string("not a number")});
    EXPECT_EQ(*bus.property(plugged.interfaceIDs[0], "USB Serial Number"),
              usb::PropertyValue{std::string("IFSERIAL")});
}

TEST(SimulatedBusTests, EntriesComeInRegistryOrderAndIDsAreNeverReused) {
    SimulatedBus bus;
    const auto first = bus.plug(phone());
    const auto second = bus.plug(phone());
    EXPECT_NE(first.deviceID, second.deviceID);
    EXPECT_LT(first.deviceID, second.deviceID);
    bus.unplug(first.deviceID);
    const auto third = bus.plug(phone());
    EXPECT_GT(third.deviceID, second.interfaceIDs.back());
    EXPECT_EQ(idsOf(bus.matchingEntries(usb::deviceClassName)),
              (std::vector<usb::RegistryEntryID>{second.deviceID, third.deviceID}));
    // Distinct devices get distinct locations when the device description leaves the choice to the bus.
    auto a = phone();
    auto b = phone();
    a.locationID = b.locationID = 0;
    const auto pa = bus.plug(a);
    const auto pb = bus.plug(b);
    EXPECT_NE(bus.property(pa.deviceID, "locationID"), bus.property(pb.deviceID, "locationID"));
}

TEST(SimulatedBusTests, GoneEntriesAreReportedAsGone) {
    SimulatedBus bus;
    const auto plugged = bus.plug(phone());
    bus.unplug(plugged.deviceID);
    EXPECT_FALSE(bus.entry(plugged.deviceID));
    EXPECT_EQ(statusOf([&] { bus.property(plugged.interfaceIDs[0], "bInterfaceClass"); }),
              usb::Status::notFound);
    EXPECT_EQ(statusOf([&] { bus.children(plugged.deviceID); }), usb::Status::notFound);
    EXPECT_EQ(statusOf([&] { bus.open(plugged.interfaceIDs[0], usb::OpenMode::exclusive); }),
              usb::Status::notFound);
    EXPECT_NO_THROW(bus.unplug(plugged.deviceID));
}

TEST(SimulatedBusTests, UnavailableRegistryFailsEveryRead) {
    SimulatedBus bus;
    const auto plugged = bus.plug(phone());
    bus.setRegistryAvailable(false);
    EXPECT_EQ(statusOf([&] { bus.matchingEntries(usb::interfaceClassName); }), usb::Status::unavailable);
    EXPECT_EQ(statusOf([&] { bus.entry(plugged.deviceID); }), usb::Status::unavailable);
    EXPECT_EQ(statusOf([&] { bus.property(plugged.deviceID, "idVendor"); }), usb::Status::unavailable);
    EXPECT_EQ(statusOf([&] { bus.children(plugged.deviceID); }), usb::Status::unavailable);
    EXPECT_EQ(statusOf([&] { bus.subscribe(usb::deviceClassName, [](const auto&) {}); }),
              usb::Status::unavailable);
    bus.setRegistryAvailable(true);
    EXPECT_EQ(bus.matchingEntries(usb::interfaceClassName).size(), 2u);
}

// --- Notifications -----------------------------------------------------------------------------------

TEST(SimulatedBusTests, SubscribersHearPublicationsAndTerminationsInOrder) {
    SimulatedBus bus;
    EventRecorder devices;
    EventRecorder interfaces;
    bus.subscribe(usb::deviceClassName, devices.observer());
    bus.subscribe(usb::interfaceClassName, interfaces.observer());
    const auto plugged = bus.plug(phone());
    bus.unplug(plugged.deviceID);
    ASSERT_TRUE(bus.waitUntilIdle());
    EXPECT_THAT(devices.snapshot(),
                ElementsAre(std::pair{published, plugged.deviceID}, std::pair{terminated, plugged.deviceID}));
    EXPECT_THAT(interfaces.snapshot(), ElementsAre(std::pair{published, plugged.interfaceIDs[0]},
                                                   std::pair{published, plugged.interfaceIDs[1]},
                                                   std::pair{terminated, plugged.interfaceIDs[0]},
                                                   std::pair{terminated, plugged.interfaceIDs[1]}));
}

TEST(SimulatedBusTests, UnsubscribedObserversHearNothingMore) {
    SimulatedBus bus;
    EventRecorder recorder;
    const auto subscription = bus.subscribe(usb::deviceClassName, recorder.observer());
    bus.plug(phone());
    ASSERT_TRUE(bus.waitUntilIdle());
    bus.unsubscribe(subscription.id);
    bus.plug(phone());
    ASSERT_TRUE(bus.waitUntilIdle());
    EXPECT_EQ(recorder.snapshot().size(), 1u);
    EXPECT_NO_THROW(bus.unsubscribe(subscription.id));
}

TEST(SimulatedBusTests, EveryEntryIsEitherExistingOrReportedExactlyOnce) {
    // Devices are plugged while the subscription is made: each must be seen once, never twice, never lost.
    SimulatedBus bus;
    std::atomic<bool> go{false};
    std::vector<usb::RegistryEntryID> plugged;
    std::thread plugger([&] {
        while (!go) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 200; ++i) {
            plugged.push_back(bus.plug(phone()).deviceID);
        }
    });
    go = true;
    std::this_thread::yield();
    EventRecorder recorder;
    const auto subscription = bus.subscribe(usb::deviceClassName, recorder.observer());
    plugger.join();
    ASSERT_TRUE(bus.waitUntilIdle());

    std::multiset<usb::RegistryEntryID> seen;
    for (const auto& entry : subscription.existing) {
        seen.insert(entry.id);
    }
    for (const auto& [kind, id] : recorder.snapshot()) {
        EXPECT_EQ(kind, published);
        seen.insert(id);
    }
    EXPECT_EQ(seen, std::multiset<usb::RegistryEntryID>(plugged.begin(), plugged.end()));
}

TEST(SimulatedBusTests, ObserverMayUnsubscribeItself) {
    SimulatedBus bus;
    std::atomic<int> calls{0};
    usb::SubscriptionID id = 0;
    std::atomic<bool> ready{false};
    id = bus.subscribe(usb::deviceClassName,
                       [&](const usb::RegistryEvent&) {
                           ++calls;
                           while (!ready) {
                               std::this_thread::yield();
                           }
                           bus.unsubscribe(id);
                       })
             .id;
    ready = true;
    bus.plug(phone());
    bus.plug(phone());
    ASSERT_TRUE(bus.waitUntilIdle());
    EXPECT_EQ(calls, 1);
}

// --- Opening and holders -----------------------------------------------------------------------------

TEST(SimulatedBusTests, ExclusiveOpenPublishesTheOwnerUntilClosed) {
    SimulatedBus bus;
    bus.setLocalProcess({4242, "TandaloExtension"});
    const auto plugged = bus.plug(phone());
    const auto mtp = plugged.interfaceIDs[0];
    EXPECT_FALSE(bus.property(mtp, "UsbExclusiveOwner"));

    const auto handle = bus.open(mtp, usb::OpenMode::exclusive);
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"),
              usb::PropertyValue{std::string("pid 4242, TandaloExtension")});
    EXPECT_EQ(statusOf([&] { bus.open(mtp, usb::OpenMode::exclusive); }), usb::Status::exclusiveAccess);
    // The device and the other interface are opened on their own.
    EXPECT_NO_THROW(bus.close(bus.open(plugged.deviceID, usb::OpenMode::exclusive)));

    bus.close(handle);
    EXPECT_FALSE(bus.property(mtp, "UsbExclusiveOwner"));
    EXPECT_NO_THROW(bus.close(bus.open(mtp, usb::OpenMode::exclusive)));
    EXPECT_NO_THROW(bus.close(handle)); // a second close is ignored
}

TEST(SimulatedBusTests, ForeignHoldersYieldToASeizeUnlessTheyRefuse) {
    SimulatedBus bus;
    const auto plugged = bus.plug(phone());
    const auto mtp = plugged.interfaceIDs[0];
    bus.holdExclusively(mtp, {312, "ptpcamerad"});
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"),
              usb::PropertyValue{std::string("pid 312, ptpcamerad")});
    EXPECT_EQ(statusOf([&] { bus.open(mtp, usb::OpenMode::exclusive); }), usb::Status::exclusiveAccess);
    const auto handle = bus.open(mtp, usb::OpenMode::seize);
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"), usb::PropertyValue{bus.localProcess().ownerText()});
    bus.close(handle);
    EXPECT_FALSE(bus.property(mtp, "UsbExclusiveOwner"));

    bus.holdExclusively(plugged.deviceID, {77, "adb"}, HolderPolicy::refusesSeize);
    EXPECT_EQ(statusOf([&] { bus.open(plugged.deviceID, usb::OpenMode::seize); }),
              usb::Status::exclusiveAccess);
    bus.releaseHold(plugged.deviceID);
    EXPECT_NO_THROW(bus.open(plugged.deviceID, usb::OpenMode::exclusive));
}

TEST(SimulatedBusTests, SeizeTakesTheEntryFromAnEarlierOpen) {
    SimulatedBus bus;
    const auto mtp = bus.plug(phone(std::make_shared<ScriptedFunction>())).interfaceIDs[0];
    const auto first = bus.open(mtp, usb::OpenMode::exclusive);
    const auto second = bus.open(mtp, usb::OpenMode::seize);
    // To the loser the seize looks like an unplug.
    EXPECT_EQ(statusOf([&] { bus.writePipe(first, 0x02, {}, 0ms); }), usb::Status::noDevice);
    EXPECT_NO_THROW(bus.writePipe(second, 0x02, {}, 0ms));
    bus.close(first); // the loser's close leaves the winner's ownership alone
    EXPECT_TRUE(bus.property(mtp, "UsbExclusiveOwner"));
}

TEST(SimulatedBusTests, AnOpenMadeForAnotherProcessNamesItAsHolderUntilSeized) {
    SimulatedBus bus;
    const auto mtp = bus.plug(phone(std::make_shared<ScriptedFunction>())).interfaceIDs[0];
    const auto first = bus.open(mtp, usb::OpenMode::exclusive, {501, "mount-tandalo"});
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"),
              usb::PropertyValue{std::string("pid 501, mount-tandalo")});
    EXPECT_EQ(statusOf([&] {
                  bus.open(mtp, usb::OpenMode::exclusive, {502, "Tandalo"});
              }),
              usb::Status::exclusiveAccess);
    const auto second = bus.open(mtp, usb::OpenMode::seize, {502, "Tandalo"});
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"), usb::PropertyValue{std::string("pid 502, Tandalo")});
    EXPECT_EQ(statusOf([&] { bus.clearStall(first, 0x02); }), usb::Status::noDevice);
    bus.close(first);
    EXPECT_EQ(*bus.property(mtp, "UsbExclusiveOwner"), usb::PropertyValue{std::string("pid 502, Tandalo")});
    bus.close(second);
    EXPECT_FALSE(bus.property(mtp, "UsbExclusiveOwner"));
}

TEST(SimulatedBusTests, RefusedOpensFailForTheirCount) {
    SimulatedBus bus;
    const auto mtp = bus.plug(phone()).interfaceIDs[0];
    bus.refuseOpens(mtp, usb::Status::notPermitted, 1);
    EXPECT_EQ(statusOf([&] { bus.open(mtp, usb::OpenMode::exclusive); }), usb::Status::notPermitted);
    EXPECT_NO_THROW(bus.open(mtp, usb::OpenMode::exclusive));
}

// --- Configuration -----------------------------------------------------------------------------------

TEST(SimulatedBusTests, ConfigurationResetRepublishesInterfacesUnderNewIDsAfterTheDelay) {
    platform::VirtualClock clock;
    SimulatedBus bus(clock);
    auto function = std::make_shared<ScriptedFunction>();
    auto spec = phone(function);
    spec.republishDelay = 2s;
    const auto plugged = bus.plug(spec);
    EventRecorder recorder;
    bus.subscribe(usb::interfaceClassName, recorder.observer());

    const auto device = bus.open(plugged.deviceID, usb::OpenMode::seize);
    const auto interfaceHandle = bus.open(plugged.interfaceIDs[0], usb::OpenMode::exclusive);
    EXPECT_EQ(bus.configuration(device), 1);
    bus.setConfiguration(device, 0);
    EXPECT_TRUE(bus.interfacesOf(plugged.deviceID).empty());
    EXPECT_EQ(statusOf([&] { bus.writePipe(interfaceHandle, 0x02, {}, 0ms); }), usb::Status::noDevice);
    bus.setConfiguration(device, 1);
    EXPECT_TRUE(bus.interfacesOf(plugged.deviceID).empty()) << "the device needs a moment to re-enumerate";

    ASSERT_TRUE(clock.waitForWaiters(1)); // the bus waits for the delay on the clock
    clock.advance(2s);
    // The worker publishes as soon as it sees the clock move.
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (bus.interfacesOf(plugged.deviceID).empty() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(bus.waitUntilIdle());
    const auto renewed = bus.interfacesOf(plugged.deviceID);
    ASSERT_EQ(renewed.size(), 2u);
    EXPECT_GT(renewed[0], plugged.interfaceIDs[1]);
    EXPECT_EQ(function->configurations(), (std::vector<std::uint8_t>{0, 1}));
    EXPECT_THAT(recorder.snapshot(),
                ElementsAre(std::pair{terminated, plugged.interfaceIDs[0]},
                            std::pair{terminated, plugged.interfaceIDs[1]}, std::pair{published, renewed[0]},
                            std::pair{published, renewed[1]}));
}

TEST(SimulatedBusTests, DevicesThatNeverReEnumerateComeBackOnlyWhenTold) {
    platform::VirtualClock clock;
    SimulatedBus bus(clock);
    auto spec = phone();
    spec.republishDelay.reset();
    const auto plugged = bus.plug(spec);
    const auto device = bus.open(plugged.deviceID, usb::OpenMode::exclusive);
    bus.setConfiguration(device, 0);
    bus.setConfiguration(device, 1);
    EXPECT_EQ(clock.waiterCount(), 0u);
    EXPECT_TRUE(bus.interfacesOf(plugged.deviceID).empty());
    const auto renewed = bus.publishInterfaces(plugged.deviceID);
    EXPECT_EQ(bus.interfacesOf(plugged.deviceID), renewed);
}

TEST(SimulatedBusTests, ConfigurationRequestsNeedTheDevicesOwnOpen) {
    SimulatedBus bus;
    const auto plugged = bus.plug(phone());
    const auto interfaceHandle = bus.open(plugged.interfaceIDs[0], usb::OpenMode::exclusive);
    EXPECT_EQ(statusOf([&] { bus.setConfiguration(interfaceHandle, 0); }), usb::Status::badArgument);
    const auto device = bus.open(plugged.deviceID, usb::OpenMode::exclusive);
    EXPECT_EQ(statusOf([&] { bus.setConfiguration(device, 7); }), usb::Status::stalled);
    EXPECT_EQ(bus.interfacesOf(plugged.deviceID), plugged.interfaceIDs);
}

// --- Call log and links ------------------------------------------------------------------------------

TEST(SimulatedBusTests, CallLogRecordsEachRequestWithItsOutcome) {
    SimulatedBus bus;
    const auto mtp = bus.plug(phone()).interfaceIDs[0];
    bus.clearCallLog();
    bus.holdExclusively(mtp, {312, "ptpcamerad"});
    EXPECT_ANY_THROW(bus.open(mtp, usb::OpenMode::exclusive));
    bus.open(mtp, usb::OpenMode::seize);
    std::vector<std::string> lines;
    for (const auto& call : bus.callLog()) {
        lines.push_back(call.operation + " " + call.detail + " -> " + call.outcome);
    }
    EXPECT_THAT(lines,
                ElementsAre("holdExclusively pid 312, ptpcamerad -> ok", "open exclusive -> exclusiveAccess",
                            ::testing::StartsWith("open seize -> handle ")));
    EXPECT_THAT(bus.callLog()[1].text(),
                ::testing::MatchesRegex("open 0x[0-9a-f]+ exclusive -> exclusiveAccess"));
}

TEST(SimulatedBusTests, LinksOutliveTheBusHarmlessly) {
    auto function = std::make_shared<ScriptedFunction>();
    {
        SimulatedBus bus;
        bus.plug(phone(function));
        ASSERT_TRUE(function->link());
        EXPECT_TRUE(function->link()->isAttached());
    }
    EXPECT_FALSE(function->link()->isAttached());
    function->link()->dataReady();
    function->link()->disconnect();
}

} // namespace
} // namespace simulation
