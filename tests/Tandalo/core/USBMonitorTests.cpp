// The USB monitor: its timing on the virtual clock with reports the test makes, and the real registry
// reports and discovery of a simulated bus.
#include "Tandalo/core/USBMonitor.h"

#include "tests/Tandalo/core/AppFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"

#include "simulation/SimulatedBus.h"

#include <gtest/gtest.h>

#include <memory>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using testing::device;

corvane::AndroidCandidate candidate(std::string serial, std::uint64_t registryID = 900) {
    corvane::AndroidCandidate result;
    result.registryEntryID = registryID;
    result.vendorName = "Google";
    result.productName = "Pixel 7";
    result.serialNumber = std::move(serial);
    return result;
}

class USBMonitorTests : public ::testing::Test {
protected:
    USBMonitorTests() {
        // What the monitor publishes, in order, from the moment of each change.
        m_subscriptions.push_back(
            m_monitor->devices.subscribe([this](const auto&) { published.push_back("devices"); }));
        m_subscriptions.push_back(
            m_monitor->candidates.subscribe([this](const auto&) { published.push_back("candidates"); }));
        published.clear();
    }

    std::size_t listings() const { return m_log.entries("usb: list").size(); }

    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    testing::CallLog m_log;
    testing::FakeUSBDiscovery m_bus{m_log};
    testing::FakeUSBInterfaceEvents m_events{m_log};
    std::unique_ptr<USBMonitor> m_monitor = std::make_unique<USBMonitor>(m_executor, m_bus, m_events);
    std::vector<Subscription> m_subscriptions;
    std::vector<std::string> published;
};

TEST_F(USBMonitorTests, ListsHalfASecondAfterStartAndAfterEachReportWithoutMerging) {
    m_bus.devices = {device("A")};
    m_monitor->start();
    m_monitor->start(); // armed once, listed once
    EXPECT_EQ(m_log.entries("usb: arm").size(), 1u);
    m_executor.advanceBy(499ms);
    EXPECT_EQ(listings(), 0u);
    m_executor.advanceBy(1ms);
    EXPECT_EQ(listings(), 1u);
    EXPECT_EQ(m_monitor->devices.get(), m_bus.devices);

    // Three reports within 0.2 s: three listings, each 0.5 s after its own report; the first that sees
    // the new bus publishes, the others find nothing new.
    m_bus.devices.push_back(device("B"));
    published.clear();
    for (int report = 0; report < 3; ++report) {
        m_events.report();
        m_executor.advanceBy(100ms);
    }
    m_executor.advanceBy(200ms); // 0.5 s after the first report
    EXPECT_EQ(listings(), 2u);
    EXPECT_EQ(published, std::vector<std::string>{"devices"});
    m_executor.advanceBy(200ms);
    EXPECT_EQ(listings(), 4u);
    EXPECT_EQ(published, std::vector<std::string>{"devices"});
}

TEST_F(USBMonitorTests, PublishesOnlyTheListsThatChangedDevicesFirst) {
    struct Case {
        const char* what;
        std::vector<corvane::USBDeviceDescriptor> devices;
        std::vector<corvane::AndroidCandidate> candidates;
        std::vector<std::string> published;
    };
    const auto a = device("A", 1, 10);
    const auto b = device("B", 2, 20);
    // Each case starts from the bus of the one before.
    const std::vector<Case> cases{
        {"a phone in charge-only mode", {}, {candidate("C")}, {"candidates"}},
        {"the same bus again", {}, {candidate("C")}, {}},
        {"the phone switched to file transfer", {a}, {}, {"devices", "candidates"}},
        {"a second phone", {a, b}, {}, {"devices"}},
        {"the same phones in another order", {b, a}, {}, {"devices"}},
        {"a phone seen again under a new registry ID", {b, device("A", 1, 11)}, {}, {"devices"}},
        {"everything unplugged", {}, {}, {"devices"}},
    };
    m_monitor->start();
    m_executor.advanceBy(USBMonitor::refreshDelay);
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        published.clear();
        m_bus.devices = each.devices;
        m_bus.candidates = each.candidates;
        m_events.report();
        m_executor.advanceBy(USBMonitor::refreshDelay);
        EXPECT_EQ(published, each.published);
        EXPECT_EQ(m_monitor->devices.get(), each.devices);
        EXPECT_EQ(m_monitor->candidates.get(), each.candidates);
    }
}

TEST_F(USBMonitorTests, AStartWithoutReportsListsNothingAndALaterStartTriesAgain) {
    m_events.refuses = true;
    m_monitor->start();
    m_executor.advanceBy(1s);
    EXPECT_EQ(listings(), 0u);
    m_events.refuses = false;
    m_monitor->start();
    m_executor.advanceBy(1s);
    EXPECT_EQ(m_log.entries("usb: arm").size(), 2u);
    EXPECT_EQ(listings(), 1u);
}

TEST_F(USBMonitorTests, ADestroyedMonitorEndsItsReportsAndItsScheduledListings) {
    m_monitor->start();
    m_executor.advanceBy(1s);
    m_events.report();
    m_executor.runUntilIdle(); // the listing is scheduled
    m_events.report();         // and a report is on its way
    m_monitor.reset();
    EXPECT_FALSE(m_events.isArmed());
    m_executor.advanceBy(1s);
    EXPECT_EQ(listings(), 1u) << "only the listing at start";
}

// The registry's reports and the library's discovery on a simulated bus, on the main executor.
TEST(USBMonitorRegistryTests, APhonePluggedInIsPublishedHalfASecondAfterItsInterfaceAppears) {
    platform::VirtualClock clock;
    ManualExecutor executor{clock};
    auto bus = std::make_shared<simulation::SimulatedBus>();
    const auto port = iokit::MainPort::forBus(bus);
    RegistryUSBDiscovery discovery(port);
    RegistryInterfaceEvents events(port);
    USBMonitor monitor(executor, discovery, events);
    const auto deliver = [&] {
        ASSERT_TRUE(bus->waitUntilIdle());
        executor.runUntilIdle();
    };

    const auto pixel = [](std::vector<simulation::InterfaceSpec> interfaces) {
        simulation::DeviceSpec spec;
        spec.vendorID = 0x18D1;
        spec.productName = "Pixel 7";
        spec.serialNumber = "R58";
        spec.interfaces = std::move(interfaces);
        return spec;
    };
    const auto waiting = bus->plug(pixel({simulation::InterfaceSpec::adb()}));
    monitor.start();
    executor.advanceBy(USBMonitor::refreshDelay);
    ASSERT_EQ(monitor.candidates->size(), 1u);
    EXPECT_EQ(monitor.candidates->front().serialNumber, "R58");
    EXPECT_TRUE(monitor.devices->empty());

    // Switched to file transfer: it leaves as a candidate and comes back with an MTP interface.
    bus->unplug(waiting.deviceID);
    const auto plugged =
        bus->plug(pixel({simulation::InterfaceSpec::stillImage(0), simulation::InterfaceSpec::adb()}));
    deliver();
    executor.advanceBy(USBMonitor::refreshDelay - 1ms);
    EXPECT_TRUE(monitor.devices->empty());
    executor.advanceBy(1ms);
    ASSERT_EQ(monitor.devices->size(), 1u);
    EXPECT_EQ(monitor.devices->front().registryEntryID, plugged.interfaceIDs.front());
    EXPECT_TRUE(monitor.candidates->empty());

    bus->unplug(plugged.deviceID);
    deliver();
    executor.advanceBy(USBMonitor::refreshDelay);
    EXPECT_TRUE(monitor.devices->empty());
}

} // namespace
} // namespace tandalo::app
