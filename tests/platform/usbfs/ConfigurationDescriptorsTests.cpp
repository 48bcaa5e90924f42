#include "SysfsFixture.h"

#include "platform/usbfs/ConfigurationDescriptors.h"

#include <gtest/gtest.h>

namespace usbfs {
namespace {

using testing::descriptorBlob;

const std::vector<usb::EndpointDescriptor> imaging{usb::EndpointDescriptor::bulkIn(1, 512),
                                                   usb::EndpointDescriptor::bulkOut(2, 512),
                                                   usb::EndpointDescriptor::interruptIn(3, 28, 6)};
const std::vector<usb::EndpointDescriptor> debugging{usb::EndpointDescriptor::bulkIn(4, 512),
                                                     usb::EndpointDescriptor::bulkOut(5, 512)};

TEST(ConfigurationDescriptorsTests, FindsTheEndpointsOfOneInterfaceSettingInDeclaredOrder) {
    const auto blob = descriptorBlob(1, {{0, 0, imaging}, {1, 0, debugging}, {1, 1, {imaging[0]}}});
    struct Case {
        std::uint8_t configuration, interface, alternate;
        std::vector<usb::EndpointDescriptor> expected;
    };
    const Case cases[] = {
        {1, 0, 0, imaging},      {1, 1, 0, debugging},
        {1, 1, 1, {imaging[0]}}, {2, 0, 0, {}}, // no such configuration
        {1, 2, 0, {}},                          // no such interface
    };
    for (const auto& each : cases) {
        EXPECT_EQ(interfaceEndpoints(blob, each.configuration, each.interface, each.alternate), each.expected)
            << "configuration " << int(each.configuration) << " interface " << int(each.interface) << "."
            << int(each.alternate);
    }
}

TEST(ConfigurationDescriptorsTests, AMalformedBlobFromTheDeviceIsReadNoFurtherThanItIsSound) {
    const auto sound = descriptorBlob(1, {{0, 0, imaging}});
    const auto firstEndpoint = 18 + 9 + 9;
    struct Case {
        const char* what;
        std::function<void(std::vector<std::byte>&)> damage;
        std::size_t endpoints;
    };
    const Case cases[] = {
        {"cut inside the last endpoint", [](auto& blob) { blob.resize(blob.size() - 3); }, 2},
        {"a descriptor longer than what is left",
         [&](auto& blob) { blob[firstEndpoint + 7] = std::byte{200}; }, 1},
        {"a zero-length descriptor", [&](auto& blob) { blob[firstEndpoint] = std::byte{0}; }, 0},
        {"no device descriptor first", [](auto& blob) { blob[1] = std::byte{2}; }, 0},
        {"a configuration shorter than its header", [](auto& blob) { blob[18 + 2] = std::byte{3}; }, 0},
        {"only the device descriptor", [](auto& blob) { blob.resize(18); }, 0},
        {"nothing at all", [](auto& blob) { blob.clear(); }, 0},
    };
    for (const auto& each : cases) {
        auto blob = sound;
        each.damage(blob);
        EXPECT_EQ(interfaceEndpoints(blob, 1, 0, 0).size(), each.endpoints) << each.what;
    }
}

} // namespace
} // namespace usbfs
