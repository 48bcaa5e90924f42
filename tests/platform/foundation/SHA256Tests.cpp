#include "platform/foundation/SHA256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::SHA256;

namespace {

std::string hex(const SHA256::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

} // namespace

// Expected digests computed independently with Python's hashlib and sha256sum.
TEST(SHA256Tests, MatchesKnownAnswers) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const std::vector<Case> cases{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"com.brenwick.Tandalo:4660:22136:R58N123ABC",
         "df124eadef5cc354019761c0b38de75d92206c1b244e752d4d05e996a15328fe"},
        {"Ger\xC3\xA4t \xC3\xA9", "12e0d325b597fc19d8480bd293c13530f5f799705aa064d8b9d8b46fba06345b"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.input.substr(0, 40));
        EXPECT_EQ(hex(SHA256::hash(test.input)), test.digest);
    }
}

TEST(SHA256Tests, HashesBytesWithEmbeddedNulsWhole) {
    const std::string withNul("ab\0c", 4);
    const std::vector<std::byte> bytes{std::byte('a'), std::byte('b'), std::byte(0), std::byte('c')};
    EXPECT_EQ(SHA256::hash(withNul), SHA256::hash(bytes));
    EXPECT_NE(SHA256::hash(withNul), SHA256::hash(std::string_view("ab")));
}
