#include "Corvane/device/MTPDevice.h"

#include "DeviceTestSupport.h"
#include "ScriptedTransport.h"

#include "Corvane/wire/PTPWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <thread>

namespace corvane {
namespace {

using testing::code;
using testing::DeviceRig;
using testing::Reply;

constexpr std::uint32_t storageA = 0x00010001;
constexpr auto realLimit = std::chrono::seconds(20);

void answerEverything(DeviceRig& rig) {
    rig.on(PTPOperation::getObjectInfo, [](const PTPContainer& command) {
        ObjectInfo info(storageA, 0xFFFFFFFF, "file" + std::to_string(command.params()[0]), 0x3000, 10, 0);
        return Reply::withData(info.encoded());
    });
    rig.on(PTPOperation::getObject,
           [](const PTPContainer&) { return Reply::withData(testing::patternBytes(3000)); });
    rig.on(PTPOperation::sendObjectInfo, [](const PTPContainer& command) {
        return Reply::ok({storageA, 0xFFFFFFFF, 1000 + command.transactionID()});
    });
    rig.on(PTPOperation::sendObject, [](const PTPContainer&) { return Reply::ok(); });
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
}

// A getObject on a thread of its own, held inside its first chunk until released.
class HeldTransfer {
public:
    explicit HeldTransfer(DeviceRig& rig)
        : m_thread([this, &rig] {
              bool first = true;
              rig.device->hold()->getObject(1, [&](std::span<const std::byte>) {
                  if (first) {
                      first = false;
                      m_inside.count_down();
                      m_released.wait();
                  }
              });
          }) {
        m_inside.wait();
    }
    void release() {
        m_release.set_value();
        m_thread.join();
    }

private:
    std::latch m_inside{1};
    std::promise<void> m_release;
    std::shared_future<void> m_released = m_release.get_future().share();
    std::jthread m_thread; // last: it uses the others
};

TEST(MTPDeviceConcurrencyTests, ManyThreadsNeverInterleaveTransactions) {
    DeviceRig rig(testing::allOperations(), {}, 64);
    rig.open();
    rig.device->setReadChunkSize(1024); // several reads per data phase, so that there is room to interleave
    answerEverything(rig);
    constexpr int threads = 8;
    constexpr int rounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                try {
                    switch ((t + i) % 4) {
                    case 0:
                        if (rig.device->hold()->getObjectInfo(static_cast<std::uint32_t>(i)).filename !=
                            "file" + std::to_string(i)) {
                            ++failures;
                        }
                        break;
                    case 1: {
                        std::size_t received = 0;
                        rig.device->hold()->getObject(
                            1, [&](std::span<const std::byte> chunk) { received += chunk.size(); });
                        if (received != 3000) {
                            ++failures;
                        }
                        break;
                    }
                    case 2:
                        rig.device->hold()->sendObject(testing::patternBytes(2500));
                        break;
                    default:
                        rig.device->hold()->deleteObject(static_cast<std::uint32_t>(i));
                    }
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    workers.clear();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(rig.transport->sawInterleaving());
    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), static_cast<std::size_t>(threads * rounds));
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].transactionID(), i + 1) << "IDs follow the order on the wire";
    }
}

TEST(MTPDeviceConcurrencyTests, ExclusiveKeepsSendObjectInfoNextToItsSendObject) {
    DeviceRig rig;
    rig.open();
    answerEverything(rig);
    std::atomic<int> failures{0};
    std::vector<std::jthread> workers;
    for (int t = 0; t < 6; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                try {
                    if (t % 2 == 0) {
                        rig.device->exclusive([&](MTPDevice::Session& session) {
                            session.createFile(storageA, 0xFFFFFFFF, "n", 100, {});
                            session.sendObject(testing::patternBytes(100));
                        });
                    } else {
                        rig.device->hold()->deleteObject(static_cast<std::uint32_t>(i));
                    }
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    workers.clear();
    EXPECT_EQ(failures.load(), 0);
    const auto codes = rig.commandCodes();
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == code(PTPOperation::sendObjectInfo)) {
            ASSERT_LT(i + 1, codes.size());
            EXPECT_EQ(codes[i + 1], code(PTPOperation::sendObject)) << "at command " << i;
        }
    }
    EXPECT_FALSE(rig.transport->sawInterleaving());
}

TEST(MTPDeviceConcurrencyTests, OtherThreadsWaitForAnExclusiveScope) {
    DeviceRig rig;
    rig.open();
    answerEverything(rig);
    std::latch waiterStarting(1);
    std::jthread waiter;
    rig.device->exclusive([&](MTPDevice::Session& session) {
        session.deleteObject(1);
        waiter = std::jthread([&] {
            waiterStarting.count_down();
            rig.device->hold()->deleteObject(99);
        });
        waiterStarting.wait();
        session.deleteObject(2);
        session.deleteObject(3);
    });
    waiter.join();
    std::vector<std::uint32_t> handles;
    for (const auto& command : rig.commands()) {
        handles.push_back(command.params()[0]);
    }
    EXPECT_EQ(handles, (std::vector<std::uint32_t>{1, 2, 3, 99}));
}

TEST(MTPDeviceConcurrencyTests, AccessorsAnswerWhileATransferIsUnderWay) {
    DeviceRig rig;
    rig.open();
    answerEverything(rig);
    HeldTransfer transfer(rig);
    auto answers = std::async(std::launch::async, [&] {
        rig.device->setDataTimeout(Seconds(5));
        rig.device->setCommandTimeout(Seconds(3));
        return rig.device->info().has_value() && rig.device->isConnected() &&
               rig.device->dataTimeout() == Seconds(5);
    });
    const bool answered = answers.wait_for(realLimit) == std::future_status::ready;
    transfer.release();
    ASSERT_TRUE(answered) << "an accessor waited for the device";
    EXPECT_TRUE(answers.get());
    // The new time-outs apply from the next transaction on.
    rig.transport->clearCalls();
    rig.device->hold()->deleteObject(4);
    EXPECT_EQ(rig.transport->calls().front().timeout, Seconds(3));
    EXPECT_EQ(rig.transport->calls().back().timeout, Seconds(5));
}

TEST(MTPDeviceConcurrencyTests, BatteryPollWaitsBehindATransfer) {
    DeviceRig rig(testing::allOperations(), {0x5001});
    rig.open();
    answerEverything(rig);
    rig.on(PTPOperation::getDevicePropDesc, [](const PTPContainer&) { return Reply::error(0x2002); });
    rig.on(PTPOperation::getDevicePropValue,
           [](const PTPContainer&) { return Reply::withData(testing::bytes({80})); });
    HeldTransfer transfer(rig);
    std::latch pollStarting(1);
    auto poll = std::async(std::launch::async, [&] {
        pollStarting.count_down();
        return rig.device->hold()->batteryLevel();
    });
    pollStarting.wait();
    transfer.release();
    ASSERT_EQ(poll.wait_for(realLimit), std::future_status::ready);
    EXPECT_EQ(poll.get(), 80);
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::getObject),
                                                              code(PTPOperation::getDevicePropDesc),
                                                              code(PTPOperation::getDevicePropValue)}));
    EXPECT_FALSE(rig.transport->sawInterleaving());
}

} // namespace
} // namespace corvane
