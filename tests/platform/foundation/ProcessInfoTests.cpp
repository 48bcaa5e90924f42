#include "platform/foundation/ProcessInfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

TEST(ProcessInfoTests, NamesThisProcessAndNoProcessThatIsNotThere) {
    // The kernel cuts command names to 15 bytes.
    EXPECT_EQ(platform::processName(::getpid()), std::string(program_invocation_short_name).substr(0, 15));
    EXPECT_FALSE(platform::processName(0));
    EXPECT_FALSE(platform::processName(-1));
    EXPECT_FALSE(platform::processName(0x3FFFFFFF)); // above any pid_max the kernel allows
}
