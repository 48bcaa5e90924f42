#include "tools/MountArguments.h"
#include "tools/MountHelper.h"

#include "platform/fuse/FuseError.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
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
        RejectedLine{{"-t", "tandalo", "usb://a", "/m"}, "not an mtp:// URL or a .tandalo token file"},
        RejectedLine{{"-t", "tandalo", "/m/.tandalo/1/a.txt", "/m"},
                     "not an mtp:// URL or a .tandalo token file"},
        RejectedLine{{"-t", "tandalo", ".tandalo", "/m"}, "not an mtp:// URL or a .tandalo token file"},
        RejectedLine{{"-t", "tandalo", "mtp://a", ""}, "the folder is empty"}));

TEST(MountArgumentsTests, ReadsTheMountToolsLine) {
    const std::vector<std::string> line{"-t", "tandalo", "mtp://R58M123", "/Volumes/Phone"};
    const auto parsed = parseMountArguments(line);
    EXPECT_EQ(parsed.resource, "mtp://R58M123");
    EXPECT_EQ(parsed.folder, "/Volumes/Phone");
    EXPECT_FALSE(parsed.foreground);
    EXPECT_FALSE(parsed.readOnly);
}

TEST(MountArgumentsTests, TakesURLsAndTheApplicationsTokenFilesAsResources) {
    struct Case {
        std::string resource;
        bool tokenFile;
    };
    for (const auto& each : {Case{"mtp://R58M123?attempt=2", false}, Case{"MTP://any", false},
                             Case{"/home/me/Tandalo/.tandalo/take-over-1/r58m123.tandalo", true},
                             Case{"relative/.tandalo/2/any.TANDALO", true}}) {
        SCOPED_TRACE(each.resource);
        const std::vector<std::string> line{"-t", "tandalo", each.resource, "/m"};
        const auto parsed = parseMountArguments(line);
        EXPECT_EQ(parsed.resource, each.resource);
        EXPECT_EQ(parsed.namesTokenFile(), each.tokenFile);
    }
}

TEST(MountArgumentsTests, HandsTheResourceOnAsThePlatformWould) {
    platform::testing::TemporaryFolder folder;
    const auto token = folder.path() / ".tandalo" / "no-take-over-1" / "r58m123.tandalo";
    std::filesystem::create_directories(token.parent_path());
    std::ofstream{token};

    const auto path =
        std::dynamic_pointer_cast<fskit::FSPathURLResource>(mountedResource({token.string(), "/m"}));
    ASSERT_TRUE(path);
    EXPECT_EQ(path->url(), "file://" + token.string());
    const auto url =
        std::dynamic_pointer_cast<fskit::FSGenericURLResource>(mountedResource({"mtp://R58M123", "/m"}));
    ASSERT_TRUE(url);
    EXPECT_EQ(url->url(), "mtp://R58M123");
    try {
        mountedResource({(token.parent_path() / "any.tandalo").string(), "/m"});
        FAIL() << "a missing token file was taken";
    } catch (const fusehost::FuseError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
}

TEST(MountArgumentsTests, MountsOnNoLinkInTheFoldersPlace) {
    platform::testing::TemporaryFolder folder;
    const auto elsewhere = folder.path() / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_symlink(elsewhere, folder.path() / "Phone");
    // Refused before the device is looked for or anything is mounted.
    try {
        mountResource({"mtp://R58M123", (folder.path() / "Phone").string()});
        FAIL() << "a link was taken as the mount point";
    } catch (const fusehost::FuseError& error) {
        EXPECT_EQ(error.code(), ELOOP) << error.what();
        EXPECT_NE(std::string(error.what()).find((folder.path() / "Phone").string()), std::string::npos);
    }
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
