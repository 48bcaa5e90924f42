#include "Corvane/wire/PTPReader.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::bytes;
using corvane::testing::expectPTPError;
using corvane::testing::ptpString;
using Kind = PTPError::Kind;

TEST(PTPReaderTests, EmptyBufferIsAtEndAndFailsEveryRead) {
    const std::vector<std::byte> empty;
    PTPReader reader(empty);
    EXPECT_TRUE(reader.isAtEnd());
    EXPECT_EQ(reader.remaining(), 0u);
    const auto error = expectPTPError(Kind::truncatedData, [&] { reader.u8(); });
    EXPECT_EQ(error.expected(), 1u);
    EXPECT_EQ(error.got(), 0u);
}

TEST(PTPReaderTests, ReadsIntegersLittleEndianAndSignedAsTheSameBits) {
    const auto data = bytes({0x34, 0x12, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF,
                             0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0x80});
    PTPReader reader(data);
    EXPECT_EQ(reader.u16(), 0x1234);
    EXPECT_EQ(reader.i16(), -1);
    EXPECT_EQ(reader.u32(), 0x12345678u);
    EXPECT_EQ(reader.i32(), -2);
    EXPECT_EQ(reader.u64(), 0x8807060504030201ull);
    EXPECT_EQ(reader.i8(), -128);
    EXPECT_TRUE(reader.isAtEnd());

    PTPReader again(data);
    EXPECT_EQ(again.i16(), 4660);
    again.skip(2);
    EXPECT_EQ(again.offset(), 4u);
    again.skip(8);
    EXPECT_EQ(again.i64(), static_cast<std::int64_t>(0x8807060504030201ull));
}

TEST(PTPReaderTests, FailedReadLeavesTheOffsetAtItsStart) {
    const auto data = bytes({1, 2, 3, 4, 5});
    PTPReader reader(data);
    reader.u16();
    const auto error = expectPTPError(Kind::truncatedData, [&] { reader.u64(); });
    EXPECT_EQ(error.expected(), 8u);
    EXPECT_EQ(error.got(), 3u);
    EXPECT_EQ(reader.offset(), 2u);
    expectPTPError(Kind::truncatedData, [&] { reader.skip(4); });
    EXPECT_EQ(reader.offset(), 2u);
    EXPECT_EQ(reader.u16(), 0x0403);
}

TEST(PTPReaderTests, ReadsU128AsTheRawBytes) {
    std::vector<std::byte> data;
    for (int i = 0; i < 17; ++i) {
        data.push_back(static_cast<std::byte>(i));
    }
    PTPReader reader(data);
    const Raw128 value = reader.u128();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(value[i], static_cast<std::byte>(i));
    }
    EXPECT_EQ(reader.remaining(), 1u);
}

TEST(PTPReaderTests, ReadsPTPStrings) {
    struct Case {
        std::vector<std::byte> wire;
        std::string text;
        std::size_t consumed;
    };
    const std::vector<Case> cases = {
        {bytes({0x00}), "", 1},
        {ptpString({u'A', u'B', 0}), "AB", 7},
        {ptpString({u'A', u'B'}), "AB", 5},                  // a device that forgets the NUL
        {ptpString({u'A', 0, 0}), std::string("A\0", 2), 7}, // only the last NUL is dropped
        {ptpString({u'\u00E9', u't', u'\u00E9', 0}), "\u00E9t\u00E9", 9},
        {ptpString({0xD83D, 0xDCF7, 0}), "\U0001F4F7", 7},   // a surrogate pair
        {ptpString({u'a', 0xD83D, u'b', 0}), "a\uFFFDb", 9}, // a lone high surrogate
        {ptpString({0xDCF7, 0}), "\uFFFD", 5},               // a lone low surrogate
        {ptpString({u'x', 0xD800}), "x\uFFFD", 5},           // a high surrogate at the very end
    };
    for (const auto& c : cases) {
        PTPReader reader(c.wire);
        EXPECT_EQ(reader.string(), c.text);
        EXPECT_EQ(reader.offset(), c.consumed);
    }
}

TEST(PTPReaderTests, TruncatedStringFailsAfterItsCountByte) {
    auto data = bytes({0x04, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00});
    PTPReader reader(data);
    const auto error = expectPTPError(Kind::truncatedData, [&] { reader.string(); });
    EXPECT_EQ(error.expected(), 8u);
    EXPECT_EQ(error.got(), 6u);
    EXPECT_EQ(reader.offset(), 1u);
}

TEST(PTPReaderTests, U32ArrayFailsAtTheFirstMissingElement) {
    const auto data = bytes({3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0});
    PTPReader reader(data);
    const auto error = expectPTPError(Kind::truncatedData, [&] { reader.u32Array(); });
    EXPECT_EQ(error.expected(), 4u);
    EXPECT_EQ(error.got(), 0u);
}

TEST(PTPReaderTests, ReadsCountedArrays) {
    const auto data = bytes({2, 0, 0, 0, 0x01, 0x10, 0x02, 0x10, 0, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0});
    PTPReader reader(data);
    EXPECT_EQ(reader.u16Array(), (std::vector<std::uint16_t>{0x1001, 0x1002}));
    EXPECT_EQ(reader.u32Array(), std::vector<std::uint32_t>{});
    EXPECT_EQ(reader.u32Array(), std::vector<std::uint32_t>{9});
    EXPECT_TRUE(reader.isAtEnd());
}

TEST(PTPReaderTests, HugeCountOverShortBufferFailsWithoutReservingForTheCount) {
    const auto data = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x02});
    PTPReader reader(data);
    const auto error = expectPTPError(Kind::truncatedData, [&] { reader.u16Array(); });
    EXPECT_EQ(error.expected(), 2u);
    EXPECT_EQ(error.got(), 1u);
}

TEST(PTPReaderTests, GenericArrayPassesTheElementErrorOnUnchanged) {
    const auto data = bytes({2, 0, 0, 0, 7, 8});
    PTPReader reader(data);
    int calls = 0;
    const auto element = [&calls](PTPReader& r) {
        ++calls;
        if (calls == 2) {
            throw PTPError::io("element refused");
        }
        return r.u8();
    };
    const auto error = expectPTPError(Kind::io, [&] { reader.array(element); });
    EXPECT_EQ(error.text(), "element refused");
    EXPECT_EQ(calls, 2);
}

TEST(PTPReaderTests, ReadsFromASliceCountingFromItsOwnStart) {
    const auto data = bytes({0xAA, 0xBB, 0x01, 0x00});
    PTPReader reader(std::span<const std::byte>(data).subspan(2));
    EXPECT_EQ(reader.remaining(), 2u);
    EXPECT_EQ(reader.u16(), 1);
    EXPECT_EQ(reader.offset(), 2u);
}
