#include "Corvane/wire/DeviceInfo.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::expectPTPError;
using corvane::testing::sampleDeviceInfo;

TEST(DeviceInfoTests, ParsesEveryFieldInWireOrder) {
    const auto info = DeviceInfo::parse(sampleDeviceInfo());
    EXPECT_EQ(info.standardVersion, 100);
    EXPECT_EQ(info.vendorExtensionID, 6u);
    EXPECT_EQ(info.vendorExtensionVersion, 100);
    EXPECT_EQ(info.vendorExtensionDescription, "microsoft.com: 1.0; android.com: 1.0;");
    EXPECT_EQ(info.functionalMode, 0);
    EXPECT_EQ(info.operationsSupported, (std::set<std::uint16_t>{0x1001, 0x1002, 0x9805, 0x95C1}));
    EXPECT_EQ(info.eventsSupported, (std::set<std::uint16_t>{0x4002, 0x4003, 0x4004}));
    EXPECT_EQ(info.devicePropertiesSupported, (std::set<std::uint16_t>{0x5001, 0xD401}));
    EXPECT_TRUE(info.captureFormats.empty());
    EXPECT_EQ(info.playbackFormats, (std::vector<std::uint16_t>{0x3000, 0x3001, 0x3801}));
    EXPECT_EQ(info.manufacturer, "Google");
    EXPECT_EQ(info.model, "Pixel 8");
    EXPECT_EQ(info.deviceVersion, "1.0");
    EXPECT_EQ(info.serialNumber, "8A1B2C3D");
    EXPECT_TRUE(info.supports(PTPOperation::getObjectPropList));
    EXPECT_FALSE(info.supports(PTPOperation::getObjectPropValue));
}

TEST(DeviceInfoTests, RandomAccessNeedsAllFourEditOperations) {
    struct Case {
        std::vector<std::uint16_t> operations;
        bool randomAccess;
    };
    const std::vector<Case> cases = {
        {{0x1001, 0x95C1, 0x95C2, 0x95C4, 0x95C5}, true},  {{0x1001, 0x95C1, 0x95C2, 0x95C5}, false},
        {{0x1001, 0x95C1, 0x95C2, 0x95C3, 0x95C5}, false}, {{0x95C3}, false},
        {{0x95C5, 0x95C4, 0x95C2, 0x95C1}, true},          {{}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeviceInfo::parse(sampleDeviceInfo(c.operations)).supportsRandomAccess(), c.randomAccess);
    }
}

TEST(DeviceInfoTests, DuplicateAndUnnamedCodesAreKeptAsOneRawEntry) {
    const auto info = DeviceInfo::parse(sampleDeviceInfo({0x1001, 0x1001, 0x9999}));
    EXPECT_EQ(info.operationsSupported, (std::set<std::uint16_t>{0x1001, 0x9999}));
}

TEST(DeviceInfoTests, RejectsDatasetsThatEndEarly) {
    const auto full = sampleDeviceInfo();
    // Cut inside the model string, and right before the serial number.
    const std::size_t serialStart = full.size() - (1 + 2 * 9);
    for (const std::size_t length : {std::size_t{0}, std::size_t{5}, serialStart - 10, serialStart}) {
        const std::vector<std::byte> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        expectPTPError(PTPError::Kind::truncatedData, [&] { DeviceInfo::parse(cut); });
    }
}

TEST(DeviceInfoTests, IgnoresBytesAfterTheSerialNumber) {
    auto data = sampleDeviceInfo();
    data.push_back(std::byte{0x77});
    EXPECT_EQ(DeviceInfo::parse(data).serialNumber, "8A1B2C3D");
}
