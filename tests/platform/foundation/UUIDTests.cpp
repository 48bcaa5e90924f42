#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

using platform::UUID;

// Expected identifiers computed independently in Python: SHA-256 of the name, first 16 bytes, version 5
// nibble in byte 6, variant 10 in byte 8.
TEST(UUIDTests, DerivesTheSameIdentifierFromSHA256AsAnIndependentComputation) {
    struct Case {
        const char* name;
        const char* uuid;
    };
    const Case cases[]{
        {"com.brenwick.Tandalo:4660:22136:R58N123ABC", "DF124EAD-EF5C-5354-8197-61C0B38DE75D"},
        {"com.brenwick.Tandalo:4660:22136:R58N123ABD", "B9650B13-BDD3-58FD-924D-33767C405035"},
        {"com.brenwick.Tandalo:6353:20194:", "51E2CDB7-1BE3-5FB9-A778-7D6F5DFA44CD"},
        {"", "E3B0C442-98FC-5C14-9AFB-F4C8996FB924"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto uuid = UUID::fromSHA256(test.name);
        EXPECT_EQ(uuid.uuidString(), test.uuid);
        EXPECT_EQ(uuid.version(), 5);
        EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
        EXPECT_EQ(UUID::fromSHA256(test.name), uuid);
    }
}

TEST(UUIDTests, ParsesCanonicalFormInEitherCaseAndRejectsEverythingElse) {
    const auto upper = UUID::parse("DF124EAD-EF5C-5354-8197-61C0B38DE75D");
    const auto lower = UUID::parse("df124ead-ef5c-5354-8197-61c0b38de75d");
    ASSERT_TRUE(upper);
    ASSERT_TRUE(lower);
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(lower->uuidString(), "DF124EAD-EF5C-5354-8197-61C0B38DE75D");
    EXPECT_EQ(upper->bytes()[0], 0xDF);
    EXPECT_EQ(upper->bytes()[15], 0x5D);

    const char* invalid[]{
        "",
        "DF124EAD-EF5C-5354-8197-61C0B38DE75",
        "DF124EAD-EF5C-5354-8197-61C0B38DE75DA",
        "DF124EADEF5C53548197-61C0B38DE75D00",
        "{DF124EAD-EF5C-5354-8197-61C0B38DE75D}",
        " DF124EAD-EF5C-5354-8197-61C0B38DE75D",
        "DF124EAD-EF5C-5354-8197-61C0B38DE75G",
        "DF124EAD+EF5C-5354-8197-61C0B38DE75D",
        "DF124EA-DEF5C-5354-8197-61C0B38DE75D",
        "DF124EAD-EF5C-5354-8197-61C0B38DE7\xC3\xA9",
    };
    for (const auto* text : invalid) {
        EXPECT_FALSE(UUID::parse(text)) << text;
    }
}

TEST(UUIDTests, FormatsNilAndRoundTripsThroughText) {
    EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
    UUID::Bytes bytes{};
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        bytes[index] = static_cast<std::uint8_t>(index * 17);
    }
    const UUID uuid(bytes);
    EXPECT_EQ(uuid.uuidString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(UUID::parse(uuid.uuidString()), uuid);
}

TEST(UUIDTests, RandomIdentifiersAreVersionFourAndDistinct) {
    std::set<UUID> ordered;
    std::unordered_set<UUID> hashed;
    for (int i = 0; i < 1000; ++i) {
        const auto uuid = UUID::random();
        EXPECT_EQ(uuid.version(), 4);
        EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
        ordered.insert(uuid);
        hashed.insert(uuid);
    }
    EXPECT_EQ(ordered.size(), 1000u);
    EXPECT_EQ(hashed.size(), 1000u);
}
