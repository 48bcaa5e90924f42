// A real MTP responder on the simulated bus, spoken to in raw containers: what it puts on the wire, the
// packet rules of the FunctionFS bridge in both directions, and the responder's own ways.
#include "RealPeerTestHost.h"

#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/ObjectInfo.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <thread>

namespace peertest {
namespace {

using corvane::PTPContainer;

constexpr std::uint16_t getDeviceInfo = 0x1001;
constexpr std::uint16_t openSession = 0x1002;
constexpr std::uint16_t getStorageIDs = 0x1004;
constexpr std::uint16_t getObjectHandles = 0x1007;
constexpr std::uint16_t getObjectInfo = 0x1008;
constexpr std::uint16_t getObject = 0x1009;
constexpr std::uint16_t sendObjectInfo = 0x100C;
constexpr std::uint16_t sendObject = 0x100D;
constexpr std::uint16_t getDevicePropValue = 0x1015;
constexpr std::uint16_t setDevicePropValue = 0x1016;

constexpr std::uint16_t ok = 0x2001;
constexpr std::uint16_t sessionNotOpen = 0x2003;
constexpr std::uint16_t operationNotSupported = 0x2005;
constexpr std::uint16_t invalidStorageID = 0x2008;
constexpr std::uint16_t sessionAlreadyOpen = 0x201E;

constexpr std::uint16_t objectAdded = 0x4002;
constexpr std::uint16_t batteryLevel = 0x5001;
constexpr std::uint32_t rootParent = 0xFFFFFFFF;
constexpr std::uint16_t undefinedFormat = 0x3000;

// Container lengths on both sides of the 512-byte packet and of the responder's 8 KiB buffer.
const std::vector<std::size_t> containerLengths = {13,   511,  512,  513,  1023,  1024, 1025,
                                                   8191, 8192, 8193, 8704, 16384, 20000};

bool isWholePackets(std::size_t length) {
    return length % 512 == 0;
}

class RealPeerWireTests : public RealPeerTest {
protected:
    // Opens a session on a fresh raw host and finds the one storage.
    std::unique_ptr<RawHost> openSessionHost(std::uint32_t sessionID = 1) {
        auto host = openRaw();
        const auto opened = host->transact(openSession, {sessionID});
        EXPECT_EQ(opened.code(), ok) << peerLog();
        const auto storages = host->transact(getStorageIDs);
        const auto ids =
            PTPContainer::withPayload(PTPContainer::Kind::data, 0, 0, storages.payload()).params();
        EXPECT_EQ(ids.size(), 2u); // the count, then one ID
        m_storage = ids.size() >= 2 ? ids[1] : 0;
        return host;
    }

    // The root's objects by name.
    std::map<std::string, std::uint32_t> listRoot(RawHost& host) const {
        const auto handles = host.transact(getObjectHandles, {m_storage, 0, rootParent});
        EXPECT_EQ(handles.code(), ok);
        auto values = PTPContainer::withPayload(PTPContainer::Kind::data, 0, 0, handles.payload()).params();
        std::map<std::string, std::uint32_t> byName;
        for (std::size_t index = 1; index < values.size(); ++index) {
            const auto info = host.transact(getObjectInfo, {values[index]});
            byName[corvane::ObjectInfo::parse(info.payload()).filename] = values[index];
        }
        return byName;
    }

    std::uint32_t m_storage = 0;
};

TEST_F(RealPeerWireTests, FollowsTheSessionRulesAsItReadsThem) {
    auto host = openRaw();
    // It wants a session even for GetDeviceInfo, which PTP allows outside one.
    const auto outside = host->transact(getDeviceInfo);
    EXPECT_EQ(outside.code(), sessionNotOpen);
    EXPECT_FALSE(outside.data);

    const auto opened = host->transact(openSession, {1});
    EXPECT_EQ(opened.code(), ok);
    EXPECT_EQ(opened.responseLength, 12u);
    // A second OpenSession: SessionAlreadyOpen in a 13-byte container with a one-byte parameter.
    const auto again = host->transact(openSession, {1});
    EXPECT_EQ(again.code(), sessionAlreadyOpen);
    EXPECT_EQ(again.responseLength, 13u);

    const auto info = host->transact(getDeviceInfo);
    ASSERT_EQ(info.code(), ok);
    ASSERT_TRUE(info.data);
    const auto parsed = corvane::DeviceInfo::parse(info.payload());
    EXPECT_EQ(parsed.manufacturer, "Tandalo Real Peer");
    EXPECT_EQ(parsed.model, "uMTP Responder");
    EXPECT_EQ(parsed.serialNumber, "RP0001");
    EXPECT_EQ(parsed.operationsSupported.size(), 25u);
    for (const std::uint16_t operation : {0x1009, 0x101B, 0x9805, 0x95C1, 0x95C2, 0x95C3, 0x95C4, 0x95C5}) {
        EXPECT_TRUE(parsed.operationsSupported.contains(operation)) << std::hex << operation;
    }
    EXPECT_TRUE(parsed.devicePropertiesSupported.contains(batteryLevel));
}

TEST_F(RealPeerWireTests, SendsEachDataContainerWholeAroundPacketBoundaries) {
    std::map<std::string, std::vector<std::byte>> files;
    for (const std::size_t length : containerLengths) {
        const std::string name = "in-" + std::to_string(length) + ".bin";
        files[name] = pattern(length - 12, static_cast<unsigned>(length));
        writeFile(peer().storageFolder() / name, files[name]);
    }
    auto host = openSessionHost();
    const auto handles = listRoot(*host);
    ASSERT_EQ(handles.size(), files.size());

    std::uint64_t aligned = 0;
    const auto before = peer().statistics().zeroLengthPacketsAdded;
    for (const std::size_t length : containerLengths) {
        const std::string name = "in-" + std::to_string(length) + ".bin";
        SCOPED_TRACE(name);
        const auto exchange = host->transact(getObject, {handles.at(name)});
        EXPECT_EQ(exchange.code(), ok);
        ASSERT_TRUE(exchange.data);
        // One host read took the whole container and no more: it ended at a short packet or a ZLP, and
        // the response came on its own.
        EXPECT_EQ(exchange.data->size(), length);
        EXPECT_EQ(exchange.dataTransfers, 1u);
        EXPECT_EQ(exchange.responseLength, 12u);
        EXPECT_EQ(exchange.payload(), files[name]);
        aligned += isWholePackets(length) ? 1 : 0;
    }
    EXPECT_EQ(peer().statistics().zeroLengthPacketsAdded - before, aligned);
    EXPECT_EQ(peer().statistics().shortWritesInsideContainers, 0u);
}

TEST_F(RealPeerWireTests, TakesEachDataContainerAroundPacketBoundaries) {
    auto host = openSessionHost();
    std::uint64_t aligned = 0;
    for (const std::size_t length : containerLengths) {
        const std::string name = "out-" + std::to_string(length) + ".bin";
        SCOPED_TRACE(name);
        const auto contents = pattern(length - 12, static_cast<unsigned>(length));
        const corvane::ObjectInfo info(m_storage, rootParent, name, undefinedFormat,
                                       static_cast<std::uint32_t>(contents.size()), 0);
        const auto announced = host->transact(sendObjectInfo, {m_storage, rootParent}, info.encoded());
        ASSERT_EQ(announced.code(), ok) << peerLog();
        const auto sent = host->transact(sendObject, {}, contents);
        EXPECT_EQ(sent.code(), ok) << peerLog();
        EXPECT_EQ(readFile(peer().storageFolder() / name), contents);
        aligned += isWholePackets(length) ? 1 : 0;
        // The dataset container is small; only the object's data can be whole packets.
    }
    EXPECT_EQ(peer().statistics().hostZeroLengthPackets, aligned);
}

TEST_F(RealPeerWireTests, WaitsForTheZeroLengthPacketAfterDataOfWholePackets) {
    // It reads data until a short packet and never looks at the container's length, so data of whole
    // packets without the host's ZLP leaves it waiting, and the ZLP completes it.
    auto host = openSessionHost();
    const auto contents = pattern(1024 - 12);
    const corvane::ObjectInfo info(m_storage, rootParent, "aligned.bin", undefinedFormat,
                                   static_cast<std::uint32_t>(contents.size()), 0);
    ASSERT_EQ(host->transact(sendObjectInfo, {m_storage, rootParent}, info.encoded()).code(), ok);
    const std::uint32_t transactionID = host->nextTransactionID();
    host->command(sendObject, transactionID, {});
    host->dataOut(sendObject, transactionID, contents, /*withZLP=*/false);
    EXPECT_THROW(host->read(1 << 20, std::chrono::milliseconds(300)), usb::USBError);
    host->write({});
    const auto response = PTPContainer::parse(host->read());
    EXPECT_EQ(response.code(), ok);
    EXPECT_EQ(response.transactionID(), transactionID);
    EXPECT_EQ(readFile(peer().storageFolder() / "aligned.bin"), contents);
}

TEST_F(RealPeerWireTests, ReportsNewFilesOnTheInterruptPipeWithTheSessionID) {
    auto host = openSessionHost(/*sessionID=*/7);
    listRoot(*host); // the responder watches the folders it has listed
    writeFile(peer().storageFolder() / "arrived.txt", bytesOf("new"));
    const auto event = PTPContainer::parse(host->readInterrupt());
    EXPECT_EQ(event.kind(), PTPContainer::Kind::event);
    EXPECT_EQ(event.code(), objectAdded);
    // The transaction ID field carries the session ID, not a transaction's.
    EXPECT_EQ(event.transactionID(), 7u);
    ASSERT_EQ(event.params().size(), 1u);
    const auto info = host->transact(getObjectInfo, {event.params()[0]});
    EXPECT_EQ(corvane::ObjectInfo::parse(info.payload()).filename, "arrived.txt");
}

TEST_F(RealPeerWireTests, KeepsAnsweringWhenNobodyReadsItsEvents) {
    auto host = openSessionHost();
    listRoot(*host);
    constexpr int fileCount = 100; // more events than the interrupt queue keeps
    for (int index = 0; index < fileCount; ++index) {
        writeFile(peer().storageFolder() / testsupport::concat("f", index), bytesOf("x"));
    }
    // The responder sends each event while it holds the lock that every operation takes; operations go
    // on only because the bridge takes the events whether or not the host reads them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t listed = 0;
    simulation::FunctionFSStatistics statistics;
    do {
        listed = listRoot(*host).size();
        statistics = peer().statistics();
    } while ((listed < fileCount || statistics.interruptPacketsQueued < fileCount) &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(listed, static_cast<std::size_t>(fileCount));
    // Each new file is reported (as added, then as changed when it was written), and the newest wait.
    EXPECT_GE(statistics.interruptPacketsQueued, static_cast<std::uint64_t>(fileCount));
    EXPECT_EQ(statistics.interruptPacketsDropped,
              statistics.interruptPacketsQueued - simulation::FunctionFSEndpoints::interruptQueueLimit);
}

TEST_F(RealPeerWireTests, AnswersTheClassRequestsAndKeepsItsSessionThroughThem) {
    auto host = openSessionHost();
    const usb::ControlSetup reset{0x21, 0x66, 0, 0, 0};
    EXPECT_NO_THROW(host->bus().controlRequest(host->handle(), reset, {}, transferLimit));
    // Device Reset is acknowledged, yet the session stays open.
    EXPECT_EQ(host->transact(getStorageIDs).code(), ok);
    EXPECT_EQ(host->transact(openSession, {1}).code(), sessionAlreadyOpen);

    const usb::ControlSetup status{0xA1, 0x67, 0, 0, 20};
    const auto answer = host->bus().controlRequest(host->handle(), status, {}, transferLimit);
    EXPECT_EQ(answer, (std::vector<std::byte>{std::byte{4}, std::byte{0}, std::byte{0x01}, std::byte{0x20}}));
    // A request for another interface never reaches the function.
    const usb::ControlSetup elsewhere{0xA1, 0x67, 0, 3, 20};
    EXPECT_THROW(host->bus().controlRequest(host->handle(), elsewhere, {}, transferLimit), usb::USBError);
    EXPECT_EQ(peer().statistics().controlRequestsAnswered, 2u);
}

TEST_F(RealPeerWireTests, RefusesSetDevicePropValueBeforeItsData) {
    auto host = openSessionHost();
    // Listed in its operations, yet refused at once, without reading the data phase.
    const std::uint32_t transactionID = host->nextTransactionID();
    host->command(setDevicePropValue, transactionID, {batteryLevel});
    const auto response = PTPContainer::parse(host->read());
    EXPECT_EQ(response.code(), operationNotSupported);
    EXPECT_EQ(host->transact(getStorageIDs).code(), ok);
}

TEST_F(RealPeerWireTests, EndsItsSessionAtAReconnection) {
    openSessionHost();
    peer().plugAgain();
    auto host = openRaw();
    EXPECT_EQ(host->transact(getStorageIDs).code(), sessionNotOpen);
    EXPECT_EQ(host->transact(openSession, {1}).code(), ok);
}

TEST_F(RealPeerWireTests, SendsTheRestOfACutDataPhaseAfterAReconnection) {
    // A fault of the responder's: a data phase that an unplug cut short goes on on the next connection,
    // ahead of any response, and the host must drain it (as the library's recovery does).
    const auto contents = pattern(4 << 20);
    writeFile(peer().storageFolder() / "large.bin", contents);
    auto host = openSessionHost();
    const auto handles = listRoot(*host);
    host->command(getObject, host->nextTransactionID(), {handles.at("large.bin")});
    const std::size_t first = host->read(64 * 1024).size();
    ASSERT_GT(first, 0u);
    host.reset();
    peer().plugAgain();

    auto again = openRaw();
    // Drained until the old transaction's response, or until the responder falls silent.
    std::size_t stale = 0;
    while (true) {
        std::vector<std::byte> bytes;
        try {
            bytes = again->read(1 << 20, std::chrono::milliseconds(2000));
        } catch (const usb::USBError&) {
            break;
        }
        stale += bytes.size();
        // The data's last piece may be 12 bytes too; only a response's header names its kind.
        const auto kind =
            bytes.size() == 12
                ? PTPContainer::kindFromRaw(static_cast<std::uint16_t>(
                      std::to_integer<unsigned>(bytes[4]) | std::to_integer<unsigned>(bytes[5]) << 8))
                : std::nullopt;
        if (kind == PTPContainer::Kind::response && std::to_integer<unsigned>(bytes[0]) == 12) {
            break;
        }
    }
    EXPECT_GT(stale, 0u);
    EXPECT_LE(first + stale, contents.size() + 12 + 12); // the data container and its response at most
    ASSERT_TRUE(peer().endpoints().waitUntilSettled(std::chrono::seconds(5))) << peerLog();
    EXPECT_EQ(again->transact(openSession, {1}).code(), ok) << peerLog();
    EXPECT_EQ(again->transact(getStorageIDs).code(), ok);
}

TEST_F(RealPeerWireTests, HangsAfterGetObjectHandlesOnAnUnknownStorage) {
    // A fault of the responder's: after it refused GetObjectHandles on an unknown storage (0xFFFFFFFF,
    // "all storages", included), GetDevicePropValue never answers. Nothing in the library may send it.
    auto host = openSessionHost();
    EXPECT_EQ(host->transact(getObjectHandles, {rootParent, 0, rootParent}).code(), invalidStorageID);
    const std::uint32_t transactionID = host->nextTransactionID();
    host->command(getDevicePropValue, transactionID, {batteryLevel});
    EXPECT_THROW(host->read(1 << 20, std::chrono::milliseconds(500)), usb::USBError);
}

TEST_F(RealPeerWireTests, TearsDownWithADataPhaseInFlight) {
    writeFile(peer().storageFolder() / "large.bin", pattern(4 << 20));
    const std::filesystem::path root = peer().storageFolder().parent_path();
    const pid_t pid = peer().pid();
    {
        auto host = openSessionHost();
        const auto handles = listRoot(*host);
        host->command(getObject, host->nextTransactionID(), {handles.at("large.bin")});
        ASSERT_FALSE(host->read(64 * 1024).empty());
    }
    const auto started = std::chrono::steady_clock::now();
    TearDown();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_NE(::kill(pid, 0), 0); // reaped: the process ID is free
    std::ifstream mounts("/proc/self/mountinfo");
    const std::string table((std::istreambuf_iterator<char>(mounts)), std::istreambuf_iterator<char>());
    EXPECT_EQ(table.find(root.string()), std::string::npos);
}

} // namespace
} // namespace peertest
