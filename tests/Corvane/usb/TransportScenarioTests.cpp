// Both USB transports against one set of scenarios on the simulated bus: what they open, what reaches the
// device, how transfers end, and how failures and closing look to the session.
#include "Corvane/usb/IOUSBHostTransport.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "tests/Corvane/usb/TransportTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using simulation::InterfaceSpec;
using simulation::TransferFault;
using simulation::testing::bytes;
using simulation::testing::ScriptedFunction;
using testing::describeFailure;
using testing::errorOf;

constexpr std::uint8_t bulkIn = 0x81;
constexpr std::uint8_t bulkOut = 0x02;

enum class Kind { iousbLib, iousbHost };

std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::iousbLib ? "IOUSBLib" : "IOUSBHost";
}

InterfaceSpec withEndpoints(std::vector<usb::EndpointDescriptor> endpoints, std::uint8_t number = 0) {
    auto spec = InterfaceSpec::stillImage(number);
    spec.endpoints = std::move(endpoints);
    return spec;
}

class TransportScenarioTests : public ::testing::TestWithParam<Kind> {
protected:
    bool isLib() const { return GetParam() == Kind::iousbLib; }
    std::string pick(const std::string& lib, const std::string& host) const { return isLib() ? lib : host; }

    simulation::PluggedDevice plug(std::vector<InterfaceSpec> interfaces = {InterfaceSpec::stillImage(0)}) {
        auto spec = testing::scriptedPhone(function);
        spec.interfaces = std::move(interfaces);
        plugged = usb.bus->plug(std::move(spec));
        return plugged;
    }

    std::unique_ptr<PTPTransport> open(const USBDeviceDescriptor& descriptor) {
        if (isLib()) {
            return IOUSBLibTransport::open(descriptor, TakeOver::never, usb.clock, usb.port);
        }
        return IOUSBHostTransport::open(
            descriptor,
            [this] {
                std::lock_guard guard(disconnectMutex);
                ++disconnects;
                disconnectChanged.notify_all();
            },
            usb.port);
    }

    /// Plugs the phone and opens its MTP interface.
    std::unique_ptr<PTPTransport> openPhone(std::vector<InterfaceSpec> interfaces = {
                                                InterfaceSpec::stillImage(0)}) {
        plug(std::move(interfaces));
        return open(usb.descriptor(plugged.interfaceIDs.at(0)));
    }

    /// A read of 512 bytes with a 30 s time-out, on its own thread, once the bus blocks on it.
    std::future<std::string> blockedRead(PTPTransport& transport) {
        auto reading = std::async(
            std::launch::async, [&transport] { return describeFailure([&] { transport.read(512, 30s); }); });
        EXPECT_TRUE(usb.clock.waitForDeadline(usb.clock.now() + 30s)) << "the read never blocked";
        return reading;
    }

    /// The outcome of a read that blockedRead started and that something other than time should end. A
    /// read still blocked after 20 s of real time fails the test; the clock then runs past its time-out,
    /// so the test ends instead of hanging.
    std::string endedWithoutTime(std::future<std::string>& reading) {
        if (reading.wait_for(20s) != std::future_status::ready) {
            ADD_FAILURE() << "the blocked read did not end";
            usb.clock.advance(31s);
        }
        return reading.get();
    }

    bool waitForDisconnects(int count) {
        std::unique_lock lock(disconnectMutex);
        return disconnectChanged.wait_for(lock, 20s, [&] { return disconnects == count; });
    }

    testing::SimulatedUSB usb;
    std::shared_ptr<ScriptedFunction> function = std::make_shared<ScriptedFunction>();
    simulation::PluggedDevice plugged;
    std::mutex disconnectMutex; // guards disconnects
    std::condition_variable disconnectChanged;
    int disconnects = 0;
};

INSTANTIATE_TEST_SUITE_P(BothTransports, TransportScenarioTests,
                         ::testing::Values(Kind::iousbLib, Kind::iousbHost), kindName);

// --- Opening -----------------------------------------------------------------------------------------

TEST_P(TransportScenarioTests, TakesThePacketSizeFromTheBulkInEndpoint) {
    struct Case {
        const char* name;
        std::uint16_t wMaxPacketSize;
        std::size_t expected;
    };
    const std::vector<Case> cases{
        {"high speed", 512, 512},
        {"full speed", 64, 64},
        {"below the minimum", 8, 64},
        {"with high-speed transaction bits", 0x1200, 512},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        testing::SimulatedUSB bus;
        const auto interfaceSpec = withEndpoints({usb::EndpointDescriptor::bulkIn(1, each.wMaxPacketSize),
                                                  usb::EndpointDescriptor::bulkOut(2, 512)});
        auto spec = testing::scriptedPhone(std::make_shared<ScriptedFunction>());
        spec.interfaces = {interfaceSpec};
        const auto device = bus.bus->plug(spec);
        const auto descriptor = bus.descriptor(device.interfaceIDs[0]);
        const auto transport = isLib() ? std::unique_ptr<PTPTransport>(IOUSBLibTransport::open(
                                             descriptor, TakeOver::never, bus.clock, bus.port))
                                       : IOUSBHostTransport::open(descriptor, {}, bus.port);
        EXPECT_EQ(transport->maxPacketSize(), each.expected);
        EXPECT_TRUE(transport->isConnected());
    }
}

TEST_P(TransportScenarioTests, RefusesAnInterfaceWithoutABulkPairAndLeavesItClosed) {
    const std::vector<std::pair<const char*, std::vector<usb::EndpointDescriptor>>> cases{
        {"no endpoints", {}},
        {"no bulk IN",
         {usb::EndpointDescriptor::bulkOut(2, 512), usb::EndpointDescriptor::interruptIn(3, 64, 6)}},
        {"no bulk OUT",
         {usb::EndpointDescriptor::bulkIn(1, 512), usb::EndpointDescriptor::interruptIn(3, 64, 6)}},
    };
    for (const auto& [name, endpoints] : cases) {
        SCOPED_TRACE(name);
        testing::SimulatedUSB bus;
        auto spec = testing::scriptedPhone(std::make_shared<ScriptedFunction>());
        spec.interfaces = {withEndpoints(endpoints)};
        const auto device = bus.bus->plug(spec);
        const auto descriptor = bus.descriptor(device.interfaceIDs[0]);
        const auto error = errorOf([&] {
            if (isLib()) {
                IOUSBLibTransport::open(descriptor, TakeOver::never, bus.clock, bus.port);
            } else {
                IOUSBHostTransport::open(descriptor, {}, bus.port);
            }
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "USB: interface has no bulk IN/OUT endpoint pair");
        EXPECT_TRUE(bus.openHandles().empty()) << "the interface must be closed again";
        EXPECT_NO_THROW(bus.bus->close(bus.bus->open(device.interfaceIDs[0], usb::OpenMode::exclusive)));
    }
}

TEST_P(TransportScenarioTests, UsesTheLastBulkEndpointOfEachDirection) {
    const auto transport = openPhone(
        {withEndpoints({usb::EndpointDescriptor::bulkIn(1, 512), usb::EndpointDescriptor::bulkOut(2, 512),
                        usb::EndpointDescriptor::bulkIn(3, 64), usb::EndpointDescriptor::bulkOut(4, 64)})});
    EXPECT_EQ(transport->maxPacketSize(), 64u);
    function->queueIn(0x83, usb::InReply::send(bytes(10)));
    EXPECT_EQ(transport->read(64, 1s), bytes(10));
    transport->write(bytes(3), 1s);
    EXPECT_EQ(usb.details("writePipe"), std::vector<std::string>{"ep=0x04 length=3 timeout=1000ms"});
}

TEST_P(TransportScenarioTests, OpenFailuresSayWhy) {
    plug();
    const auto descriptor = usb.descriptor(plugged.interfaceIDs[0]);

    auto unknown = descriptor;
    unknown.registryEntryID = 0x7777;
    const auto notFound = errorOf([&] { open(unknown); });
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->kind(), PTPError::Kind::deviceNotFound);

    usb.bus->holdExclusively(descriptor.registryEntryID, {4242, "adb"});
    EXPECT_EQ(describeFailure([&] { open(descriptor); }),
              "device busy: interface is claimed by another process (Image Capture, Photos, adb?)");
    usb.bus->releaseHold(descriptor.registryEntryID);

    usb.bus->refuseOpens(descriptor.registryEntryID, usb::Status::notPermitted, 1);
    EXPECT_EQ(describeFailure([&] { open(descriptor); }),
              pick("USB: USBInterfaceOpen failed: 0xe00002e2",
                   "USB: open failed: The operation is not permitted. (0xe00002e2)"));
    EXPECT_TRUE(usb.openHandles().empty());
}

// --- Transfers ---------------------------------------------------------------------------------------

TEST_P(TransportScenarioTests, ReadsAskForWholePackets) {
    const auto transport = openPhone();
    const std::vector<std::pair<std::size_t, std::string>> cases{{100, "length=512"},
                                                                 {1300, "length=1024"},
                                                                 {0, "length=512"},
                                                                 {512, "length=512"},
                                                                 {2048, "length=2048"}};
    for (const auto& [maxLength, expected] : cases) {
        SCOPED_TRACE(maxLength);
        usb.bus->clearCallLog();
        function->queueIn(bulkIn, usb::InReply::send(bytes(7)));
        EXPECT_EQ(transport->read(maxLength, 5s), bytes(7));
        EXPECT_EQ(usb.details("readPipe"),
                  std::vector<std::string>{"ep=0x81 " + expected + " timeout=5000ms"});
    }
}

TEST_P(TransportScenarioTests, WritesTheWholeBufferAsOneRequestAndZeroLengthPacketsAsEmptyOnes) {
    const auto transport = openPhone();
    const auto data = bytes(1000, 3);
    transport->write(data, 5s);
    transport->writeZeroLength(5s);
    const std::vector<std::vector<std::byte>> expected{data, {}};
    EXPECT_EQ(function->received(), expected);
}

TEST_P(TransportScenarioTests, ReadsEndAtShortAndZeroLengthPackets) {
    const auto transport = openPhone();
    // A whole number of packets ends with a zero-length packet, which ends the read.
    function->queueIn(bulkIn, usb::InReply::send(bytes(512)));
    EXPECT_EQ(transport->read(4096, 5s).size(), 512u);
    // An empty transfer is one zero-length packet: an empty read, not an error.
    function->queueIn(bulkIn, usb::InReply::send({}));
    EXPECT_TRUE(transport->read(4096, 5s).empty());
    // Without the zero-length packet the next transfer runs on until its short packet.
    function->queueIn(bulkIn, usb::InReply::send(bytes(512), usb::InTransfer::ZeroLengthPacket::never));
    function->queueIn(bulkIn, usb::InReply::send(bytes(100)));
    EXPECT_EQ(transport->read(4096, 5s).size(), 612u);
}

TEST_P(TransportScenarioTests, TimeOutsReachTheBusClampedToWholeMillisecondsAndNeverZero) {
    const auto transport = openPhone();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        double seconds;
        const char* lib;
        const char* host;
    };
    const std::vector<Case> cases{
        {"30 s", 30.0, "30000ms", "30000ms"},
        {"fraction", 0.0015, "1ms", "2ms"},
        {"largest the caller may pass", 4294967.0, "4294967000ms", "4294967000ms"},
        {"below a millisecond", 0.0004, "1ms", "1ms"},
        // The platform reads 0 ms as "no time-out": nothing the caller passes may become it.
        {"zero", 0.0, "1ms", "1ms"},
        {"negative", -5.0, "1ms", "1ms"},
        {"NaN", nan, "1ms", "1ms"},
        {"beyond 32 bits of milliseconds", 1e300, "4294967295ms", "3153600000000ms"},
        {"infinite", infinity, "4294967295ms", "3153600000000ms"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        usb.bus->clearCallLog();
        function->queueIn(bulkIn, usb::InReply::send(bytes(4)));
        EXPECT_EQ(transport->read(512, Seconds(each.seconds)).size(), 4u);
        EXPECT_EQ(
            usb.details("readPipe"),
            std::vector<std::string>{std::string("ep=0x81 length=512 timeout=") + pick(each.lib, each.host)});
    }
}

TEST_P(TransportScenarioTests, TransfersOnADeviceThatNeverAnswersEndAtTheirTimeOut) {
    const auto transport = openPhone();
    const auto start = usb.clock.now();
    auto reading =
        std::async(std::launch::async, [&] { return describeFailure([&] { transport->read(512, 2.5s); }); });
    usb.clock.advanceWhenWaited(2500ms);
    EXPECT_EQ(reading.get(), "USB: read timed out");
    EXPECT_EQ(usb.clock.now() - start, 2500ms);

    function->queueOut(usb::Reply::notYet);
    auto writing = std::async(std::launch::async,
                              [&] { return describeFailure([&] { transport->write(bytes(10), 1.5s); }); });
    usb.clock.advanceWhenWaited(1500ms);
    EXPECT_EQ(writing.get(), "USB: write timed out");
    EXPECT_TRUE(transport->isConnected()) << "a time-out leaves the transport usable";
}

TEST_P(TransportScenarioTests, ResetSendsTheClassRequestAndClearsBothPipes) {
    const auto transport = openPhone({InterfaceSpec::stillImage(2)});
    transport->resetDevice();
    const std::vector<usb::ControlSetup> expected{{0x21, 0x66, 0, 2, 0}};
    EXPECT_EQ(function->controlRequests(), expected);
    EXPECT_EQ(function->haltsCleared(), (std::vector<std::uint8_t>{bulkIn, bulkOut}));
    EXPECT_EQ(usb.details("controlRequest"),
              std::vector<std::string>{"type=0x21 request=0x66 value=0 index=2 length=0 timeout=" +
                                       pick("1000ms", "5000ms")});
}

TEST_P(TransportScenarioTests, AFailedResetIsReportedAndClearsNothing) {
    const auto transport = openPhone();
    function->setControlReply(usb::ControlReply::of(usb::Reply::stall));
    EXPECT_EQ(describeFailure([&] { transport->resetDevice(); }),
              pick("USB: device reset failed: 0xe000404f",
                   "USB: device reset failed: The pipe is stalled. (0xe000404f)"));
    EXPECT_TRUE(function->haltsCleared().empty());
}

TEST_P(TransportScenarioTests, AStalledTransferClearsItsPipeSoTheNextOneRuns) {
    const auto transport = openPhone();
    function->queueIn(bulkIn, usb::InReply::of(usb::Reply::stall));
    function->queueIn(bulkIn, usb::InReply::send(bytes(12)));
    EXPECT_EQ(describeFailure([&] { transport->read(512, 5s); }),
              pick("USB: read failed: 0xe000404f", "USB: read failed: The pipe is stalled. (0xe000404f)"));
    EXPECT_EQ(function->haltsCleared(), std::vector<std::uint8_t>{bulkIn});
    EXPECT_EQ(transport->read(512, 5s), bytes(12));

    function->queueOut(usb::Reply::stall);
    EXPECT_EQ(describeFailure([&] { transport->write(bytes(20), 5s); }),
              pick("USB: write failed: 0xe000404f", "USB: write failed: The pipe is stalled. (0xe000404f)"));
    EXPECT_EQ(function->haltsCleared(), (std::vector<std::uint8_t>{bulkIn, bulkOut}));
    transport->write(bytes(20), 5s);
    EXPECT_EQ(function->received().back(), bytes(20));
}

TEST_P(TransportScenarioTests, BusFailuresBecomeLibraryErrors) {
    struct Case {
        const char* name;
        usb::Status status;
        const char* lib;
        const char* host;
    };
    const std::vector<Case> cases{
        {"time-out", usb::Status::timeout, "USB: read timed out", "USB: read timed out"},
        {"no device", usb::Status::noDevice, "USB: read: device disconnected",
         "USB: read: device disconnected"},
        {"not responding", usb::Status::notResponding, "USB: read: device disconnected",
         "USB: read: device disconnected"},
        {"aborted", usb::Status::aborted, "cancelled", "cancelled"},
        {"not permitted", usb::Status::notPermitted, "USB: read: not permitted (sandbox?)",
         "USB: read failed: The operation is not permitted. (0xe00002e2)"},
        {"other", usb::Status::error, "USB: read failed: 0xe00002bc",
         "USB: read failed: A general error occurred. (0xe00002bc)"},
    };
    const auto transport = openPhone();
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        usb.bus->injectTransferFault(plugged.deviceID, bulkIn, TransferFault::fail(each.status));
        EXPECT_EQ(describeFailure([&] { transport->read(512, 5s); }), pick(each.lib, each.host));
    }
}

TEST_P(TransportScenarioTests, AWriteTheDeviceTookOnlyPartOfFails) {
    const auto transport = openPhone();
    usb.bus->injectTransferFault(plugged.deviceID, bulkOut, TransferFault::shortWrite(512));
    EXPECT_EQ(describeFailure([&] { transport->write(bytes(1000), 5s); }),
              pick("USB: write failed: 0xe00002ca", "USB: short write: 512/1000"));
}

// --- Closing and unplugging --------------------------------------------------------------------------

TEST_P(TransportScenarioTests, AClosedTransportRefusesEveryTransferAndReleasesTheInterface) {
    const auto transport = openPhone();
    EXPECT_EQ(usb.openHandles().size(), 1u);
    transport->close();
    transport->close();
    EXPECT_FALSE(transport->isConnected());
    const std::vector<std::pair<const char*, std::function<void()>>> calls{
        {"write", [&] { transport->write(bytes(4), 1s); }},
        {"write ZLP", [&] { transport->writeZeroLength(1s); }},
        {"read", [&] { transport->read(512, 1s); }},
        {"reset", [&] { transport->resetDevice(); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(describeFailure(call), "USB: transport closed");
    }
    EXPECT_TRUE(usb.openHandles().empty());
    EXPECT_NO_THROW(usb.bus->close(usb.bus->open(plugged.interfaceIDs[0], usb::OpenMode::exclusive)))
        << "another client can open the interface now";
}

TEST_P(TransportScenarioTests, DestroyingTheTransportReleasesEverything) {
    const auto plugIns = iokit::IOCFPlugInLiveObjectCount();
    {
        const auto transport = openPhone();
        EXPECT_FALSE(usb.openHandles().empty());
    }
    EXPECT_TRUE(usb.openHandles().empty());
    EXPECT_EQ(iokit::IOCFPlugInLiveObjectCount(), plugIns);
}

TEST_P(TransportScenarioTests, CloseFromAnotherThreadEndsABlockedTransferAtOnce) {
    const auto transport = openPhone();
    const auto start = usb.clock.now();
    auto reading = blockedRead(*transport);
    // close() waits for the transfer it ends, so it runs beside the test: if it failed to end the read,
    // both would wait for the read's 30 s, which never pass.
    auto closing = std::async(std::launch::async, [&] { transport->close(); });
    EXPECT_EQ(endedWithoutTime(reading), "USB: transport closed");
    closing.get();
    EXPECT_EQ(usb.clock.now(), start);
    EXPECT_FALSE(transport->isConnected());
    EXPECT_TRUE(usb.openHandles().empty());
}

TEST_P(TransportScenarioTests, UnpluggingDuringATransferEndsIt) {
    const auto transport = openPhone();
    auto reading = blockedRead(*transport);
    usb.bus->unplug(plugged.deviceID);
    EXPECT_EQ(endedWithoutTime(reading), "USB: read: device disconnected");
    EXPECT_EQ(describeFailure([&] { transport->write(bytes(4), 1s); }), "USB: write: device disconnected");
    // Only the host transport hears of the removal; neither closes itself because of it.
    EXPECT_TRUE(transport->isConnected());
    if (!isLib()) {
        EXPECT_TRUE(waitForDisconnects(1));
    }
    transport->close();
    EXPECT_TRUE(usb.openHandles().empty());
}

} // namespace
} // namespace corvane
