#include "FunctionFSTestBlobs.h"

#include "simulation/peer/FunctionFSDescriptors.h"
#include "simulation/peer/RealPeerError.h"

#include <gtest/gtest.h>

namespace peertest {
namespace {

using simulation::FunctionFSDescriptors;
using simulation::FunctionFSStrings;
using simulation::RealPeerError;

TEST(FunctionFSDescriptorsTests, TakesTheHighSpeedEndpointsInFileOrder) {
    const auto parsed = FunctionFSDescriptors::parse(responderDescriptors());
    EXPECT_EQ(parsed.interfaceClass, 6);
    EXPECT_EQ(parsed.interfaceSubClass, 1);
    EXPECT_EQ(parsed.interfaceProtocol, 1);
    ASSERT_EQ(parsed.endpoints.size(), 3u);
    EXPECT_EQ(parsed.endpoints[0], usb::EndpointDescriptor::bulkIn(1, 512));
    EXPECT_EQ(parsed.endpoints[1], usb::EndpointDescriptor::bulkOut(2, 512));
    EXPECT_EQ(parsed.endpoints[2].address, 0x83);
    EXPECT_EQ(parsed.endpoints[2].transferType(), usb::TransferType::interrupt);
}

TEST(FunctionFSDescriptorsTests, ReadsTheLegacyLayoutAndFullSpeedOnlyBlobs) {
    Blob legacy;
    legacy.u32(1).u32(0).u32(2).u32(0).interface(0, 1).endpoint(0x81, 2, 64);
    const auto parsed = FunctionFSDescriptors::parse(legacy.sealed());
    ASSERT_EQ(parsed.endpoints.size(), 1u);
    EXPECT_EQ(parsed.endpoints[0].packetSize(), 64u);
}

TEST(FunctionFSDescriptorsTests, RefusesMalformedBlobs) {
    const auto withLength = [](std::vector<std::byte> bytes, std::uint32_t length) {
        for (int index = 0; index < 4; ++index) {
            bytes[4 + index] = std::byte{static_cast<std::uint8_t>(length >> (8 * index))};
        }
        return bytes;
    };
    auto truncated = responderDescriptors();
    truncated.resize(truncated.size() - 3);
    const struct {
        const char* name;
        std::vector<std::byte> blob;
    } cases[] = {
        {"too short for a header", Blob().u32(3).sealed()},
        {"length field disagrees", withLength(responderDescriptors(), 12)},
        {"unknown magic", Blob().u32(9).u32(0).u32(0).sealed()},
        {"descriptors cut short", withLength(truncated, static_cast<std::uint32_t>(truncated.size()))},
        {"count runs past the end", Blob().u32(3).u32(0).u32(1).u32(50).interface(0, 0).sealed()},
        {"no interface", Blob().u32(3).u32(0).u32(1).u32(1).endpoint(0x81, 2, 64).sealed()},
        {"descriptor shorter than its head", Blob().u32(3).u32(0).u32(1).u32(1).u8(1).u8(4).sealed()},
    };
    for (const auto& each : cases) {
        EXPECT_THROW(FunctionFSDescriptors::parse(each.blob), RealPeerError) << each.name;
    }
}

TEST(FunctionFSDescriptorsTests, ReadsStringsAndRefusesBrokenOnes) {
    EXPECT_EQ(FunctionFSStrings::parse(responderStrings()).interfaceName(), "MTP");
    EXPECT_EQ(FunctionFSStrings::parse(Blob().u32(2).u32(0).u32(0).u32(0).sealed()).interfaceName(), "");
    // A string without its NUL, and the descriptors' magic in place of the strings'.
    auto unterminated = Blob().u32(2).u32(0).u32(1).u32(1).u16(0x0409).u8('M').sealed();
    EXPECT_THROW(FunctionFSStrings::parse(unterminated), RealPeerError);
    EXPECT_THROW(FunctionFSStrings::parse(responderDescriptors()), RealPeerError);
}

} // namespace
} // namespace peertest
