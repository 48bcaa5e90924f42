#include "SysfsFixture.h"

#include "platform/usbfs/SysfsTree.h"

#include <gtest/gtest.h>

namespace usbfs {
namespace {

std::int64_t number(const SysfsEntry& entry, const char* key) {
    return std::get<std::int64_t>(entry.properties.at(key));
}

std::string text(const SysfsEntry& entry, const char* key) {
    return std::get<std::string>(entry.properties.at(key));
}

TEST(SysfsTreeTests, ReadsDevicesAndInterfacesInTheRegistrysTerms) {
    testing::SysfsFixture tree;
    tree.addPhone("1-1.4", 1, 7);
    const auto entries = SysfsTree(tree.sysfs()).scan();
    ASSERT_EQ(entries.size(), 2u);

    const auto& device = entries[0];
    EXPECT_EQ(device.kind, SysfsEntry::Kind::device);
    EXPECT_EQ(device.busNumber, 1u);
    EXPECT_EQ(device.deviceNumber, 7u);
    EXPECT_EQ(number(device, "idVendor"), 0x18D1);
    EXPECT_EQ(number(device, "idProduct"), 0x4EE1);
    EXPECT_EQ(text(device, "USB Vendor Name"), "Maker");
    EXPECT_EQ(text(device, "USB Product Name"), "Phone 7");
    EXPECT_EQ(text(device, "USB Serial Number"), "SER1");
    EXPECT_EQ(number(device, "Device Speed"), 2);
    EXPECT_EQ(number(device, "USB Address"), 7);
    EXPECT_EQ(number(device, "locationID"), 0x01140000);

    const auto& interface = entries[1];
    EXPECT_EQ(interface.kind, SysfsEntry::Kind::interface);
    EXPECT_EQ(interface.deviceName, "1-1.4");
    EXPECT_EQ(number(interface, "bInterfaceNumber"), 0);
    EXPECT_EQ(number(interface, "bAlternateSetting"), 0) << "written as \" 0\"";
    EXPECT_EQ(number(interface, "bInterfaceClass"), 6);
    EXPECT_EQ(number(interface, "bConfigurationValue"), 1);
    EXPECT_EQ(text(interface, "USB Interface Name"), "MTP");
    EXPECT_EQ(number(interface, "idVendor"), 0x18D1) << "an interface carries its device's identity";
    EXPECT_EQ(number(interface, "locationID"), 0x01140000);
    ASSERT_EQ(interface.endpoints.size(), 3u);
    EXPECT_EQ(interface.endpoints[2], usb::EndpointDescriptor::interruptIn(3, 28, 6));
}

TEST(SysfsTreeTests, ListsDevicesInBusAndPortOrderWithoutRootHubsOrWhatCannotBeRead) {
    testing::SysfsFixture tree;
    tree.addPhone("2-1", 2, 2, "C");
    tree.addPhone("1-10", 1, 3, "B");
    tree.addPhone("1-2", 1, 4, "A");
    tree.write(tree.sysfs() / "usb1" / "busnum", "1\n"); // a root hub
    tree.write(tree.sysfs() / "1-0:1.0" / "bInterfaceNumber", "00\n");
    tree.write(tree.sysfs() / "1-3" / "idVendor", "1234\n"); // going away: no bus number any more
    std::vector<std::string> names;
    for (const auto& entry : SysfsTree(tree.sysfs()).scan()) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"1-2", "1-2:1.0", "1-10", "1-10:1.0", "2-1", "2-1:1.0"}));
}

TEST(SysfsTreeTests, AMissingAttributeIsAMissingPropertyAndAnUnconfiguredDeviceIsZero) {
    testing::SysfsFixture tree;
    tree.addPhone("1-1", 1, 2);
    std::filesystem::remove(tree.sysfs() / "1-1" / "serial");
    std::filesystem::remove(tree.sysfs() / "1-1:1.0" / "interface");
    tree.write(tree.sysfs() / "1-1" / "bConfigurationValue", "\n");
    const SysfsTree sysfs(tree.sysfs());
    const auto entries = sysfs.scan();
    EXPECT_FALSE(entries[0].properties.contains("USB Serial Number"));
    EXPECT_FALSE(entries[1].properties.contains("USB Interface Name"));
    EXPECT_EQ(sysfs.configuration("1-1"), 0);
    EXPECT_EQ(sysfs.configuration("9-9"), 0);
}

TEST(SysfsTreeTests, ALocationIsTheBusAndOneNibblePerPort) {
    struct Case {
        unsigned bus;
        const char* ports;
        std::uint32_t location;
    };
    for (const auto& each : {Case{1, "1", 0x01100000}, Case{1, "1.4", 0x01140000},
                             Case{3, "2.1.3.4.5.6.7", 0x03213456}, Case{20, "17", 0x14F00000}}) {
        EXPECT_EQ(locationID(each.bus, each.ports), each.location) << each.bus << "-" << each.ports;
    }
}

TEST(SysfsTreeTests, TheDriverOfAnInterfaceIsWhatItsLinkNames) {
    testing::SysfsFixture tree;
    tree.addPhone("1-1", 1, 2);
    const SysfsTree sysfs(tree.sysfs());
    EXPECT_EQ(sysfs.driver("1-1:1.0"), "");
    tree.bind("1-1:1.0", "usbfs");
    EXPECT_EQ(sysfs.driver("1-1:1.0"), "usbfs");
}

} // namespace
} // namespace usbfs
