#include "platform/foundation/UniqueFd.h"

#include "platform/foundation/Logger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using platform::UniqueFd;

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    int fds[2]{-1, -1};
};

} // namespace

TEST(UniqueFdTests, ClosesOnDestructionAndTransfersOwnershipOnMove) {
    Pipe pipe;
    const int fd = pipe.fds[0];
    {
        UniqueFd first(fd);
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(first.get(), -1);
        EXPECT_EQ(second.get(), fd);
        EXPECT_TRUE(isOpen(fd));
    }
    EXPECT_FALSE(isOpen(fd));
    ::close(pipe.fds[1]);
}

TEST(UniqueFdTests, MoveAssignmentClosesWhatTheTargetHeld) {
    Pipe pipe;
    UniqueFd reader(pipe.fds[0]);
    UniqueFd writer(pipe.fds[1]);
    writer = std::move(reader);
    EXPECT_FALSE(isOpen(pipe.fds[1]));
    EXPECT_TRUE(isOpen(pipe.fds[0]));
    EXPECT_EQ(writer.get(), pipe.fds[0]);
    EXPECT_FALSE(reader);

    UniqueFd empty;
    writer = std::move(empty);
    EXPECT_FALSE(isOpen(pipe.fds[0]));
    EXPECT_FALSE(writer);
}

TEST(UniqueFdTests, SelfMoveKeepsTheDescriptorOpen) {
    Pipe pipe;
    UniqueFd owner(pipe.fds[0]);
    UniqueFd& alias = owner;
    owner = std::move(alias);
    EXPECT_EQ(owner.get(), pipe.fds[0]);
    EXPECT_TRUE(isOpen(pipe.fds[0]));
    ::close(pipe.fds[1]);
}

TEST(UniqueFdTests, ReleaseGivesUpOwnershipAndResetReplacesIt) {
    Pipe pipe;
    UniqueFd owner(pipe.fds[0]);
    owner.reset(pipe.fds[0]); // the same descriptor: nothing is closed
    EXPECT_TRUE(isOpen(pipe.fds[0]));
    EXPECT_EQ(owner.release(), pipe.fds[0]);
    EXPECT_FALSE(owner);
    EXPECT_TRUE(isOpen(pipe.fds[0]));

    owner.reset(pipe.fds[0]);
    owner.reset(pipe.fds[1]);
    EXPECT_FALSE(isOpen(pipe.fds[0]));
    owner.reset(-5);
    EXPECT_FALSE(isOpen(pipe.fds[1]));
    EXPECT_EQ(owner.get(), -1);
    EXPECT_EQ(UniqueFd(-7).get(), -1);
}

TEST(UniqueFdTests, AFailedCloseIsLoggedNotThrown) {
    // A descriptor number far above any this process opens, so closing it fails with EBADF.
    constexpr int neverOpened = 987654;
    { UniqueFd stale(neverOpened); }
    const auto entries = oslog::LogStore::shared().recentEntries("platform", std::chrono::hours(1));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().category, "fd");
    EXPECT_EQ(entries.back().level, oslog::LogLevel::error);
    EXPECT_EQ(entries.back().message, "close(987654) failed: Bad file descriptor");
}
