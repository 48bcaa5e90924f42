#include "platform/foundation/Unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace unicode = platform::unicode;

namespace {

// "é" precomposed (NFC) and as "e" + combining acute accent (NFD).
const std::string composed = "Caf\u00E9";
const std::string decomposed = "Cafe\u0301";

} // namespace

TEST(UnicodeTests, ConvertsBetweenUTF16AndUTF8) {
    const std::u16string units = u"A\u00E9\u65E5\U0001F600";
    EXPECT_EQ(unicode::fromUTF16(units), "A\u00E9\u65E5\U0001F600");
    EXPECT_EQ(unicode::toUTF16("A\u00E9\u65E5\U0001F600"), units);
    EXPECT_EQ(unicode::fromUTF16(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(unicode::fromUTF16({}), "");
}

TEST(UnicodeTests, InvalidUTF16BecomesReplacementCharacters) {
    struct Case {
        std::u16string units;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{u'a', char16_t(0xD800)}, "a\uFFFD"},
        {{char16_t(0xDC00), u'b'},
         "\uFFFD"
         "b"},
        {{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)}, "\uFFFD\U00010000"},
        {{char16_t(0xDFFF), char16_t(0xD83D)}, "\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicode::fromUTF16(c.units), c.text);
    }
}

TEST(UnicodeTests, InvalidUTF8IsDetectedAndReplacedOnConversion) {
    for (const std::string bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(unicode::isValidUTF8(bad)) << bad;
    }
    EXPECT_TRUE(unicode::isValidUTF8(composed));
    EXPECT_TRUE(unicode::isValidUTF8(""));
    EXPECT_EQ(unicode::toUTF16("a\xFF"
                               "b"),
              u"a\uFFFDb");
    EXPECT_EQ(unicode::toCodePoints("a\xFF\U0001F600"), U"a\uFFFD\U0001F600");
}

TEST(UnicodeTests, NormalisesToComposedAndDecomposedForms) {
    EXPECT_EQ(unicode::nfc(decomposed), composed);
    EXPECT_EQ(unicode::nfd(composed), decomposed);
    EXPECT_EQ(unicode::nfc(composed), composed);
    // Hangul syllables compose and decompose algorithmically.
    EXPECT_EQ(unicode::nfd("\uD55C"), "\u1112\u1161\u11AB");
    EXPECT_EQ(unicode::nfc("\u1112\u1161\u11AB"), "\uD55C");
    // Canonical reordering of combining marks.
    EXPECT_EQ(unicode::nfd("a\u0301\u0323"), "a\u0323\u0301");
}

TEST(UnicodeTests, ComparesByCanonicalEquivalence) {
    EXPECT_TRUE(unicode::canonicallyEquivalent(composed, decomposed));
    EXPECT_TRUE(unicode::canonicallyEquivalent("a\u0301\u0323", "a\u0323\u0301"));
    EXPECT_TRUE(unicode::canonicallyEquivalent("\u212B", "\u00C5")); // angstrom sign and Å
    EXPECT_FALSE(unicode::canonicallyEquivalent("Cafe", composed));
    EXPECT_FALSE(unicode::canonicallyEquivalent("cafe\u0301", composed)); // case still matters
    EXPECT_FALSE(unicode::canonicallyEquivalent("\uFB01", "fi"));         // compatibility is not canonical
}

TEST(UnicodeTests, CanonicalKeyAgreesWithTheComparison) {
    const std::vector<std::string> names = {composed, decomposed, "Cafe",    "\u212B", "\u00C5", "A\u030A",
                                            "a\xFF",  "a\xFE",    "a\uFFFD", "\uFB01", "fi"};
    for (const auto& a : names) {
        for (const auto& b : names) {
            EXPECT_EQ(unicode::canonicalKey(a) == unicode::canonicalKey(b),
                      unicode::canonicallyEquivalent(a, b))
                << a << " / " << b;
        }
    }
    std::unordered_map<std::string, int> byKey;
    byKey[unicode::canonicalKey(composed)] = 1;
    EXPECT_EQ(byKey.count(unicode::canonicalKey(decomposed)), 1u);
}

TEST(UnicodeTests, MalformedNamesNeverShareAKey) {
    EXPECT_NE(unicode::canonicalKey("a\xFF"), unicode::canonicalKey("a\xFE"));
    EXPECT_FALSE(unicode::canonicallyEquivalent("a\xFF", "a\uFFFD"));
    EXPECT_TRUE(unicode::canonicallyEquivalent("a\xFF", "a\xFF"));
}

TEST(UnicodeTests, FoldsCase) {
    EXPECT_EQ(unicode::foldCase("Stra\u00DFe"), unicode::foldCase("STRASSE"));
    EXPECT_EQ(unicode::foldCase("DCIM"), "dcim");
    EXPECT_EQ(unicode::foldCase("\u0130"), "i\u0307"); // default folding, not Turkish
    EXPECT_EQ(unicode::foldCase("\u03A3\u03C2"), "\u03C3\u03C3");
}

TEST(UnicodeTests, LowersCaseWithoutFolding) {
    EXPECT_EQ(unicode::lowercased("R58N-\u00C4B"), "r58n-\u00E4b");
    EXPECT_EQ(unicode::lowercased("Stra\u00DFE"), "stra\u00DFe"); // lowered, not folded to "ss"
    EXPECT_EQ(unicode::lowercased("\xFF"
                                  "A"),
              "\uFFFDa");
}

TEST(UnicodeTests, RecognisesNumericCharacters) {
    for (const char32_t c : {U'0', U'9', U'\u0665', U'\u00BD', U'\u2168'}) {
        EXPECT_TRUE(unicode::isNumeric(c)) << static_cast<unsigned>(c);
    }
    for (const char32_t c : {U'a', U'.', U'Z', U'+', U'\uFFFD'}) {
        EXPECT_FALSE(unicode::isNumeric(c)) << static_cast<unsigned>(c);
    }
}
