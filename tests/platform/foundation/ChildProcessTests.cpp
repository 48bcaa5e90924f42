#include "platform/foundation/ChildProcess.h"

#include "platform/foundation/FoundationError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

TEST(ChildProcessTests, RunsAProgramWithMoreVariablesAndReportsHowItEnded) {
    // A given variable wins over an inherited one (and over one whose name it merely begins).
    ::setenv("TANDALO_TEST_WORD", "inherited", 1);
    ::setenv("TANDALO_TEST_WORDS", "kept", 1);
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const auto pid = platform::spawnProgram(
        "/bin/sh", {"-c", "echo \"$1 $TANDALO_TEST_WORD $TANDALO_TEST_WORDS\"; exit 3", "sh", "an"},
        {"TANDALO_TEST_WORD=argument"}, pipe[1]);
    ::close(pipe[1]);
    char output[64] = {};
    EXPECT_GT(::read(pipe[0], output, sizeof output - 1), 0);
    ::close(pipe[0]);
    EXPECT_STREQ(output, "an argument kept\n");
    ::unsetenv("TANDALO_TEST_WORD");
    ::unsetenv("TANDALO_TEST_WORDS");
    EXPECT_EQ(platform::waitForChild(pid), 3);

    EXPECT_EQ(platform::waitForChild(platform::spawnProgram("/bin/sh", {"-c", "kill -9 $$"})), 128 + 9);
    EXPECT_THROW(platform::spawnProgram("/nonexistent/program", {}), platform::FoundationError);
}
