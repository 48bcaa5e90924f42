#include "platform/fskit/FSEntityIdentifier.h"

#include <gtest/gtest.h>

#include <set>

namespace fskit {
namespace {

TEST(FSEntityIdentifierTests, UUIDStringIsUpperCaseHexInFiveGroups) {
    const FSContainerIdentifier identifier(
        {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    EXPECT_EQ(identifier.uuidString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(identifier, FSContainerIdentifier(identifier.uuid()));
}

TEST(FSEntityIdentifierTests, NewVolumeIdentifiersAreDistinctRandomUUIDs) {
    std::set<std::string> seen;
    for (int index = 0; index < 64; ++index) {
        const FSVolumeIdentifier identifier;
        EXPECT_EQ(identifier.uuid()[6] >> 4, 4) << identifier.uuidString();
        EXPECT_EQ(identifier.uuid()[8] & 0xC0, 0x80) << identifier.uuidString();
        seen.insert(identifier.uuidString());
    }
    EXPECT_EQ(seen.size(), 64u);
}

} // namespace
} // namespace fskit
