#include "Corvane/usb/USBDeviceDiscovery.h"
#include "simulation/SimulatedBus.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

namespace corvane {
namespace {

using simulation::DeviceSpec;
using simulation::InterfaceSpec;

// Every field of device k is derived from k, so a descriptor that mixes two devices, or one device's
// fields with defaults, shows.
DeviceSpec device(int k) {
    DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = static_cast<std::uint16_t>(k);
    spec.vendorName = "Maker";
    spec.productName = "Phone " + std::to_string(k);
    spec.serialNumber = testsupport::concat("S", k);
    spec.locationID = 0x10000000u + static_cast<std::uint32_t>(k);
    // Even devices are in file-transfer mode, odd ones are charge-only with ADB.
    spec.interfaces = k % 2 == 0 ? std::vector<InterfaceSpec>{InterfaceSpec::vendorMTP(1)}
                                 : std::vector<InterfaceSpec>{InterfaceSpec::adb(0)};
    // Interfaces carry no vendor or product of their own here: those must come from the device.
    spec.interfaces[0].omittedProperties = {"idVendor", "idProduct", "locationID"};
    return spec;
}

int indexOf(const std::string& serial) {
    return std::stoi(serial.substr(1));
}

TEST(DiscoveryConcurrencyTests, ScansDuringPlugAndUnplugSeeOnlyWholeDevices) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    const auto port = iokit::MainPort::forBus(bus);
    std::atomic<bool> done{false};

    std::thread plugger([&] {
        std::deque<usb::RegistryEntryID> plugged;
        for (int k = 0; k < 300; ++k) {
            plugged.push_back(bus->plug(device(k)).deviceID);
            if (plugged.size() > 4) {
                bus->unplug(plugged.front());
                plugged.pop_front();
            }
        }
        done = true;
    });

    std::size_t descriptors = 0;
    std::size_t candidates = 0;
    const auto scan = [&] {
        for (const auto& found : USBDeviceDiscovery::findMTPInterfaces(port)) {
            ++descriptors;
            ASSERT_FALSE(found.serialNumber.empty()) << "a descriptor without its device's fields";
            const int k = indexOf(found.serialNumber);
            EXPECT_EQ(k % 2, 0);
            EXPECT_EQ(found.vendorID, 0x18D1);
            EXPECT_EQ(found.productID, k);
            EXPECT_EQ(found.vendorName, "Maker");
            EXPECT_EQ(found.productName, "Phone " + std::to_string(k));
            EXPECT_EQ(found.locationID, 0x10000000u + static_cast<std::uint32_t>(k));
            EXPECT_EQ(found.interfaceNumber, 1);
            EXPECT_EQ(found.interfaceName, "MTP");
            (void)USBDeviceDiscovery::holder(found, port);
        }
        for (const auto& found : USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(port)) {
            ++candidates;
            ASSERT_FALSE(found.serialNumber.empty());
            const int k = indexOf(found.serialNumber);
            EXPECT_EQ(k % 2, 1) << "devices with an MTP interface are never candidates";
            EXPECT_EQ(found.productID, k);
            EXPECT_EQ(found.productName, "Phone " + std::to_string(k));
            EXPECT_TRUE(found.hasADB);
        }
    };
    while (!done) {
        scan();
    }
    plugger.join();
    // The plugger may finish before the first scan starts; the devices it leaves plugged are found then.
    scan();
    EXPECT_GT(descriptors + candidates, 0u);
}

} // namespace
} // namespace corvane
