#include "SysfsFixture.h"

#include "platform/usbfs/ProcessTable.h"

#include <gtest/gtest.h>

namespace usbfs {
namespace {

TEST(ProcessTableTests, FindsTheOtherProgramsThatHaveTheNodeOpenLowestPidFirst) {
    testing::SysfsFixture tree;
    const auto node = tree.dev() / "001" / "004";
    tree.addProcess(900, "gvfsd-mtp", node);
    tree.addProcess(40, "gphoto2", node);
    tree.addProcess(41, "ls", tree.dev() / "001" / "005");
    tree.addProcess(12, "self", node);
    tree.write(tree.proc() / "self" / "comm", "x\n"); // not a process number
    const ProcessTable table(tree.proc(), [](pid_t pid) {
        return pid == 900 ? std::optional<std::string>("gvfsd-mtp") : std::nullopt;
    });
    EXPECT_EQ(table.openersOf(node, 12), (std::vector<usb::ProcessIdentity>{{40, "?"}, {900, "gvfsd-mtp"}}));
    EXPECT_TRUE(table.openersOf(tree.dev() / "002" / "001", 12).empty());
}

} // namespace
} // namespace usbfs
