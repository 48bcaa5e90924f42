#include "platform/fskit/FSFileName.h"

#include <gtest/gtest.h>

#include <string>

namespace fskit {
namespace {

TEST(FSFileNameTests, HasATextFormOnlyForWellFormedUTF8) {
    struct Case {
        std::string bytes;
        bool hasText;
    };
    const Case cases[] = {
        {"DCIM", true},
        {"", true},
        {"caf\xC3\xA9", true},          // é, precomposed
        {"cafe\xCC\x81", true},         // e and a combining accent
        {"\xF0\x9F\x93\xB7.jpg", true}, // a four-byte character
        {std::string("a\0b", 3), true}, // NUL is a character; the kernel never sends one
        {"\xFF", false},                // never valid in UTF-8
        {"\xC0\xAF", false},            // overlong "/"
        {"\xED\xA0\x80", false},        // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", false},    // beyond U+10FFFF
        {"abc\xE2\x82", false},         // cut off in the middle of a character
        {"\x80start", false},           // a continuation byte first
        {"Latin1-\xE9t\xE9", false},    // a name written in ISO 8859-1
    };
    for (const auto& testCase : cases) {
        const FSFileName name(testCase.bytes);
        EXPECT_EQ(name.data(), testCase.bytes);
        EXPECT_EQ(name.string().has_value(), testCase.hasText) << testCase.bytes;
        if (testCase.hasText) {
            EXPECT_EQ(*name.string(), testCase.bytes);
        }
    }
}

TEST(FSFileNameTests, ComparesByBytesNotByCanonicalEquivalence) {
    EXPECT_EQ(FSFileName("a\xFF"), FSFileName("a\xFF"));
    // Deciding equivalence is the volume's business; the platform hands names over as the kernel gave them.
    EXPECT_NE(FSFileName("caf\xC3\xA9"), FSFileName("cafe\xCC\x81"));
    EXPECT_LT(FSFileName("a"), FSFileName("b"));
}

} // namespace
} // namespace fskit
