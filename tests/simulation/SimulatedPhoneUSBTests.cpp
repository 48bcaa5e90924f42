#include "simulation/PhoneUSBFunction.h"

#include "Corvane/wire/ObjectInfo.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"
#include "tests/simulation/SimulatedPhoneTestHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

namespace simulation {
namespace {

using corvane::PTPContainer;
using corvane::PTPOperation;
using ::testing::ElementsAre;

constexpr std::size_t chunk = 1 << 20;
constexpr usb::Timeout timeout = std::chrono::seconds(5);

/// A host on the simulated bus that runs transactions as the library's engine does: whole-packet reads
/// of at most the bytes still expected, re-reads past empty packets, a zero-length packet after a data
/// phase that fills whole packets.
class BusHost {
public:
    BusHost(SimulatedBus& bus, usb::RegistryEntryID interfaceID, std::size_t packetSize)
        : m_bus(bus), m_handle(bus.open(interfaceID, usb::OpenMode::exclusive)), m_packetSize(packetSize) {}

    void write(std::span<const std::byte> bytes) {
        EXPECT_EQ(m_bus.writePipe(m_handle, PhoneUSBFunction::bulkOutEndpoint, bytes, timeout), bytes.size());
    }

    /// One read, its length rounded down to whole packets and at least one, as the transports ask.
    std::vector<std::byte> read(std::size_t maxLength) {
        const std::size_t length = std::max(m_packetSize, maxLength / m_packetSize * m_packetSize);
        return m_bus.readPipe(m_handle, PhoneUSBFunction::bulkInEndpoint, length, timeout);
    }

    struct Result {
        std::vector<std::byte> data;
        std::optional<PTPContainer> response;
        int emptyReads = 0;
        std::size_t reads = 0;
    };

    Result transaction(PTPOperation operation, std::uint32_t transactionID,
                       const std::vector<std::uint32_t>& params,
                       std::optional<std::vector<std::byte>> data = std::nullopt, bool receivesData = false) {
        Result result;
        write(testing::commandBytes(operation, transactionID, params));
        if (data) {
            const auto header = PTPContainer::header(PTPContainer::Kind::data, testing::op(operation),
                                                     transactionID, PTPContainer::lengthField(data->size()));
            std::vector<std::byte> first(header.begin(), header.end());
            const std::size_t firstPart = std::min(data->size(), chunk - 12);
            first.insert(first.end(), data->begin(), data->begin() + static_cast<std::ptrdiff_t>(firstPart));
            write(first);
            for (std::size_t at = firstPart; at < data->size(); at += chunk) {
                write(std::span(*data).subspan(at, std::min(chunk, data->size() - at)));
            }
            if ((data->size() + 12) % m_packetSize == 0) {
                write({});
            }
        }
        if (receivesData) {
            std::vector<std::byte> packet;
            while ((packet = read(chunk)).empty()) {
                ++result.emptyReads;
                ++result.reads;
            }
            ++result.reads;
            const auto header = PTPContainer::parseHeader(packet);
            if (header.kind == PTPContainer::Kind::response) {
                result.response = PTPContainer::parse(packet);
                return result;
            }
            const std::uint64_t expected = header.length - 12;
            result.data.assign(packet.begin() + 12, packet.end());
            while (result.data.size() < expected) {
                const auto more = read(
                    static_cast<std::size_t>(std::min<std::uint64_t>(chunk, expected - result.data.size())));
                ++result.reads;
                if (more.empty()) {
                    ++result.emptyReads;
                }
                result.data.insert(result.data.end(), more.begin(), more.end());
            }
        }
        std::vector<std::byte> response;
        for (int attempt = 0; attempt < 4 && response.empty(); ++attempt) {
            response = read(chunk);
            ++result.reads;
            if (response.empty()) {
                ++result.emptyReads;
            }
        }
        result.response = PTPContainer::parse(response);
        return result;
    }

    void openSession() {
        const auto result = transaction(PTPOperation::openSession, 0, {1});
        ASSERT_EQ(result.response->code(), 0x2001);
    }

    usb::HandleID handle() const { return m_handle; }

private:
    SimulatedBus& m_bus;
    usb::HandleID m_handle;
    std::size_t m_packetSize;
};

/// A phone with one storage on a bus with a virtual clock, and a host with an open session.
struct PhoneOnBus {
    explicit PhoneOnBus(std::size_t packetSize = 512, platform::VirtualClock::AutoAdvance advance =
                                                          platform::VirtualClock::AutoAdvance::never)
        : clock(advance), bus(clock), phone(std::make_shared<SimulatedPhone>(clock)) {
        phone->setPacketSize(packetSize);
        storage = phone->addStorage();
        plugged = plugPhone(bus, phone);
        host.emplace(bus, plugged.interfaceIDs.at(0), packetSize);
        host->openSession();
    }

    platform::VirtualClock clock;
    SimulatedBus bus;
    std::shared_ptr<SimulatedPhone> phone;
    std::uint32_t storage = 0;
    PluggedDevice plugged;
    std::optional<BusHost> host;
};

std::int64_t number(const usb::RegistryEntry& entry, std::string_view key) {
    return std::get<std::int64_t>(*entry.property(key));
}

TEST(SimulatedPhoneUSBTests, PlugPublishesAnMTPInterfaceOfEitherKind) {
    struct Case {
        PhoneUSBIdentity::InterfaceKind kind;
        std::int64_t interfaceClass, subClass, protocol;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {PhoneUSBIdentity::InterfaceKind::stillImage, 6, 1, 1, std::nullopt},
        {PhoneUSBIdentity::InterfaceKind::vendorMTP, 255, 255, 0, "MTP"},
    };
    for (const Case& c : cases) {
        SimulatedBus bus;
        auto phone = std::make_shared<SimulatedPhone>();
        phone->setPacketSize(64);
        const auto plugged = plugPhone(bus, phone, {.interfaceKind = c.kind, .withADB = true});
        ASSERT_EQ(plugged.interfaceIDs.size(), 2u);
        const auto device = *bus.entry(plugged.deviceID);
        EXPECT_EQ(number(device, "idVendor"), 0x18D1);
        EXPECT_EQ(std::get<std::string>(*device.property("USB Serial Number")), "SIM0000000001");
        const auto mtp = *bus.entry(plugged.interfaceIDs[0]);
        EXPECT_EQ(number(mtp, "bInterfaceClass"), c.interfaceClass);
        EXPECT_EQ(number(mtp, "bInterfaceSubClass"), c.subClass);
        EXPECT_EQ(number(mtp, "bInterfaceProtocol"), c.protocol);
        if (c.name) {
            EXPECT_EQ(std::get<std::string>(*mtp.property("USB Interface Name")), *c.name);
        }
        const auto endpoints = bus.endpoints(plugged.interfaceIDs[0]);
        ASSERT_GE(endpoints.size(), 2u);
        for (const auto& endpoint : endpoints) {
            if (endpoint.transferType() == usb::TransferType::bulk) {
                EXPECT_EQ(endpoint.packetSize(), 64u);
            }
        }
    }
}

TEST(SimulatedPhoneUSBTests, DataInFramingAroundPacketBoundaries) {
    for (const std::size_t packet : {std::size_t{512}, std::size_t{64}}) {
        for (const std::size_t payload : {packet - 13, packet - 12, packet - 11, 2 * packet - 12, 2 * packet,
                                          chunk - 12, chunk, chunk + 500, std::size_t{0}}) {
            SCOPED_TRACE(::testing::Message() << "packet " << packet << ", payload " << payload);
            PhoneOnBus fixture(packet);
            const auto file =
                fixture.phone->addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", payload);
            const auto result =
                fixture.host->transaction(PTPOperation::getObject, 1, {file}, std::nullopt, true);
            ASSERT_TRUE(result.response);
            EXPECT_EQ(result.response->code(), 0x2001);
            EXPECT_EQ(result.data, SimulatedPhone::generatedBytes(file, 0, payload));
            const bool aligned = (payload + 12) % packet == 0;
            EXPECT_EQ(fixture.phone->transactions().back().phoneSentZLP, aligned);
            // The zero-length packet ends the host's read that is still waiting for bytes. When the last read
            // of a known length asked for exactly what was left (every read after the first 1 MiB one
            // does), the packet is left to the response phase, which reads past it as one empty read.
            const bool zlpLeftOver = aligned && payload + 12 >= chunk;
            EXPECT_EQ(result.emptyReads, zlpLeftOver ? 1 : 0);
            EXPECT_TRUE(fixture.phone->violations().empty());
        }
    }
}

TEST(SimulatedPhoneUSBTests, DataOutFramingAroundPacketBoundaries) {
    for (const std::size_t payload : {std::size_t{499}, std::size_t{500}, std::size_t{501}, std::size_t{1012},
                                      chunk - 12, chunk + 1000, std::size_t{0}}) {
        SCOPED_TRACE(payload);
        PhoneOnBus fixture;
        const auto info =
            corvane::ObjectInfo(fixture.storage, 0, "up.bin", 0x3000, static_cast<std::uint32_t>(payload), 0)
                .encoded();
        const auto created =
            fixture.host->transaction(PTPOperation::sendObjectInfo, 1, {fixture.storage, 0}, info);
        ASSERT_EQ(created.response->code(), 0x2001);
        const auto bytes = SimulatedPhone::generatedBytes(7, 0, payload);
        const auto sent = fixture.host->transaction(PTPOperation::sendObject, 2, {}, bytes);
        EXPECT_EQ(sent.response->code(), 0x2001);
        EXPECT_EQ(fixture.phone->contents(created.response->params().at(2)), bytes);
        const auto entry = fixture.phone->transactions().back();
        EXPECT_EQ(entry.dataOutBytes, payload);
        EXPECT_EQ(entry.hostSentZLP, (payload + 12) % 512 == 0);
        EXPECT_TRUE(fixture.phone->violations().empty());
    }
}

TEST(SimulatedPhoneUSBTests, MissingZeroLengthPacketRunsTheResponseIntoTheData) {
    for (const bool forget : {false, true}) {
        SCOPED_TRACE(forget);
        PhoneOnBus fixture;
        const auto file = fixture.phone->addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 500);
        if (forget) {
            fixture.phone->injectFault(PTPOperation::getObject, PhoneFault::missingZLP());
        }
        fixture.host->write(testing::commandBytes(PTPOperation::getObject, 1, {file}));
        EXPECT_EQ(fixture.host->read(chunk).size(), forget ? 512u + 12u : 512u);
    }
}

TEST(SimulatedPhoneUSBTests, DeviceResetOverTheControlPipe) {
    PhoneOnBus fixture;
    const usb::ControlSetup reset{0x21, 0x66, 0, 0, 0};
    EXPECT_TRUE(fixture.bus.controlRequest(fixture.host->handle(), reset, {}, timeout).empty());
    EXPECT_EQ(fixture.phone->resetCount(), 1u);
    EXPECT_FALSE(fixture.phone->isSessionOpen());
    const usb::ControlSetup otherInterface{0x21, 0x66, 0, 3, 0};
    try {
        fixture.bus.controlRequest(fixture.host->handle(), otherInterface, {}, timeout);
        ADD_FAILURE() << "a reset for another interface was accepted";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::stalled);
    }
    EXPECT_EQ(fixture.phone->resetCount(), 1u);
}

TEST(SimulatedPhoneUSBTests, StallIsClearedThroughTheBus) {
    PhoneOnBus fixture;
    fixture.phone->injectFault(PTPOperation::getStorageIDs, PhoneFault::stallIn());
    fixture.host->write(testing::commandBytes(PTPOperation::getStorageIDs, 1));
    try {
        fixture.host->read(chunk);
        ADD_FAILURE() << "the read did not stall";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::stalled);
    }
    fixture.bus.clearStall(fixture.host->handle(), PhoneUSBFunction::bulkInEndpoint);
    const auto result = fixture.host->transaction(PTPOperation::getStorageIDs, 2, {}, std::nullopt, true);
    EXPECT_EQ(result.response->code(), 0x2001);
    EXPECT_THAT(testing::u32Array(result.data), ElementsAre(fixture.storage));
}

TEST(SimulatedPhoneUSBTests, DisconnectionUnplugsThePhoneAndAReplugStartsFresh) {
    PhoneOnBus fixture;
    const auto file = fixture.phone->addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 3000);
    fixture.phone->injectFault(PTPOperation::getObject, PhoneFault::disconnectAfter(1000));
    fixture.host->write(testing::commandBytes(PTPOperation::getObject, 1, {file}));
    EXPECT_EQ(fixture.host->read(chunk).size(), 1012u);
    try {
        fixture.host->read(chunk);
        ADD_FAILURE() << "the read went on after the disconnection";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::noDevice);
    }
    EXPECT_FALSE(fixture.bus.entry(fixture.plugged.interfaceIDs[0]));

    const auto again = plugPhone(fixture.bus, fixture.phone);
    BusHost host(fixture.bus, again.interfaceIDs.at(0), 512);
    EXPECT_EQ(host.transaction(PTPOperation::getStorageIDs, 1, {}, std::nullopt, true).response->code(),
              0x2003);
    host.openSession();
    EXPECT_EQ(host.transaction(PTPOperation::getObject, 1, {file}, std::nullopt, true).data.size(), 3000u);
}

TEST(SimulatedPhoneUSBTests, GateHoldsTheHostReadUntilReleased) {
    PhoneOnBus fixture;
    fixture.phone->addFile(fixture.storage, SimulatedPhone::root, "a", "a");
    auto gate = fixture.phone->addGate(PTPOperation::getObjectHandles);
    auto answer = std::async(std::launch::async, [&] {
        return fixture.host->transaction(PTPOperation::getObjectHandles, 1, {fixture.storage, 0, 0xFFFFFFFF},
                                         std::nullopt, true);
    });
    ASSERT_TRUE(gate->waitUntilReached());
    // The host waits on the bus, on the virtual clock, for as long as the gate holds.
    ASSERT_TRUE(fixture.clock.waitForWaiters(1));
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout);
    gate->release();
    const auto result = answer.get();
    EXPECT_EQ(result.response->code(), 0x2001);
    EXPECT_EQ(testing::u32Array(result.data).size(), 1u);
    EXPECT_TRUE(fixture.phone->violations().empty());
}

TEST(SimulatedPhoneUSBTests, AReadPostedBeforeTheCommandGetsTheAnswer) {
    PhoneOnBus fixture;
    auto read = std::async(std::launch::async, [&] { return fixture.host->read(chunk); });
    ASSERT_TRUE(fixture.clock.waitForWaiters(1));
    fixture.host->write(testing::commandBytes(PTPOperation::closeSession, 1));
    const auto response = PTPContainer::parse(read.get());
    EXPECT_EQ(response.code(), 0x2001);
    EXPECT_FALSE(fixture.phone->isSessionOpen());
}

TEST(SimulatedPhoneUSBTests, SilentPhoneLetsTheHostReadTimeOut) {
    PhoneOnBus fixture;
    fixture.phone->injectFault(PTPOperation::getStorageIDs, PhoneFault::silence());
    fixture.host->write(testing::commandBytes(PTPOperation::getStorageIDs, 1));
    auto read = std::async(std::launch::async, [&] { return fixture.host->read(chunk); });
    ASSERT_TRUE(fixture.clock.waitForWaiters(1));
    fixture.clock.advance(timeout);
    try {
        read.get();
        ADD_FAILURE() << "the read did not time out";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::timeout);
    }
    // The next transaction goes through; the host broke no rule by giving up.
    EXPECT_EQ(
        fixture.host->transaction(PTPOperation::getStorageIDs, 2, {}, std::nullopt, true).response->code(),
        0x2001);
    EXPECT_TRUE(fixture.phone->violations().empty());
}

TEST(SimulatedPhoneUSBTests, LinkModelBoundsThroughputOnTheBusClock) {
    PhoneOnBus fixture(512, platform::VirtualClock::AutoAdvance::sleeps);
    const std::uint64_t size = 8 << 20;
    const auto file = fixture.phone->addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", size);
    fixture.phone->setLink({.turnaround = std::chrono::milliseconds(1), .bytesPerSecond = 40'000'000});
    const auto start = fixture.clock.now();
    const auto result = fixture.host->transaction(PTPOperation::getObject, 1, {file}, std::nullopt, true);
    const auto elapsed = std::chrono::duration<double>(fixture.clock.now() - start).count();
    ASSERT_EQ(result.data.size(), size);
    // 8 MiB at 40 MB/s is 0.2097 s, plus the turnaround and the few bytes of the containers.
    EXPECT_NEAR(elapsed, 0.001 + (size + 16 + 12 + 12) / 40e6, 1e-5);
}

} // namespace
} // namespace simulation
