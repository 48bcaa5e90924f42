#include "Corvane/wire/ObjectInfo.h"

#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPWriter.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::bytes;
using corvane::testing::expectPTPError;

namespace {

ObjectInfo photo() {
    ObjectInfo info(0x00010001, 0x2A, "IMG_0001.JPG", PTPObjectFormat::jpeg, 3'145'728, 0);
    info.thumbFormat = 0x3808;
    info.thumbCompressedSize = 4096;
    info.thumbPixWidth = 160;
    info.thumbPixHeight = 120;
    info.imagePixWidth = 4032;
    info.imagePixHeight = 3024;
    info.imageBitDepth = 24;
    info.associationDescription = 0;
    info.sequenceNumber = 3;
    info.captureDate = "20240131T120000";
    info.modificationDate = "20240131T235959Z";
    info.keywords = "holiday";
    return info;
}

} // namespace

TEST(ObjectInfoTests, RoundTripsEveryField) {
    const ObjectInfo original = photo();
    EXPECT_EQ(ObjectInfo::parse(original.encoded()), original);
}

TEST(ObjectInfoTests, EncodesANewFolderExactly) {
    const ObjectInfo folder(0x00010001, 0xFFFFFFFF, "DCIM", PTPObjectFormat::association, 0, 0);
    EXPECT_TRUE(folder.isDirectory());
    EXPECT_EQ(folder.associationType, 1);
    PTPWriter expected;
    expected.u32(0x00010001);
    expected.u16(0x3001);
    expected.u16(0);
    expected.u32(0);
    expected.u16(0);
    for (int i = 0; i < 6; ++i) {
        expected.u32(0);
    }
    expected.u32(0xFFFFFFFF);
    expected.u16(1);
    expected.u32(0);
    expected.u32(0);
    expected.bytes(bytes({0x05, 'D', 0, 'C', 0, 'I', 0, 'M', 0, 0, 0, 0, 0, 0}));
    const auto encoded = folder.encoded();
    EXPECT_EQ(encoded.size(), 66u);
    EXPECT_EQ(encoded, expected.data());
}

TEST(ObjectInfoTests, NewFileHasNoAssociationAndNoDates) {
    const ObjectInfo file(1, 5, "a.txt", PTPObjectFormat::undefined, 0xFFFFFFFF, 0);
    EXPECT_FALSE(file.isDirectory());
    EXPECT_EQ(file.associationType, 0);
    EXPECT_EQ(file.compressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(file.modificationDate, "");
    EXPECT_EQ(file.captureDate, "");
    EXPECT_EQ(file.keywords, "");
}

TEST(ObjectInfoTests, RejectsDatasetsMissingTheTrailingStrings) {
    ObjectInfo info = photo();
    info.captureDate.clear();
    info.modificationDate.clear();
    info.keywords.clear();
    const auto full = info.encoded();
    const std::vector<std::byte> afterFilename(full.begin(), full.end() - 3);
    const auto error =
        expectPTPError(PTPError::Kind::truncatedData, [&] { ObjectInfo::parse(afterFilename); });
    EXPECT_EQ(error.expected(), 1u);
    EXPECT_EQ(error.got(), 0u);
    const std::vector<std::byte> numbersOnly(full.begin(), full.begin() + 51);
    expectPTPError(PTPError::Kind::truncatedData, [&] { ObjectInfo::parse(numbersOnly); });
}

TEST(ObjectInfoTests, LongNamesAreCutOnTheWireWithoutSplittingCharacters) {
    const std::string name = std::string(253, 'n') + "\U0001F600.jpg";
    const ObjectInfo info(1, 2, name, PTPObjectFormat::jpeg, 10, 0);
    EXPECT_EQ(ObjectInfo::parse(info.encoded()).filename, std::string(253, 'n'));
}
