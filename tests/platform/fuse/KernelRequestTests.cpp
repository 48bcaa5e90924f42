#include "platform/fuse/KernelRequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace fusehost {
namespace {

// Stands in for fuse_reply_err: counts the answers and remembers the last error.
std::atomic<int> sentErrors{0};
std::atomic<int> lastError{0};

int recordError(fuse_req_t, int error) {
    ++sentErrors;
    lastError = error;
    return 0;
}

fuse_req_t fakeRequest(std::uintptr_t value) {
    return reinterpret_cast<fuse_req_t>(value);
}

class KernelRequestTests : public ::testing::Test {
protected:
    void SetUp() override {
        sentErrors = 0;
        lastError = 0;
    }
    std::shared_ptr<KernelRequestRegistry> registry = std::make_shared<KernelRequestRegistry>(&recordError);
};

TEST_F(KernelRequestTests, OnlyTheFirstAnswerIsSent) {
    auto request = registry->begin(fakeRequest(0x10));
    int sends = 0;
    EXPECT_EQ(request->answer([&](fuse_req_t) { return ++sends, 0; }), 0);
    EXPECT_EQ(request->answer([&](fuse_req_t) { return ++sends, 0; }), -ECANCELED);
    request->fail(ENOENT);
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(sentErrors, 0);
    EXPECT_TRUE(request->isSettled());
    request.reset();
    EXPECT_EQ(sentErrors, 0);
    EXPECT_EQ(registry->outstanding(), 0U);
}

TEST_F(KernelRequestTests, ARequestLetGoUnansweredIsAnsweredEIO) {
    registry->begin(fakeRequest(0x20)).reset();
    EXPECT_EQ(sentErrors, 1);
    EXPECT_EQ(lastError, EIO);
}

TEST_F(KernelRequestTests, FailNeverSendsZero) {
    auto request = registry->begin(fakeRequest(0x30));
    request->fail(0);
    EXPECT_EQ(lastError, EIO);
}

TEST_F(KernelRequestTests, SettleAllAnswersTheWaitingAndLateAnswersAreDropped) {
    auto first = registry->begin(fakeRequest(0x40));
    auto second = registry->begin(fakeRequest(0x50));
    ASSERT_EQ(first->answer([](fuse_req_t) { return 0; }), 0);
    EXPECT_TRUE(registry->settleAll(ENOTCONN, platform::Clock::system(), std::chrono::seconds(5)));
    EXPECT_EQ(sentErrors, 1);
    EXPECT_EQ(lastError, ENOTCONN);
    EXPECT_TRUE(second->isSettled());
    int sends = 0;
    EXPECT_EQ(second->answer([&](fuse_req_t) { return ++sends, 0; }), -ECANCELED);
    second.reset();
    EXPECT_EQ(sends, 0);
    EXPECT_EQ(sentErrors, 1);
    EXPECT_EQ(registry->outstanding(), 0U);
}

TEST_F(KernelRequestTests, RacingAnswersFromManyThreadsSendOnce) {
    for (int round = 0; round < 50; ++round) {
        auto request = registry->begin(fakeRequest(0x60));
        std::atomic<int> sends{0};
        std::vector<std::thread> threads;
        for (int index = 0; index < 4; ++index) {
            threads.emplace_back([&] { request->answer([&](fuse_req_t) { return ++sends, 0; }); });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(sends, 1);
    }
    EXPECT_EQ(sentErrors, 0);
}

} // namespace
} // namespace fusehost
