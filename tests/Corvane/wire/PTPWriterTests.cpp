#include "Corvane/wire/PTPReader.h"
#include "Corvane/wire/PTPWriter.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::bytes;

TEST(PTPWriterTests, WritesIntegersLittleEndian) {
    PTPWriter writer;
    writer.u8(0xAB);
    writer.u16(0x1234);
    writer.u32(0x12345678);
    writer.u64(0x0102030405060708ull);
    EXPECT_EQ(writer.data(), bytes({0xAB, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 8, 7, 6, 5, 4, 3, 2, 1}));
    writer.u128Zero();
    EXPECT_EQ(writer.data().size(), 31u);
}

TEST(PTPWriterTests, WritesPTPStrings) {
    PTPWriter empty;
    empty.string("");
    EXPECT_EQ(empty.data(), bytes({0x00}));

    PTPWriter ab;
    ab.string("AB");
    EXPECT_EQ(ab.data(), bytes({0x03, 0x41, 0x00, 0x42, 0x00, 0x00, 0x00}));

    PTPWriter emoji;
    emoji.string("\U0001F4F7");
    EXPECT_EQ(emoji.data(), bytes({0x03, 0x3D, 0xD8, 0xF7, 0xDC, 0x00, 0x00}));
}

TEST(PTPWriterTests, CutsLongStringsTo254Units) {
    PTPWriter writer;
    writer.string(std::string(300, 'x'));
    const auto& data = writer.data();
    ASSERT_EQ(data.size(), 511u);
    EXPECT_EQ(data[0], std::byte{0xFF});
    EXPECT_EQ(data[509], std::byte{0});
    EXPECT_EQ(data[510], std::byte{0});
    PTPReader reader(data);
    EXPECT_EQ(reader.string(), std::string(254, 'x'));
}

TEST(PTPWriterTests, NeverCutsInsideASurrogatePair) {
    // 253 ASCII units put the 254th and 255th units on the two halves of one emoji.
    const std::string text = std::string(253, 'a') + "\U0001F600" + "tail";
    PTPWriter writer;
    writer.string(text);
    const auto& data = writer.data();
    ASSERT_EQ(data[0], std::byte{254}); // 253 units and the NUL
    ASSERT_EQ(data.size(), 1u + 2u * 254u);
    PTPReader reader(data);
    EXPECT_EQ(reader.string(), std::string(253, 'a'));

    // One unit earlier the whole pair fits, and the cut falls after it.
    const std::string fits = std::string(252, 'a') + "\U0001F600" + "tail";
    PTPWriter second;
    second.string(fits);
    PTPReader secondReader(second.data());
    EXPECT_EQ(secondReader.string(), std::string(252, 'a') + "\U0001F600");
}

TEST(PTPWriterTests, StringsRoundTripThroughTheReader) {
    const std::vector<std::string> texts = {"",
                                            "a",
                                            "DCIM",
                                            "Caf\u00E9",
                                            "Cafe\u0301",
                                            "\u65E5\u672C\u8A9E",
                                            "\U0001F600\U0001F4F7",
                                            std::string("nul\0inside", 10),
                                            std::string(254, 'z')};
    for (const auto& text : texts) {
        PTPWriter writer;
        writer.string(text);
        PTPReader reader(writer.data());
        EXPECT_EQ(reader.string(), text);
        EXPECT_TRUE(reader.isAtEnd());
    }
}

TEST(PTPWriterTests, InvalidUTF8IsSentAsReplacementCharacters) {
    PTPWriter writer;
    writer.string("a\xFF"
                  "b");
    PTPReader reader(writer.data());
    EXPECT_EQ(reader.string(), "a\uFFFD"
                               "b");
}

TEST(PTPWriterTests, WritesCountedArraysAndRawBytes) {
    PTPWriter writer;
    writer.u16Array(std::vector<std::uint16_t>{0x1001, 0x95C1});
    writer.u32Array(std::vector<std::uint32_t>{});
    writer.array(std::vector<std::string>{"A"}, [](PTPWriter& w, const std::string& s) { w.string(s); });
    writer.bytes(bytes({0xDE, 0xAD}));
    EXPECT_EQ(writer.data(), bytes({2, 0, 0, 0, 0x01, 0x10, 0xC1, 0x95, 0, 0,    0,   0,
                                    1, 0, 0, 0, 2,    0x41, 0,    0,    0, 0xDE, 0xAD}));
    const auto taken = writer.take();
    EXPECT_EQ(taken.size(), 23u);
    EXPECT_TRUE(writer.data().empty());
}
