#include "Corvane/wire/MTPObject.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPConstants.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace corvane;

namespace {

ObjectInfo dataset(std::uint16_t format, std::uint32_t compressedSize, std::uint16_t protection,
                   std::string modified) {
    ObjectInfo info(0x00010001, 0x10, "name", format, compressedSize, protection);
    info.modificationDate = std::move(modified);
    return info;
}

} // namespace

TEST(MTPObjectTests, BuildsTheRecordFromADataset) {
    const MTPObject object(7, dataset(PTPObjectFormat::jpeg, 1234, 0, "20240131T235959Z"));
    EXPECT_EQ(object.handle(), 7u);
    EXPECT_EQ(object.id(), 7u);
    EXPECT_EQ(object.storageID(), 0x00010001u);
    EXPECT_EQ(object.parent(), 0x10u);
    EXPECT_EQ(object.name(), "name");
    EXPECT_EQ(object.size(), 1234u);
    EXPECT_EQ(object.format(), PTPObjectFormat::jpeg);
    EXPECT_FALSE(object.isDirectory());
    EXPECT_EQ(object.modified(), MTPDate::parse("20240131T235959Z"));
    EXPECT_FALSE(object.isReadOnly());
}

TEST(MTPObjectTests, DirectoryAndProtectionFollowTheDataset) {
    EXPECT_TRUE(MTPObject(1, dataset(PTPObjectFormat::association, 0, 0, "")).isDirectory());
    EXPECT_FALSE(MTPObject(1, dataset(PTPObjectFormat::undefined, 0, 0, "")).isDirectory());
    EXPECT_TRUE(MTPObject(1, dataset(PTPObjectFormat::text, 0, 1, "")).isReadOnly());
    EXPECT_FALSE(MTPObject(1, dataset(PTPObjectFormat::text, 0, 0, "")).isReadOnly());
    const MTPObject direct(2, 3, 4, "x", 5, PTPObjectFormat::association, std::nullopt, true);
    EXPECT_TRUE(direct.isDirectory());
    EXPECT_TRUE(direct.isReadOnly());
}

TEST(MTPObjectTests, SixtyFourBitSizeWinsOverTheThirtyTwoBitField) {
    const auto big = dataset(PTPObjectFormat::undefined, 0xFFFFFFFF, 0, "");
    EXPECT_EQ(MTPObject(1, big).size(), 4'294'967'295ull);
    EXPECT_EQ(MTPObject(1, big, 5'000'000'000ull).size(), 5'000'000'000ull);
    EXPECT_EQ(MTPObject(1, dataset(PTPObjectFormat::undefined, 10, 0, ""), 5'000'000'000ull).size(),
              5'000'000'000ull);
}

TEST(MTPObjectTests, UnreadableDatesLeaveModifiedAbsent) {
    for (const char* text : {"", "20240131T2359", "garbage dates!!", "20241331T000000Z"}) {
        EXPECT_FALSE(MTPObject(1, dataset(PTPObjectFormat::text, 0, 0, text)).modified().has_value()) << text;
    }
}

TEST(MTPObjectTests, RecordsAreTheSameObjectExactlyWhenHandlesMatch) {
    const MTPObject a(7, 1, 2, "a", 1, PTPObjectFormat::text, std::nullopt, false);
    const MTPObject b(7, 9, 9, "b", 2, PTPObjectFormat::association, std::nullopt, true);
    const MTPObject c(8, 1, 2, "a", 1, PTPObjectFormat::text, std::nullopt, false);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<MTPObject>{}(a), std::hash<MTPObject>{}(b));
    EXPECT_NE(a, c);
    const std::unordered_set<MTPObject> set{a, b, c};
    EXPECT_EQ(set.size(), 2u);
}
