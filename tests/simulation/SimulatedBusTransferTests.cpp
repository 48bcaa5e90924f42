#include "simulation/SimulatedBus.h"
#include "tests/simulation/SimulatedBusScriptedFunction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <variant>

namespace simulation {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::ScriptedFunction;
using testing::statusOf;

constexpr std::uint8_t bulkIn = 0x81;
constexpr std::uint8_t bulkOut = 0x02;
constexpr std::uint8_t interruptIn = 0x83;

DeviceSpec phone(std::shared_ptr<usb::DeviceFunction> function, std::uint16_t packetSize = 512) {
    DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.productName = "Phone 7";
    spec.serialNumber = "ABC";
    spec.interfaces = {InterfaceSpec::stillImage(0, packetSize)};
    spec.function = std::move(function);
    return spec;
}

// A bus with one phone whose MTP interface is open.
struct OpenPhone {
    explicit OpenPhone(std::uint16_t packetSize = 512)
        : function(std::make_shared<ScriptedFunction>()), plugged(bus.plug(phone(function, packetSize))),
          handle(bus.open(plugged.interfaceIDs.at(0), usb::OpenMode::exclusive)) {}

    platform::VirtualClock clock;
    SimulatedBus bus{clock};
    std::shared_ptr<ScriptedFunction> function;
    PluggedDevice plugged;
    usb::HandleID handle;
};

// --- Packets and transfer boundaries -----------------------------------------------------------------

struct InTransferCase {
    const char* name;
    std::uint16_t packetSize;
    std::vector<std::pair<std::size_t, usb::InTransfer::ZeroLengthPacket>> deviceTransfers;
    std::vector<std::size_t> hostReads;
    // Per host read: the bytes it got, or the status it failed with.
    std::vector<std::variant<std::size_t, usb::Status>> expected;
};

void PrintTo(const InTransferCase& value, std::ostream* out) {
    *out << value.name;
}

constexpr auto withZLP = usb::InTransfer::ZeroLengthPacket::whenAligned;
constexpr auto noZLP = usb::InTransfer::ZeroLengthPacket::never;

class InTransferTests : public ::testing::TestWithParam<InTransferCase> {};

TEST_P(InTransferTests, HostReadsEndWhereUSBEndsThem) {
    const auto& param = GetParam();
    OpenPhone phone(param.packetSize);
    std::uint8_t next = 0;
    for (const auto& [size, zlp] : param.deviceTransfers) {
        phone.function->queueIn(bulkIn, usb::InReply::send(bytes(size, next), zlp));
        next = static_cast<std::uint8_t>(next + size);
    }
    std::uint8_t expectedByte = 0;
    for (std::size_t i = 0; i < param.hostReads.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        std::variant<std::size_t, usb::Status> got;
        try {
            const auto data = phone.bus.readPipe(phone.handle, bulkIn, param.hostReads[i], 0ms);
            for (const auto byte : data) {
                // Bytes arrive in order, with none lost or repeated between reads (overruns excepted).
                if (std::get_if<usb::Status>(&param.expected[i]) == nullptr) {
                    EXPECT_EQ(std::to_integer<std::uint8_t>(byte), expectedByte);
                }
                ++expectedByte;
            }
            got = data.size();
        } catch (const usb::USBError& error) {
            got = error.status();
            if (error.status() == usb::Status::overrun) {
                expectedByte = static_cast<std::uint8_t>(expectedByte + param.packetSize);
            }
        }
        EXPECT_EQ(got, param.expected[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, InTransferTests,
    ::testing::Values(
        InTransferCase{"ShortTransferInBigBuffer", 512, {{100, withZLP}}, {4096}, {std::size_t{100}}},
        InTransferCase{"AlignedTransferEndsAtItsZLP",
                       512,
                       {{1024, withZLP}},
                       {4096, 4096},
                       {std::size_t{1024}, usb::Status::timeout}},
        InTransferCase{"TransferLargerThanBufferSplits",
                       512,
                       {{1000, withZLP}},
                       {512, 512},
                       {std::size_t{512}, std::size_t{488}}},
        InTransferCase{"FullBufferLeavesTheZLPForTheNextRead",
                       512,
                       {{1024, withZLP}},
                       {1024, 512},
                       {std::size_t{1024}, std::size_t{0}}},
        InTransferCase{
            "WithoutZLPTransfersRunOn", 512, {{512, noZLP}, {100, withZLP}}, {4096}, {std::size_t{612}}},
        InTransferCase{"MissingZLPKeepsTheReadWaiting", 512, {{512, noZLP}}, {4096}, {usb::Status::timeout}},
        InTransferCase{"EmptyTransferIsOneZLP", 64, {{0, noZLP}}, {64}, {std::size_t{0}}},
        InTransferCase{
            "FullSpeedPackets", 64, {{150, withZLP}}, {128, 128}, {std::size_t{128}, std::size_t{22}}},
        InTransferCase{"PacketLargerThanRoomOverruns",
                       512,
                       {{600, withZLP}},
                       {100, 512},
                       {usb::Status::overrun, std::size_t{88}}},
        InTransferCase{
            "ZeroLengthReadTakesAZLP", 512, {{512, withZLP}}, {512, 0}, {std::size_t{512}, std::size_t{0}}},
        InTransferCase{"NothingProducedTimesOut", 512, {}, {512}, {usb::Status::timeout}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedBusTransferTests, WritesReachTheFunctionWholeWithTheirBoundaries) {
    OpenPhone phone;
    EXPECT_EQ(phone.bus.writePipe(phone.handle, bulkOut, bytes(1024), 1000ms), 1024u);
    EXPECT_EQ(phone.bus.writePipe(phone.handle, bulkOut, {}, 1000ms), 0u);
    EXPECT_EQ(phone.bus.writePipe(phone.handle, bulkOut, bytes("hello"), 1000ms), 5u);
    const auto received = phone.function->received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], bytes(1024));
    EXPECT_TRUE(received[1].empty());
    EXPECT_EQ(received[2], bytes("hello"));
}

TEST(SimulatedBusTransferTests, InterruptEndpointReadsLikeBulk) {
    OpenPhone phone;
    phone.function->queueIn(interruptIn, usb::InReply::send(bytes(16)));
    EXPECT_EQ(phone.bus.readPipe(phone.handle, interruptIn, 64, 0ms), bytes(16));
}

// --- Waiting, time-outs and ending transfers from other threads --------------------------------------

TEST(SimulatedBusTransferTests, ReadWaitsOnTheClockUntilItsTimeout) {
    OpenPhone phone;
    const auto start = phone.clock.now();
    auto read = std::async(std::launch::async, [&] {
        return statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 5000ms); });
    });
    ASSERT_TRUE(phone.clock.waitForWaiters(1));
    phone.clock.advance(5s);
    EXPECT_EQ(read.get(), usb::Status::timeout);
    EXPECT_EQ(phone.clock.now() - start, 5s);
}

TEST(SimulatedBusTransferTests, WriteThatTheDeviceNeverTakesTimesOut) {
    OpenPhone phone;
    phone.function->queueOut(usb::Reply::notYet);
    auto write = std::async(std::launch::async, [&] {
        return statusOf([&] { phone.bus.writePipe(phone.handle, bulkOut, bytes(12), 3000ms); });
    });
    ASSERT_TRUE(phone.clock.waitForWaiters(1));
    phone.clock.advance(3s);
    EXPECT_EQ(write.get(), usb::Status::timeout);
    EXPECT_TRUE(phone.function->received().empty());
}

TEST(SimulatedBusTransferTests, DataReadyWakesAWaitingReadBeforeItsTimeout) {
    OpenPhone phone;
    auto read = std::async(std::launch::async,
                           [&] { return phone.bus.readPipe(phone.handle, bulkIn, 512, usb::noTimeout); });
    ASSERT_TRUE(phone.clock.waitForWaiters(1));
    phone.function->queueIn(bulkIn, usb::InReply::send(bytes("response")));
    phone.function->link()->dataReady();
    EXPECT_EQ(read.get(), bytes("response"));
}

TEST(SimulatedBusTransferTests, UnplugCloseAndAbortEndABlockedReadAtOnce) {
    struct Case {
        const char* name;
        std::function<void(OpenPhone&)> end;
        usb::Status expected;
    };
    const std::vector<Case> cases{
        {"unplug", [](OpenPhone& p) { p.bus.unplug(p.plugged.deviceID); }, usb::Status::noDevice},
        {"close", [](OpenPhone& p) { p.bus.close(p.handle); }, usb::Status::aborted},
        {"abort", [](OpenPhone& p) { p.bus.abortPipe(p.handle, bulkIn); }, usb::Status::aborted},
        {"function disconnects", [](OpenPhone& p) { p.function->link()->disconnect(); },
         usb::Status::noDevice},
        {"seized", [](OpenPhone& p) { p.bus.open(p.plugged.interfaceIDs[0], usb::OpenMode::seize); },
         usb::Status::noDevice},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        OpenPhone phone;
        auto read = std::async(std::launch::async, [&] {
            return statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, usb::noTimeout); });
        });
        ASSERT_TRUE(phone.clock.waitForWaiters(1));
        each.end(phone);
        EXPECT_EQ(read.get(), each.expected);
    }
}

TEST(SimulatedBusTransferTests, TransfersOnOnePipeRunOneAfterTheOther) {
    OpenPhone phone;
    auto first =
        std::async(std::launch::async, [&] { return phone.bus.readPipe(phone.handle, bulkIn, 512, 10s); });
    ASSERT_TRUE(phone.clock.waitForWaiters(1));
    auto second =
        std::async(std::launch::async, [&] { return phone.bus.readPipe(phone.handle, bulkIn, 512, 10s); });
    ASSERT_TRUE(phone.clock.waitForWaiters(2));
    phone.function->queueIn(bulkIn, usb::InReply::send(bytes("one")));
    phone.function->queueIn(bulkIn, usb::InReply::send(bytes("two")));
    phone.function->link()->dataReady();
    // The first read holds the pipe until its transfer is done; the second gets the next one, whole.
    EXPECT_EQ(first.get(), bytes("one"));
    EXPECT_EQ(second.get(), bytes("two"));
}

// --- Stalls, faults and misuse -----------------------------------------------------------------------

TEST(SimulatedBusTransferTests, StallHaltsThePipeUntilTheHostClearsIt) {
    OpenPhone phone;
    phone.function->queueIn(bulkIn, usb::InReply::of(usb::Reply::stall));
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::stalled);
    const auto callsAfterStall = phone.function->inCalls();
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::stalled);
    EXPECT_EQ(phone.function->inCalls(), callsAfterStall) << "a halted pipe must not reach the device";

    phone.bus.clearStall(phone.handle, bulkIn);
    EXPECT_EQ(phone.function->haltsCleared(), std::vector<std::uint8_t>{bulkIn});
    phone.function->queueIn(bulkIn, usb::InReply::send(bytes(8)));
    EXPECT_EQ(phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms).size(), 8u);
}

TEST(SimulatedBusTransferTests, ClearingAStallDropsWhatTheDeviceHadQueued) {
    OpenPhone phone;
    phone.function->queueIn(bulkIn, usb::InReply::send(bytes(1000)));
    EXPECT_EQ(phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms).size(), 512u);
    phone.bus.clearStall(phone.handle, bulkIn);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::timeout);
}

TEST(SimulatedBusTransferTests, InjectedFaultsMeetTheNextTransfers) {
    struct Case {
        const char* name;
        TransferFault fault;
        std::uint8_t endpoint;
        usb::Status expected;
    };
    const std::vector<Case> cases{
        {"timeout", TransferFault::timeout(), bulkIn, usb::Status::timeout},
        {"stall", TransferFault::stall(), bulkIn, usb::Status::stalled},
        {"disconnect", TransferFault::disconnect(), bulkOut, usb::Status::noDevice},
        {"not responding", TransferFault::fail(usb::Status::notResponding), bulkOut,
         usb::Status::notResponding},
        {"control", TransferFault::fail(usb::Status::error), usb::controlEndpoint, usb::Status::error},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        OpenPhone phone;
        phone.function->queueIn(bulkIn, usb::InReply::send(bytes(4)));
        phone.bus.injectTransferFault(phone.plugged.interfaceIDs[0], each.endpoint, each.fault);
        const auto status = statusOf([&] {
            if (each.endpoint == bulkIn) {
                phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms);
            } else if (each.endpoint == bulkOut) {
                phone.bus.writePipe(phone.handle, bulkOut, bytes(4), 0ms);
            } else {
                phone.bus.controlRequest(phone.handle, {0x21, 0x66, 0, 0, 0}, {}, 0ms);
            }
        });
        EXPECT_EQ(status, each.expected);
        if (each.fault.kind == TransferFault::Kind::disconnect) {
            EXPECT_FALSE(phone.bus.entry(phone.plugged.deviceID));
        }
    }
}

TEST(SimulatedBusTransferTests, InjectedFaultsLastForTheirCount) {
    OpenPhone phone;
    phone.bus.injectTransferFault(phone.plugged.deviceID, bulkOut, TransferFault::fail(usb::Status::error),
                                  2);
    EXPECT_EQ(statusOf([&] { phone.bus.writePipe(phone.handle, bulkOut, bytes(4), 0ms); }),
              usb::Status::error);
    EXPECT_EQ(statusOf([&] { phone.bus.writePipe(phone.handle, bulkOut, bytes(4), 0ms); }),
              usb::Status::error);
    EXPECT_EQ(phone.bus.writePipe(phone.handle, bulkOut, bytes(4), 0ms), 4u);
}

TEST(SimulatedBusTransferTests, ShortWriteReportsAndDeliversOnlyPartOfTheBuffer) {
    OpenPhone phone;
    phone.bus.injectTransferFault(phone.plugged.deviceID, bulkOut, TransferFault::shortWrite(512));
    EXPECT_EQ(phone.bus.writePipe(phone.handle, bulkOut, bytes(1000), 1000ms), 512u);
    ASSERT_EQ(phone.function->received().size(), 1u);
    EXPECT_EQ(phone.function->received()[0], bytes(512));
}

TEST(SimulatedBusTransferTests, FunctionThatDisconnectsTakesTheDeviceOffTheBus) {
    OpenPhone phone;
    phone.function->queueIn(bulkIn, usb::InReply::of(usb::Reply::disconnect));
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::noDevice);
    EXPECT_FALSE(phone.bus.entry(phone.plugged.deviceID));
    EXPECT_FALSE(phone.function->link()->isAttached());
    EXPECT_EQ(statusOf([&] { phone.bus.writePipe(phone.handle, bulkOut, bytes(1), 0ms); }),
              usb::Status::noDevice);
}

TEST(SimulatedBusTransferTests, TransfersRefuseWrongPipesAndHandles) {
    OpenPhone phone;
    const auto deviceHandle = phone.bus.open(phone.plugged.deviceID, usb::OpenMode::exclusive);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkOut, 512, 0ms); }),
              usb::Status::badArgument);
    EXPECT_EQ(statusOf([&] { phone.bus.writePipe(phone.handle, bulkIn, bytes(1), 0ms); }),
              usb::Status::badArgument);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, 0x8F, 512, 0ms); }), usb::Status::badArgument);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(deviceHandle, bulkIn, 512, 0ms); }),
              usb::Status::badArgument);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(9999, bulkIn, 512, 0ms); }), usb::Status::notOpen);
    phone.bus.close(phone.handle);
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::notOpen);
}

// --- Control requests --------------------------------------------------------------------------------

TEST(SimulatedBusTransferTests, ClassRequestsReachTheFunction) {
    OpenPhone phone;
    const usb::ControlSetup deviceReset{0x21, 0x66, 0, 0, 0};
    EXPECT_TRUE(phone.bus.controlRequest(phone.handle, deviceReset, {}, 5000ms).empty());
    ASSERT_EQ(phone.function->controlRequests().size(), 1u);
    EXPECT_EQ(phone.function->controlRequests()[0], deviceReset);

    // A device-to-host request gets the function's data stage, cut to wLength.
    phone.function->setControlReply(usb::ControlReply::accept(bytes(8)));
    EXPECT_EQ(phone.bus.controlRequest(phone.handle, {0xA1, 0x67, 0, 0, 4}, {}, 5000ms), bytes(4));

    phone.function->setControlReply(usb::ControlReply::of(usb::Reply::stall));
    EXPECT_EQ(statusOf([&] { phone.bus.controlRequest(phone.handle, deviceReset, {}, 5000ms); }),
              usb::Status::stalled);
    // A control stall fails only that request.
    phone.function->setControlReply(usb::ControlReply::accept());
    EXPECT_NO_THROW(phone.bus.controlRequest(phone.handle, deviceReset, {}, 5000ms));
    // The data stage must match the set-up packet.
    EXPECT_EQ(statusOf([&] { phone.bus.controlRequest(phone.handle, deviceReset, bytes(2), 5000ms); }),
              usb::Status::badArgument);
}

TEST(SimulatedBusTransferTests, StandardRequestsAreAnsweredByTheBus) {
    OpenPhone phone;
    EXPECT_EQ(
        phone.bus.controlRequest(phone.handle, {0x80, usb::requestGetConfiguration, 0, 0, 1}, {}, 1000ms),
        std::vector<std::byte>{std::byte{1}});
    phone.function->queueIn(bulkIn, usb::InReply::of(usb::Reply::stall));
    EXPECT_EQ(statusOf([&] { phone.bus.readPipe(phone.handle, bulkIn, 512, 0ms); }), usb::Status::stalled);
    phone.bus.controlRequest(
        phone.handle, {0x02, usb::requestClearFeature, usb::featureEndpointHalt, bulkIn, 0}, {}, 1000ms);
    EXPECT_EQ(phone.function->haltsCleared(), std::vector<std::uint8_t>{bulkIn});
    EXPECT_TRUE(phone.function->controlRequests().empty());
}

} // namespace
} // namespace simulation
