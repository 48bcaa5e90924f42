#include "simulation/PhoneContent.h"

#include <gtest/gtest.h>

#include <numeric>

namespace simulation {
namespace {

constexpr std::size_t page = PhoneContent::pageSize;

std::vector<std::byte> filled(std::size_t count, std::uint8_t value) {
    return std::vector<std::byte>(count, std::byte{value});
}

TEST(PhoneContentTests, PatternDependsOnlyOnSeedAndOffset) {
    const auto whole = PhoneContent::generate(42, 0, 100);
    for (const std::size_t offset : {1u, 7u, 8u, 13u, 64u}) {
        SCOPED_TRACE(offset);
        const auto part = PhoneContent::generate(42, offset, 30);
        EXPECT_TRUE(
            std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(offset)));
    }
    EXPECT_NE(PhoneContent::generate(43, 0, 100), whole);
    const auto far = PhoneContent::generate(42, (1ull << 32) + 3, 16);
    EXPECT_NE(far, PhoneContent::generate(42, 3, 16));
}

TEST(PhoneContentTests, GeneratedContentTakesNoMemoryUntilWritten) {
    auto content = PhoneContent::generated(7, 10'000'000'000ull);
    EXPECT_EQ(content.size(), 10'000'000'000ull);
    EXPECT_EQ(content.storedBytes(), 0u);
    EXPECT_EQ(content.read(9'999'999'990ull, 100), PhoneContent::generate(7, 9'999'999'990ull, 10));
    content.write(5'000'000'000ull, filled(3, 0xAB));
    EXPECT_EQ(content.storedBytes(), page);
    // The written page keeps the pattern around the written bytes.
    const auto around = content.read(5'000'000'000ull - 2, 7);
    const auto before = PhoneContent::generate(7, 5'000'000'000ull - 2, 2);
    const auto after = PhoneContent::generate(7, 5'000'000'003ull, 2);
    EXPECT_EQ(around, (std::vector<std::byte>{before[0], before[1], std::byte{0xAB}, std::byte{0xAB},
                                              std::byte{0xAB}, after[0], after[1]}));
}

TEST(PhoneContentTests, WritesAcrossPagesAndGapsReadBack) {
    PhoneContent content;
    std::vector<std::byte> bytes(3 * page + 17);
    std::iota(reinterpret_cast<std::uint8_t*>(bytes.data()),
              reinterpret_cast<std::uint8_t*>(bytes.data() + bytes.size()), std::uint8_t{1});
    content.write(page - 5, bytes);
    EXPECT_EQ(content.size(), page - 5 + bytes.size());
    EXPECT_EQ(content.read(page - 5, bytes.size()), bytes);
    EXPECT_EQ(content.read(0, page - 5), filled(page - 5, 0));
    // A gap reads as zero and costs nothing.
    const std::size_t stored = content.storedBytes();
    content.write(100 * page, filled(1, 9));
    EXPECT_EQ(content.storedBytes(), stored + page);
    EXPECT_EQ(content.read(50 * page, 10), filled(10, 0));
    // Zeros written where the content already reads as zero stay unstored.
    content.write(200 * page, filled(3 * page, 0));
    EXPECT_EQ(content.storedBytes(), stored + page);
    EXPECT_EQ(content.size(), 203 * page);
}

TEST(PhoneContentTests, ResizeCutsAndGrowsWithZeros) {
    auto content = PhoneContent::generated(3, 4 * page);
    content.write(2 * page + 10, filled(20, 0xCC));
    content.resize(2 * page + 15);
    EXPECT_EQ(content.size(), 2 * page + 15);
    content.resize(3 * page);
    // What was cut does not come back: neither the written bytes nor the pattern.
    EXPECT_EQ(content.read(2 * page + 10, 10),
              (std::vector<std::byte>{std::byte{0xCC}, std::byte{0xCC}, std::byte{0xCC}, std::byte{0xCC},
                                      std::byte{0xCC}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0},
                                      std::byte{0}}));
    EXPECT_EQ(content.read(2 * page + 20, page - 20), filled(page - 20, 0));
    EXPECT_EQ(content.read(0, 10), PhoneContent::generate(3, 0, 10));
    content.resize(0);
    EXPECT_EQ(content.storedBytes(), 0u);
    EXPECT_TRUE(content.read(0, 10).empty());
}

TEST(PhoneContentTests, ReadsPastTheEndGiveZerosOrNothing) {
    const auto content = PhoneContent::fromBytes(filled(10, 5));
    std::vector<std::byte> out(20, std::byte{0xFF});
    content.read(5, out);
    EXPECT_EQ(std::vector<std::byte>(out.begin(), out.begin() + 5), filled(5, 5));
    EXPECT_EQ(std::vector<std::byte>(out.begin() + 5, out.end()), filled(15, 0));
    EXPECT_EQ(content.read(5, 100).size(), 5u);
    EXPECT_TRUE(content.read(10, 100).empty());
    EXPECT_TRUE(content.read(1ull << 40, 100).empty());
}

} // namespace
} // namespace simulation
