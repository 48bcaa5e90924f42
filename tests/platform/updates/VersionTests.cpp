#include "platform/updates/Version.h"

#include <gtest/gtest.h>

#include <string_view>

namespace updates {
namespace {

struct VersionCase {
    std::string_view left;
    std::string_view right;
    int expected; // -1: left is older, 0: the same version, 1: left is newer, 9: not comparable
};

TEST(VersionTests, OrdersVersionsByTheDocumentedRules) {
    const VersionCase cases[] = {
        {"1.4", "1.5", -1},
        {"1.10", "1.9", 1},
        {"1.4", "1.4.0", 0},
        {"1.4.0.0", "1.4", 0},
        {"1.04", "1.4", 0},
        {"1.4.1", "1.4", 1},
        {"2", "1.99.99", 1},
        {"27", "100", -1},
        {"99999999999999999999999", "99999999999999999999998", 1},
        {" 1.5 ", "1.5", 0},
        {"1.5b2", "1.5", -1},
        {"1.5-rc.1", "1.5", -1},
        {"1.5b2", "1.4", 1},
        {"1.5b2", "1.5b10", -1},
        {"1.5b", "1.5b2", -1},
        {"1.5beta", "1.5RC", -1},
        {"1.5 Beta 3", "1.5-beta.3", 0},
        {"1.5-rc1", "1.5-1", -1},
        {"1.5-", "1.5", 0},
        {"1.5.", "1.5", 0},
        {"", "1.5", 9},
        {"v1.5", "1.5", 9},
        {"1.5", "beta", 9},
    };
    for (const auto& c : cases) {
        const auto order = compareVersions(c.left, c.right);
        const int actual = !order ? 9 : *order < 0 ? -1 : *order > 0 ? 1 : 0;
        EXPECT_EQ(actual, c.expected) << '"' << c.left << "\" against \"" << c.right << '"';
        if (order) {
            const auto reverse = compareVersions(c.right, c.left);
            ASSERT_TRUE(reverse.has_value());
            EXPECT_EQ(*reverse, 0 <=> *order)
                << "the order of \"" << c.right << "\" and \"" << c.left << "\" is not the reverse";
        }
    }
}

} // namespace
} // namespace updates
