#include "platform/foundation/MountInfo.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(MountInfoTests, ReadsEachFieldWithEscapesDecoded) {
    const auto mounts = MountInfo::parse(
        "22 1 0:21 / /proc rw,nosuid shared:5 - proc proc rw\n"
        "97 29 0:52 / /home/me/Tandalo/Pixel\\0408 rw,nosuid,nodev master:1 shared:2 - fuse.tandalo "
        "/home/me/Tandalo/.tandalo/1/r58n\\040a\\134b.tandalo rw,user_id=0\n"
        "98 29 0:53 / /mnt/end\\040 rw - fuse.tandalo mtp://any\n");
    ASSERT_EQ(mounts.size(), 3U);
    EXPECT_EQ(mounts[0], (MountInfo{22, 1, 0, 21, "/", "/proc", "rw,nosuid", "proc", "proc", "rw"}));
    EXPECT_EQ(mounts[1].mountPoint, "/home/me/Tandalo/Pixel 8");
    EXPECT_EQ(mounts[1].fileSystemType, "fuse.tandalo");
    EXPECT_EQ(mounts[1].source, "/home/me/Tandalo/.tandalo/1/r58n a\\b.tandalo");
    EXPECT_EQ(mounts[1].superOptions, "rw,user_id=0");
    EXPECT_EQ(mounts[2].mountPoint, "/mnt/end ");
    EXPECT_EQ(mounts[2].source, "mtp://any");
}

TEST(MountInfoTests, SkipsLinesItCannotRead) {
    const auto mounts = MountInfo::parse("\n"
                                         "garbage\n"
                                         "x 1 0:21 / /a rw - proc proc rw\n"
                                         "22 1 0-21 / /b rw - proc proc rw\n"
                                         "22 1 0:21 / /c rw no separator here\n"
                                         "22 1 0:21 / /d rw - proc\n"
                                         "23 1 0:22 / /e\\09 rw - tmpfs a\\\\b rw");
    ASSERT_EQ(mounts.size(), 1U);
    EXPECT_EQ(mounts[0].mountPoint, "/e\\09"); // not a three-digit escape: kept
    EXPECT_EQ(mounts[0].source, "a\\\\b");
}

TEST(MountInfoTests, ReadsThisProcesssTableAndNothingFromAMissingFile) {
    const auto mounts = MountInfo::read();
    EXPECT_TRUE(std::any_of(mounts.begin(), mounts.end(),
                            [](const MountInfo& mount) { return mount.mountPoint == "/"; }));
    EXPECT_TRUE(MountInfo::read("/nonexistent/mountinfo").empty());
}

} // namespace
} // namespace platform
