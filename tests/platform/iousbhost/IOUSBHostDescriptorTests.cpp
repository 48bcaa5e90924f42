#include "platform/iousbhost/IOUSBHostDescriptors.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace iousbhost {
namespace {

std::vector<std::byte> raw(std::initializer_list<int> values) {
    std::vector<std::byte> bytes;
    for (const int value : values) {
        bytes.push_back(static_cast<std::byte>(value));
    }
    return bytes;
}

IOUSBConfigurationDescriptor twoInterfaces() {
    InterfaceDescriptorSource mtp;
    mtp.fields.bInterfaceNumber = 0;
    mtp.fields.bInterfaceClass = 6;
    mtp.fields.bInterfaceSubClass = 1;
    mtp.fields.bInterfaceProtocol = 1;
    mtp.endpoints = {usb::EndpointDescriptor::bulkIn(1, 0x1200), usb::EndpointDescriptor::bulkOut(2, 512),
                     usb::EndpointDescriptor::interruptIn(3, 64, 6)};
    InterfaceDescriptorSource adb;
    adb.fields.bInterfaceNumber = 1;
    adb.fields.bInterfaceClass = 255;
    adb.endpoints = {usb::EndpointDescriptor::bulkIn(4, 512), usb::EndpointDescriptor::bulkOut(5, 512)};
    const std::vector<InterfaceDescriptorSource> sources{mtp, adb};
    return makeConfigurationDescriptor(1, sources);
}

std::vector<std::uint8_t> endpointAddresses(const IOUSBConfigurationDescriptor& configuration,
                                            const IOUSBInterfaceDescriptor& interface) {
    std::vector<std::uint8_t> addresses;
    std::optional<IOUSBEndpointDescriptor> endpoint;
    while (const auto next =
               IOUSBGetNextEndpointDescriptor(configuration, interface, endpoint ? &*endpoint : nullptr)) {
        endpoint = next;
        addresses.push_back(endpoint->bEndpointAddress);
    }
    return addresses;
}

TEST(IOUSBHostDescriptorTests, WalksEachInterfaceAndOnlyItsOwnEndpoints) {
    const auto configuration = twoInterfaces();
    EXPECT_EQ(configuration.wTotalLength(), 9 + 9 + 3 * 7 + 9 + 2 * 7);
    EXPECT_EQ(configuration.bConfigurationValue(), 1);

    const auto first = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bInterfaceNumber, 0);
    EXPECT_EQ(first->bNumEndpoints, 3);
    EXPECT_EQ(first->bInterfaceClass, 6);
    EXPECT_EQ(endpointAddresses(configuration, *first), (std::vector<std::uint8_t>{0x81, 0x02, 0x83}));

    const auto second = IOUSBGetNextInterfaceDescriptor(configuration, &*first);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->bInterfaceNumber, 1);
    EXPECT_EQ(endpointAddresses(configuration, *second), (std::vector<std::uint8_t>{0x84, 0x05}));
    EXPECT_FALSE(IOUSBGetNextInterfaceDescriptor(configuration, &*second));
}

TEST(IOUSBHostDescriptorTests, DecodesEndpointFieldsLittleEndian) {
    const auto configuration = twoInterfaces();
    const auto interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
    ASSERT_TRUE(interface);
    const auto bulkIn = IOUSBGetNextEndpointDescriptor(configuration, *interface, nullptr);
    ASSERT_TRUE(bulkIn);
    EXPECT_EQ(bulkIn->bLength, 7);
    EXPECT_EQ(bulkIn->bDescriptorType, kIOUSBDescriptorTypeEndpoint);
    EXPECT_EQ(bulkIn->bmAttributes, 0x02);
    EXPECT_EQ(bulkIn->wMaxPacketSize, 0x1200);
    const auto bulkOut = IOUSBGetNextEndpointDescriptor(configuration, *interface, &*bulkIn);
    const auto interrupt = IOUSBGetNextEndpointDescriptor(configuration, *interface, &*bulkOut);
    ASSERT_TRUE(interrupt);
    EXPECT_EQ(interrupt->bInterval, 6);
}

TEST(IOUSBHostDescriptorTests, StepsOverClassSpecificDescriptors) {
    IOUSBConfigurationDescriptor configuration{raw({
        9, 2,    35,   0, 1,    1,    0, 0x80, 250, // configuration, wTotalLength 35
        9, 4,    0,    0, 2,    6,    1, 1,    0,   // interface 0
        5, 0x24, 1,    2, 3,                        // class-specific
        7, 5,    0x81, 2, 0x00, 0x02, 0,            // bulk IN
        5, 0x25, 1,    2, 3,                        // class-specific endpoint companion
    })};
    const auto interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
    ASSERT_TRUE(interface);
    EXPECT_EQ(endpointAddresses(configuration, *interface), std::vector<std::uint8_t>{0x81});
}

TEST(IOUSBHostDescriptorTests, StopsAtMalformedDescriptorsWithoutReadingPastTheEnd) {
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::vector<std::uint8_t> endpoints; // found before the walk stops
    };
    const std::vector<Case> cases{
        {"zero length",
         raw({9, 2, 32, 0, 1,    1, 0, 0x80, 250, 9, 4, 0, 0, 2, 6, 1,
              1, 0, 0,  5, 0x81, 2, 0, 2,    0,   7, 5, 2, 2, 0, 2, 0}),
         {}},
        {"length one", raw({9, 2, 20, 0, 1, 1, 0, 0x80, 250, 9, 4, 0, 0, 2, 6, 1, 1, 0, 1, 5}), {}},
        {"endpoint shorter than seven bytes",
         raw({9, 2, 31, 0, 1,    1, 0, 0x80, 250, 9, 4, 0, 0, 2, 6, 1,
              1, 0, 6,  5, 0x81, 2, 0, 2,    7,   5, 2, 2, 0, 2, 0}),
         {}},
        {"last endpoint cut short",
         raw({9, 2, 30, 0, 1, 1,    0, 0x80, 250, 9, 4, 0, 0, 2, 6,
              1, 1, 0,  7, 5, 0x81, 2, 0,    2,   0, 7, 5, 2, 2}),
         {0x81}},
        {"total length shorter than the bytes",
         raw({9, 2, 25, 0, 1,    1, 0, 0x80, 250, 9, 4, 0, 0, 2, 6, 1,
              1, 0, 7,  5, 0x81, 2, 0, 2,    0,   7, 5, 2, 2, 0, 2, 0}),
         {0x81}},
        {"total length longer than the bytes",
         raw({9, 2, 255, 0, 1, 1, 0, 0x80, 250, 9, 4, 0, 0, 2, 6, 1, 1, 0, 7, 5, 0x81, 2, 0, 2, 0}),
         {0x81}},
        {"interface length running past the end", raw({9, 2, 12, 0, 1, 1, 0, 0x80, 250, 200, 4, 0}), {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const IOUSBConfigurationDescriptor configuration{each.bytes};
        const auto interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
        if (!interface) {
            EXPECT_TRUE(each.endpoints.empty());
            continue;
        }
        EXPECT_EQ(endpointAddresses(configuration, *interface), each.endpoints);
    }
}

TEST(IOUSBHostDescriptorTests, EmptyOrHeaderOnlyConfigurationsHaveNoInterfaces) {
    for (const auto& bytes : {raw({}), raw({9}), raw({9, 2, 9, 0, 0, 1, 0, 0x80, 250}), raw({0, 2, 9, 0})}) {
        const IOUSBConfigurationDescriptor configuration{bytes};
        EXPECT_FALSE(IOUSBGetNextInterfaceDescriptor(configuration, nullptr));
    }
}

} // namespace
} // namespace iousbhost
