#include "platform/foundation/ChildProcess.h"

#include "platform/foundation/FoundationError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

TEST(ChildProcessTests, RunsAProgramWithMoreVariablesAndReportsHowItEnded) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const auto pid =
        platform::spawnProgram("/bin/sh", {"-c", "echo \"$1 $TANDALO_TEST_WORD\"; exit 3", "sh", "an"},
                               {"TANDALO_TEST_WORD=argument"}, pipe[1]);
    ::close(pipe[1]);
    char output[64] = {};
    EXPECT_GT(::read(pipe[0], output, sizeof output - 1), 0);
    ::close(pipe[0]);
    EXPECT_STREQ(output, "an argument\n");
    EXPECT_EQ(platform::waitForChild(pid), 3);

    EXPECT_EQ(platform::waitForChild(platform::spawnProgram("/bin/sh", {"-c", "kill -9 $$"})), 128 + 9);
    EXPECT_THROW(platform::spawnProgram("/nonexistent/program", {}), platform::FoundationError);
}
