#include "Corvane/usb/USBDeviceDiscovery.h"
#include "simulation/SimulatedBus.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace corvane {
namespace {

using simulation::DeviceSpec;
using simulation::InterfaceSpec;

DeviceSpec phone(std::vector<InterfaceSpec> interfaces = {InterfaceSpec::vendorMTP(0)}) {
    DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.vendorName = "Google";
    spec.productName = "Pixel 7";
    spec.serialNumber = "2A111FDH";
    spec.locationID = 0x14200000;
    spec.interfaces = std::move(interfaces);
    return spec;
}

InterfaceSpec named(InterfaceSpec spec, std::optional<std::string> name,
                    std::optional<std::string> usbString = {}) {
    spec.name = std::move(name);
    spec.usbString = std::move(usbString);
    return spec;
}

struct Bus {
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    iokit::MainPort port = iokit::MainPort::forBus(bus);

    std::vector<USBDeviceDescriptor> scan() const { return USBDeviceDiscovery::findMTPInterfaces(port); }
};

TEST(USBDeviceDiscoveryTests, DescribesAnMTPInterfaceFromItsEntryAndItsDevice) {
    Bus bus;
    const auto plugged = bus.bus->plug(phone({InterfaceSpec::adb(1), InterfaceSpec::vendorMTP(2)}));
    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 1u);
    const USBDeviceDescriptor expected{
        plugged.interfaceIDs[1], 0x18D1, 0x4EE1, "Google", "Pixel 7", "2A111FDH", 0x14200000, 2, "MTP"};
    EXPECT_EQ(found[0], expected);
    EXPECT_EQ(found[0].id(), plugged.interfaceIDs[1]);
}

TEST(USBDeviceDiscoveryTests, RecognisesMTPInterfacesByClassAndName) {
    struct Case {
        const char* name;
        InterfaceSpec interface;
        bool found;
        std::string interfaceName;
    };
    const std::vector<Case> cases{
        {"vendor-specific named MTP", named(InterfaceSpec::vendorMTP(), "MTP"), true, "MTP"},
        {"name in any case", named(InterfaceSpec::vendorMTP(), "mtp"), true, "mtp"},
        {"longer name", named(InterfaceSpec::vendorMTP(), "MTP Device"), false, ""},
        {"no name", named(InterfaceSpec::vendorMTP(), std::nullopt), false, ""},
        {"kUSBString first", named(InterfaceSpec::vendorMTP(), "Other", "MTP"), true, "MTP"},
        {"kUSBString wins over the name", named(InterfaceSpec::vendorMTP(), "MTP", "Other"), false, ""},
        {"still image whatever its name", named(InterfaceSpec::stillImage(), "Camera"), true, "Camera"},
        {"still image without a name", InterfaceSpec::stillImage(), true, ""},
        {"ADB", InterfaceSpec::adb(), false, ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        Bus bus;
        bus.bus->plug(phone({each.interface}));
        const auto found = bus.scan();
        ASSERT_EQ(found.size(), each.found ? 1u : 0u);
        if (each.found) {
            EXPECT_EQ(found[0].interfaceName, each.interfaceName);
        }
    }
}

TEST(USBDeviceDiscoveryTests, InterfacePropertiesOfTheWrongTypeCountAsMissing) {
    Bus bus;
    auto numbered = InterfaceSpec::vendorMTP();
    numbered.extraProperties = {{"kUSBString", std::int64_t{7}}};
    auto stringClass = InterfaceSpec::stillImage();
    stringClass.extraProperties = {{"bInterfaceProtocol", std::string("1")}};
    auto noProtocol = InterfaceSpec::stillImage();
    noProtocol.omittedProperties = {"bInterfaceProtocol"};
    const auto plugged = bus.bus->plug(phone({numbered, stringClass, noProtocol}));
    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].registryEntryID, plugged.interfaceIDs[0])
        << "a number kUSBString falls back to the name";
}

TEST(USBDeviceDiscoveryTests, NeverListsApplesDevices) {
    auto appleDevice = phone();
    appleDevice.vendorID = 0x05AC;
    auto appleOnlyOnDevice = phone();
    appleOnlyOnDevice.vendorID = 0x05AC;
    appleOnlyOnDevice.interfaces[0].omittedProperties = {"idVendor"};
    auto appleOnlyOnInterface = phone();
    appleOnlyOnInterface.interfaces[0].extraProperties = {{"idVendor", std::int64_t{0x05AC}}};
    for (const auto& spec : {appleDevice, appleOnlyOnDevice, appleOnlyOnInterface}) {
        Bus bus;
        bus.bus->plug(spec);
        EXPECT_TRUE(bus.scan().empty());
    }
}

TEST(USBDeviceDiscoveryTests, TakesEachFieldFromTheInterfaceFirstThenItsDevice) {
    Bus bus;
    auto spec = phone();
    spec.interfaces[0].extraProperties = {{"USB Serial Number", std::string("IFACE")},
                                          {"idVendor", std::string("not a number")}};
    spec.interfaces[0].omittedProperties = {"idProduct"};
    bus.bus->plug(spec);

    auto noSerial = phone();
    noSerial.locationID = 0x14300000;
    noSerial.serialNumber.reset();
    noSerial.productName.reset();
    noSerial.omittedProperties = {"idProduct"};
    noSerial.interfaces[0].omittedProperties = {"idProduct", "locationID", "bInterfaceNumber"};
    bus.bus->plug(noSerial);

    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].serialNumber, "IFACE");
    EXPECT_EQ(found[0].vendorID, 0x18D1)
        << "a vendor of the wrong type on the interface comes from the device";
    EXPECT_EQ(found[0].productID, 0x4EE1);
    EXPECT_EQ(found[1].serialNumber, "");
    EXPECT_EQ(found[1].productName, "");
    EXPECT_EQ(found[1].productID, 0);
    EXPECT_EQ(found[1].locationID, 0x14300000u);
    EXPECT_EQ(found[1].interfaceNumber, 0);
}

TEST(USBDeviceDiscoveryTests, ListsInterfacesInRegistryOrder) {
    Bus bus;
    auto second = phone({InterfaceSpec::stillImage(0), InterfaceSpec::vendorMTP(1)});
    second.serialNumber = "SECOND";
    const auto a = bus.bus->plug(phone());
    const auto b = bus.bus->plug(second);
    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].registryEntryID, a.interfaceIDs[0]);
    EXPECT_EQ(found[1].registryEntryID, b.interfaceIDs[0]);
    EXPECT_EQ(found[2].registryEntryID, b.interfaceIDs[1]);
}

TEST(USBDeviceDiscoveryTests, UnqueryableRegistryGivesEmptyLists) {
    Bus bus;
    bus.bus->plug(phone());
    auto candidate = phone({InterfaceSpec::adb()});
    candidate.locationID = 0x14900000;
    bus.bus->plug(candidate);
    bus.bus->setRegistryAvailable(false);
    EXPECT_TRUE(bus.scan().empty());
    EXPECT_TRUE(USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(bus.port).empty());
    // Without any bus at all, too.
    EXPECT_TRUE(USBDeviceDiscovery::findMTPInterfaces().empty());
    EXPECT_TRUE(USBDeviceDiscovery::findAndroidCandidatesWithoutMTP().empty());
}

TEST(USBDeviceDiscoveryTests, UsesTheProcessDefaultBus) {
    Bus bus;
    bus.bus->plug(phone());
    usb::ScopedDefaultBus scoped(bus.bus);
    EXPECT_EQ(USBDeviceDiscovery::findMTPInterfaces().size(), 1u);
}

// --- Holder ------------------------------------------------------------------------------------------

TEST(USBDeviceDiscoveryTests, HolderParsesTheExclusiveOwnerText) {
    using Holder = USBDeviceDiscovery::Holder;
    struct Case {
        const char* text;
        std::optional<Holder> expected;
    };
    const std::vector<Case> cases{
        {"pid 123, ptpcamerad", Holder{123, "ptpcamerad"}},
        {"pid 123,ptpcamerad", Holder{123, "ptpcamerad"}},
        {"pid 1, a, b", Holder{1, "a, b"}},
        {"\tpid 77 ,\tPTPCamera\t", Holder{77, "PTPCamera"}},
        {"pid 2147483647, max", Holder{2147483647, "max"}},
        {"pid x, foo", std::nullopt},
        {"123, foo", std::nullopt},
        {"pid 123", std::nullopt},
        {"pid 123,", std::nullopt},
        {"pid 123, ", std::nullopt},
        {", foo", std::nullopt},
        {"pid , foo", std::nullopt},
        {"pid  123, foo", std::nullopt}, // the number is not trimmed again
        {"pid 12a, foo", std::nullopt},
        {"pid 2147483648, big", std::nullopt},
        {"PID 1, foo", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.text);
        const auto parsed = USBDeviceDiscovery::parseExclusiveOwner(each.text);
        EXPECT_EQ(parsed, each.expected);
    }
}

TEST(USBDeviceDiscoveryTests, HolderReadsTheInterfacesOwnerFromTheRegistry) {
    Bus bus;
    const auto plugged = bus.bus->plug(phone());
    const auto descriptor = bus.scan().at(0);
    EXPECT_EQ(USBDeviceDiscovery::holder(descriptor, bus.port), std::nullopt);

    bus.bus->holdExclusively(plugged.interfaceIDs[0], {312, "ptpcamerad"});
    const auto holder = USBDeviceDiscovery::holder(descriptor, bus.port);
    ASSERT_TRUE(holder);
    EXPECT_EQ(*holder, (USBDeviceDiscovery::Holder{312, "ptpcamerad"}));
    EXPECT_TRUE(USBDeviceDiscovery::isCameraService(holder->name));

    bus.bus->releaseHold(plugged.interfaceIDs[0]);
    bus.bus->setProperty(plugged.interfaceIDs[0], "UsbExclusiveOwner", std::int64_t{312});
    EXPECT_EQ(USBDeviceDiscovery::holder(descriptor, bus.port), std::nullopt) << "not a string";

    bus.bus->unplug(plugged.deviceID);
    EXPECT_EQ(USBDeviceDiscovery::holder(descriptor, bus.port), std::nullopt);
}

TEST(USBDeviceDiscoveryTests, CameraServiceIsExactlyItsNames) {
    for (const auto* name : {"ptpcamerad", "PTPCamera", "gvfsd-mtp", "gvfsd-gphoto2"}) {
        EXPECT_TRUE(USBDeviceDiscovery::isCameraService(name)) << name;
    }
    for (const auto* other :
         {"PTPCAMERAD", "ptpcamera", "ptpcamerad ", "Image Capture", "", "gvfsd", "gvfsd-mtp2"}) {
        EXPECT_FALSE(USBDeviceDiscovery::isCameraService(other)) << other;
    }
}

// --- Descriptor values -------------------------------------------------------------------------------

TEST(USBDeviceDescriptorTests, DescriptionNamesTheDeviceForLogs) {
    const USBDeviceDescriptor descriptor{1, 0x18D1, 0x4EE1, "Maker", "Phone 7", "ABC", 0, 0, "MTP"};
    EXPECT_EQ(descriptor.description(), "Phone 7 (Maker) 18D1:4EE1 serial=ABC if=0");
    EXPECT_EQ(descriptor.displayName(), "Phone 7");
    const USBDeviceDescriptor noisy{2, 0x04E8, 0x6860, "SAMSUNG", "SAMSUNG_Android", "R58N", 0, 12, ""};
    EXPECT_EQ(noisy.description(), "SAMSUNG Android (SAMSUNG) 04E8:6860 serial=R58N if=12");
}

TEST(USBDeviceDescriptorTests, EqualityAndHashCoverEveryField) {
    const USBDeviceDescriptor base{1, 2, 3, "v", "p", "s", 4, 5, "i"};
    std::vector<USBDeviceDescriptor> variants(9, base);
    variants[0].registryEntryID = 9;
    variants[1].vendorID = 9;
    variants[2].productID = 9;
    variants[3].vendorName = "x";
    variants[4].productName = "x";
    variants[5].serialNumber = "x";
    variants[6].locationID = 9;
    variants[7].interfaceNumber = 9;
    variants[8].interfaceName = "x";
    std::unordered_set<USBDeviceDescriptor> set{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        set.insert(variant);
    }
    EXPECT_EQ(set.size(), 10u);
    EXPECT_TRUE(set.contains(USBDeviceDescriptor(base)));
}

} // namespace
} // namespace corvane
