#include "tools/MountHelper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tandalo::tools {
namespace {

struct RejectedLine {
    std::vector<std::string> arguments;
    std::string message;
};

class MountArgumentsRejectionTests : public ::testing::TestWithParam<RejectedLine> {};

TEST_P(MountArgumentsRejectionTests, RejectsWithAClearMessage) {
    const auto& line = GetParam();
    try {
        parseMountArguments(line.arguments);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find(line.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, MountArgumentsRejectionTests,
    ::testing::Values(
        RejectedLine{{}, "file-system type is missing"},
        RejectedLine{{"mtp://a", "/m"}, "file-system type is missing"},
        RejectedLine{{"-t", "ext4", "mtp://a", "/m"}, "unsupported file-system type \"ext4\""},
        RejectedLine{{"-t"}, "-t needs a value"},
        RejectedLine{{"-t", "tandalo", "-t", "tandalo", "mtp://a", "/m"}, "-t given more than once"},
        RejectedLine{{"-t", "tandalo", "mtp://a"}, "got 1 operand"},
        RejectedLine{{"-t", "tandalo", "mtp://a", "/m", "/n"}, "got 3 operands"},
        RejectedLine{{"-t", "tandalo", "mtp://a", "-f", "/m"}, "got 3 operands"},
        RejectedLine{{"-x", "-t", "tandalo", "mtp://a", "/m"}, "unknown option \"-x\""},
        RejectedLine{{"-o", "ro,sync", "-t", "tandalo", "mtp://a", "/m"}, "unknown mount option \"sync\""},
        RejectedLine{{"-o", "", "-t", "tandalo", "mtp://a", "/m"}, "unknown mount option \"\""},
        RejectedLine{{"-f", "-f", "-t", "tandalo", "mtp://a", "/m"}, "-f given more than once"},
        RejectedLine{{"-t", "tandalo", "usb://a", "/m"}, "not an mtp:// URL"},
        RejectedLine{{"-t", "tandalo", "mtp://a", ""}, "the folder is empty"}));

TEST(MountArgumentsTests, ReadsTheMountToolsLine) {
    const std::vector<std::string> line{"-t", "tandalo", "mtp://R58M123", "/Volumes/Phone"};
    const auto parsed = parseMountArguments(line);
    EXPECT_EQ(parsed.resource, "mtp://R58M123");
    EXPECT_EQ(parsed.folder, "/Volumes/Phone");
    EXPECT_FALSE(parsed.foreground);
    EXPECT_FALSE(parsed.readOnly);
}

TEST(MountArgumentsTests, ReadsForegroundAndReadOnlyInAnyOrder) {
    const std::vector<std::string> line{"-o", "rw,ro", "-f", "-t", "tandalo", "mtp://any", "/m"};
    const auto parsed = parseMountArguments(line);
    EXPECT_TRUE(parsed.foreground);
    EXPECT_TRUE(parsed.readOnly);
    EXPECT_EQ(parsed.resource, "mtp://any");
}

} // namespace
} // namespace tandalo::tools
