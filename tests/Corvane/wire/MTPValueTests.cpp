#include "Corvane/wire/MTPPropertyElement.h"
#include "Corvane/wire/MTPValue.h"

#include "Corvane/wire/PTPWriter.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::bytes;
using corvane::testing::expectPTPError;
using corvane::testing::samplePropertyList;

namespace {

MTPValue decode(std::uint16_t type, const std::vector<std::byte>& data, std::size_t* consumed = nullptr) {
    PTPReader reader(data);
    MTPValue value = MTPValue::decode(type, reader);
    if (consumed != nullptr) {
        *consumed = reader.offset();
    }
    return value;
}

Raw128 sequence128() {
    Raw128 value{};
    for (std::size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<std::byte>(i + 1);
    }
    return value;
}

} // namespace

TEST(MTPValueTests, DecodesScalarsByTheirDataType) {
    struct Case {
        std::uint16_t type;
        std::vector<std::byte> data;
        MTPValue expected;
        std::size_t consumed;
    };
    const std::vector<Case> cases = {
        {0x0001, bytes({0x80}), {std::int64_t{-128}}, 1},
        {0x0002, bytes({0x80}), {std::uint64_t{128}}, 1},
        {0x0003, bytes({0xFE, 0xFF}), {std::int64_t{-2}}, 2},
        {0x0004, bytes({0xFE, 0xFF}), {std::uint64_t{65534}}, 2},
        {0x0005, bytes({0xFF, 0xFF, 0xFF, 0xFF}), {std::int64_t{-1}}, 4},
        {0x0006, bytes({0xFF, 0xFF, 0xFF, 0xFF}), {std::uint64_t{0xFFFFFFFF}}, 4},
        {0x0007, bytes({0, 0, 0, 0, 0, 0, 0, 0x80}), {std::numeric_limits<std::int64_t>::min()}, 8},
        {0x0008, bytes({0, 0, 0, 0, 0, 0, 0, 0x80}), {std::uint64_t{0x8000000000000000ull}}, 8},
        {0xFFFF, bytes({0x02, 'h', 0, 0, 0}), {std::string("h")}, 5},
    };
    for (const auto& c : cases) {
        std::size_t consumed = 0;
        EXPECT_EQ(decode(c.type, c.data, &consumed), c.expected) << std::hex << c.type;
        EXPECT_EQ(consumed, c.consumed);
    }
    const Raw128 value = sequence128();
    const std::vector<std::byte> wide(value.begin(), value.end());
    EXPECT_EQ(decode(0x0009, wide), MTPValue{sequence128()});
    EXPECT_EQ(decode(0x000A, wide), MTPValue{sequence128()});
}

TEST(MTPValueTests, DecodesArraysByTheirElementType) {
    EXPECT_EQ(decode(0x4006, bytes({2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0})),
              (MTPValue{std::vector<std::uint64_t>{1, 2}}));
    EXPECT_EQ(decode(0x4003, bytes({2, 0, 0, 0, 0xFF, 0xFF, 0x05, 0x00})),
              (MTPValue{std::vector<std::int64_t>{-1, 5}}));
    EXPECT_EQ(decode(0x4001, bytes({0, 0, 0, 0})), MTPValue{std::vector<std::int64_t>{}});
    std::vector<std::byte> wide = bytes({1, 0, 0, 0});
    const Raw128 value = sequence128();
    wide.insert(wide.end(), value.begin(), value.end());
    EXPECT_EQ(decode(0x4009, wide), MTPValue{std::vector<Raw128>{sequence128()}});
}

TEST(MTPValueTests, ArraysFailAtTheFirstMissingElement) {
    const auto error = expectPTPError(PTPError::Kind::truncatedData, [] {
        decode(0x4006, bytes({3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
    });
    EXPECT_EQ(error.expected(), 4u);
    EXPECT_EQ(error.got(), 0u);
    expectPTPError(PTPError::Kind::truncatedData, [] {
        decode(0x4008, bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 2}));
    });
    expectPTPError(PTPError::Kind::truncatedData, [] { decode(0x0007, bytes({1, 2, 3})); });
}

TEST(MTPValueTests, RejectsUnknownAndUndefinedDataTypes) {
    struct Case {
        std::uint16_t type;
        const char* text;
    };
    for (const auto& c : std::vector<Case>{{0x0000, "not a scalar datatype: undefined"},
                                           {0x0011, "unknown datatype 0x0011"},
                                           {0x000B, "unknown datatype 0x000B"},
                                           {0x4000, "unknown datatype 0x4000"},
                                           {0x400B, "unknown datatype 0x400B"},
                                           {0xC001, "unknown datatype 0xC001"}}) {
        const auto error = expectPTPError(PTPError::Kind::malformedContainer, [&] {
            decode(c.type, bytes({0, 0, 0, 0, 0, 0, 0, 0}));
        });
        EXPECT_EQ(error.text(), c.text);
    }
}

TEST(MTPValueTests, AccessorsAnswerOnlyForTheirCases) {
    EXPECT_EQ(MTPValue{std::int64_t{5}}.uintValue(), 5u);
    EXPECT_EQ(MTPValue{std::int64_t{0}}.uintValue(), 0u);
    EXPECT_EQ(MTPValue{std::int64_t{-5}}.uintValue(), std::nullopt);
    EXPECT_EQ(MTPValue{std::uint64_t{7}}.uintValue(), 7u);
    EXPECT_EQ(MTPValue{std::string("s")}.uintValue(), std::nullopt);
    EXPECT_EQ(MTPValue{std::vector<std::uint64_t>{1}}.uintValue(), std::nullopt);
    EXPECT_EQ(MTPValue{std::string("s")}.stringValue(), "s");
    EXPECT_EQ(MTPValue{std::uint64_t{5}}.stringValue(), std::nullopt);
    EXPECT_EQ(MTPValue{std::vector<std::string>{"a"}}.stringValue(), std::nullopt);
}

TEST(MTPValueTests, ValuesCompareByCaseAndPayload) {
    EXPECT_NE(MTPValue{std::int64_t{1}}, MTPValue{std::uint64_t{1}});
    EXPECT_EQ(MTPValue{std::string("a")}, MTPValue{std::string("a")});
    EXPECT_NE(MTPValue{std::vector<std::string>{"a"}}, MTPValue{std::string("a")});
}

TEST(MTPPropertyElementTests, ParsesAListInTheDevicesOrder) {
    const auto list = MTPPropertyElement::parseList(samplePropertyList());
    ASSERT_EQ(list.size(), 16u);
    EXPECT_EQ(list[0], (MTPPropertyElement{1, 0xDC07, {std::string("IMG_0001.JPG")}}));
    EXPECT_EQ(list[1], (MTPPropertyElement{1, 0xDC02, {std::uint64_t{0x3801}}}));
    EXPECT_EQ(list[2].value.uintValue(), 5'000'000'000ull);
    EXPECT_EQ(list[3].value.stringValue(), "20240131T235959Z");
    EXPECT_EQ(list[4], (MTPPropertyElement{2, 0xDC01, {std::uint64_t{0x00010001}}}));
    EXPECT_EQ(list[5].value, MTPValue{std::int64_t{-2}});
    EXPECT_EQ(list[6].value, MTPValue{std::uint64_t{254}});
    EXPECT_EQ(list[12].value, MTPValue{(std::vector<std::int64_t>{-128, 127})});
    EXPECT_EQ(list[13].value, MTPValue{(std::vector<std::uint64_t>{1, 2, 3})});
    EXPECT_EQ(list[15].value, MTPValue{std::vector<Raw128>{Raw128{}}});
}

TEST(MTPPropertyElementTests, AnyFailureRejectsTheWholeList) {
    auto list = samplePropertyList();
    list.pop_back();
    expectPTPError(PTPError::Kind::truncatedData, [&] { MTPPropertyElement::parseList(list); });

    PTPWriter badType;
    badType.u32(2);
    badType.u32(1);
    badType.u16(0xDC07);
    badType.u16(0xFFFF);
    badType.string("ok");
    badType.u32(2);
    badType.u16(0xDC04);
    badType.u16(0x000B);
    badType.u64(1);
    const auto error = expectPTPError(PTPError::Kind::malformedContainer,
                                      [&] { MTPPropertyElement::parseList(badType.data()); });
    EXPECT_EQ(error.text(), "unknown datatype 0x000B");
}

TEST(MTPPropertyElementTests, ReadsMoreElementsThanTheReservationCap) {
    constexpr std::uint32_t count = 70'000;
    PTPWriter writer;
    writer.u32(count);
    for (std::uint32_t handle = 1; handle <= count; ++handle) {
        writer.u32(handle);
        writer.u16(0xDC02);
        writer.u16(0x0002);
        writer.u8(1);
    }
    const auto list = MTPPropertyElement::parseList(writer.data());
    ASSERT_EQ(list.size(), count);
    EXPECT_EQ(list.back().handle, count);
}
