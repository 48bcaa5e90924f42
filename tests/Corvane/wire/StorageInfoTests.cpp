#include "Corvane/wire/StorageInfo.h"

#include "Corvane/wire/PTPError.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::expectPTPError;
using corvane::testing::sampleStorageInfo;

TEST(StorageInfoTests, ParsesEveryFieldAfterTheID) {
    const auto info = StorageInfo::parse(0x00010001, sampleStorageInfo("Internal shared storage", "Phone"));
    EXPECT_EQ(info.id, 0x00010001u);
    EXPECT_EQ(info.storageType, 3);
    EXPECT_EQ(info.filesystemType, 2);
    EXPECT_EQ(info.accessCapability, 0);
    EXPECT_EQ(info.maxCapacity, 128'000'000'000ull);
    EXPECT_EQ(info.freeSpaceBytes, 5'000'000'000ull);
    EXPECT_EQ(info.freeSpaceObjects, 0xFFFFFFFFu);
    EXPECT_EQ(info.description, "Internal shared storage");
    EXPECT_EQ(info.volumeLabel, "Phone");
}

TEST(StorageInfoTests, EmptyTextsMakeA28ByteDataset) {
    const auto data = sampleStorageInfo("", "");
    ASSERT_EQ(data.size(), 28u);
    const auto info = StorageInfo::parse(1, data);
    EXPECT_EQ(info.description, "");
    EXPECT_EQ(info.volumeLabel, "");
    const std::vector<std::byte> cut(data.begin(), data.end() - 1);
    const auto error = expectPTPError(PTPError::Kind::truncatedData, [&] { StorageInfo::parse(1, cut); });
    EXPECT_EQ(error.expected(), 1u);
    EXPECT_EQ(error.got(), 0u);
}

TEST(StorageInfoTests, AnyAccessCapabilityButZeroIsReadOnly) {
    for (const auto& [capability, readOnly] :
         std::vector<std::pair<std::uint16_t, bool>>{{0, false}, {1, true}, {2, true}, {0xFFFF, true}}) {
        StorageInfo info;
        info.accessCapability = capability;
        EXPECT_EQ(info.isReadOnly(), readOnly) << capability;
    }
}
