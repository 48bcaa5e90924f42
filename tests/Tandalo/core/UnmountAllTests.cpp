#include "Tandalo/core/MountManager.h"

#include "platform/foundation/OneShot.h"
#include "tests/Tandalo/core/CoreFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;

class UnmountAllTests : public ::testing::Test {
protected:
    /// Runs unmountAll() on a thread of its own, as the main thread would, and says when it returned.
    platform::OneShot<platform::Clock::TimePoint> unmountAllInBackground() {
        platform::OneShot<platform::Clock::TimePoint> returned;
        m_caller = std::thread([this, returned]() mutable {
            m_manager.unmountAll();
            returned.resume(m_clock.now());
        });
        return returned;
    }
    void TearDown() override {
        if (m_caller.joinable()) {
            m_clock.advance(1h); // a failed test must not leave the caller waiting
            m_caller.join();
        }
    }
    /// Waits in real time, briefly, until the condition holds.
    static bool eventually(const std::function<bool()>& condition) {
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (!condition() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
        return condition();
    }

    platform::VirtualClock m_clock;
    platform::SystemClock m_real;
    testing::FakeProcessRunner m_runner;
    testing::FakeMountTable m_table;
    testing::FakeFileOperations m_files;
    testing::FakeVolumeUnmounter m_volumes;
    testing::FakeVolumeServers m_servers;
    MountManager m_manager{MountServices{m_runner, m_table, m_files, m_volumes, m_servers, m_clock},
                           MountTools{}};
    std::thread m_caller;
};

TEST_F(UnmountAllTests, WithNothingMountedReturnsAtOnceAndStartsNothing) {
    m_table.add("/dev/sda1", "/", "ext4");
    m_manager.unmountAll();
    EXPECT_TRUE(m_volumes.calls().empty());
    EXPECT_EQ(m_clock.now(), platform::Clock::TimePoint{});
}

TEST_F(UnmountAllTests, UnmountsInParallelForcesAfterFourSecondsAndReturnsAfterTenAtMost) {
    m_table.add("mtp://a", "/m/A");
    m_table.add("mtp://b", "/m/B");
    m_table.add("mtp://c", "/m/C");
    // A unmounts, B hangs in the normal chain and is forced at 4 s, C hangs even when forced.
    m_volumes.setPoliteAnswer({true, std::nullopt}, "/m/B");
    m_volumes.setPoliteAnswer({true, std::nullopt}, "/m/C");
    m_volumes.setForcedAnswer({true, std::nullopt}, "/m/C");
    auto returned = unmountAllInBackground();
    // All three have asked to unmount, and both the caller (10 s) and the background thread (4 s) wait.
    ASSERT_TRUE(eventually([&] { return m_volumes.calls().size() == 3 && m_clock.waiterCount() == 2; }));
    m_clock.advance(4s);
    ASSERT_TRUE(eventually([&] { return m_volumes.calls().size() == 5; }));
    auto calls = m_volumes.calls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"force /m/B", "force /m/C", "unmount /m/A", "unmount /m/B",
                                               "unmount /m/C"}));
    EXPECT_FALSE(returned.isResumed()) << "C is still being unmounted";
    m_clock.advance(6s);
    EXPECT_EQ(returned.waitFor(m_real, 20s), platform::Clock::TimePoint(10s));
}

} // namespace
} // namespace tandalo::app
