#include "Corvane/device/TransactionEngine.h"

#include "DeviceTestSupport.h"
#include "ScriptedTransport.h"

#include "platform/foundation/Clock.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace corvane {
namespace {

using testing::bytes;
using testing::catchPTPError;
using testing::dataContainer;
using testing::patternByte;
using testing::patternBytes;
using testing::ScriptedTransport;
using testing::TransportCall;
using Call = TransportCall::Kind;

constexpr std::uint16_t ok = 0x2001;
constexpr std::uint16_t getObjectCode = 0x1009;
constexpr std::uint16_t sendObjectCode = 0x100D;

/// An engine over a scripted transport.
struct EngineRig {
    explicit EngineRig(std::size_t packet = 512,
                       std::int64_t chunk = TransactionEngine::defaultReadChunkSize) {
        auto owned = std::make_unique<ScriptedTransport>(packet);
        transport = owned.get();
        engine = std::make_unique<TransactionEngine>(std::move(owned), MTPTrace(), clock);
        engine->setReadChunkSize(chunk);
        engine->setSessionLostHandler([this] {
            ++sessionsLost;
            if (reopenError) {
                throw *reopenError;
            }
        });
    }
    ~EngineRig() {
        for (const auto& mistake : transport->scriptErrors()) {
            ADD_FAILURE() << "script: " << mistake;
        }
    }
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    // Sleeps move time by themselves: the engine polls a device that is busy after a cancel.
    platform::VirtualClock clock{platform::VirtualClock::AutoAdvance::sleeps};
    ScriptedTransport* transport = nullptr;
    std::unique_ptr<TransactionEngine> engine;
    int sessionsLost = 0;
    /// What reopening the session after a reset throws, if anything.
    std::optional<PTPError> reopenError;
};

std::vector<std::size_t> writeSizes(const ScriptedTransport& transport) {
    std::vector<std::size_t> sizes;
    for (const auto& call : transport.calls(Call::write)) {
        sizes.push_back(call.size);
    }
    return sizes;
}

std::uint32_t lengthFieldOf(const std::vector<std::byte>& data) {
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), 4);
    return value;
}

// Transaction IDs

TEST(TransactionEngineTests, NumbersTransactionsFromZeroAndWrapsAround) {
    EngineRig rig;
    rig.transport->queueResponse(ok, 0);
    rig.transport->queueResponse(ok, 1);
    rig.engine->transaction(PTPOperation::deleteObject, {5, 0});
    rig.engine->transaction(PTPOperation::deleteObject, {6, 0});
    rig.engine->setNextTransactionID(0xFFFFFFFF);
    rig.transport->queueResponse(ok, 0xFFFFFFFF);
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::deleteObject, {});
    rig.engine->transaction(PTPOperation::deleteObject, {});
    const auto commands = rig.transport->commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0].transactionID(), 0u);
    EXPECT_EQ(commands[1].transactionID(), 1u);
    EXPECT_EQ(commands[2].transactionID(), 0xFFFFFFFFu);
    EXPECT_EQ(commands[3].transactionID(), 0u);
    EXPECT_EQ(commands[1].params(), (std::vector<std::uint32_t>{6, 0}));
    EXPECT_EQ(rig.engine->nextTransactionID(), 1u);
}

TEST(TransactionEngineTests, FailedTransactionUsesUpItsID) {
    EngineRig rig;
    rig.transport->queueResponse(0x2009, 0);
    const PTPError error = catchPTPError([&] { rig.engine->transaction(PTPOperation::getObjectInfo, {7}); });
    EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
    EXPECT_EQ(error.code(), 0x2009);
    EXPECT_EQ(error.operation(), PTPOperation::getObjectInfo);
    EXPECT_EQ(rig.engine->nextTransactionID(), 1u);
    EXPECT_EQ(rig.transport->resetCount(), 0u) << "a response error ends the transaction cleanly";
}

TEST(TransactionEngineTests, CommandCarriesCodeIDAndParametersWithCommandTimeout) {
    EngineRig rig;
    rig.engine->setCommandTimeout(Seconds(7));
    rig.engine->setDataTimeout(Seconds(11));
    rig.transport->queueResponse(ok, 0, {42, 43});
    const MTPResponse response = rig.engine->transaction(PTPOperation::openSession, {1});
    EXPECT_EQ(response.code, ok);
    EXPECT_EQ(response.params, (std::vector<std::uint32_t>{42, 43}));
    const auto calls = rig.transport->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, Call::write);
    EXPECT_EQ(calls[0].head, bytes({0x10, 0, 0, 0, 1, 0, 0x02, 0x10, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(calls[0].timeout, Seconds(7));
    EXPECT_EQ(calls[1].kind, Call::read);
    EXPECT_EQ(calls[1].size, static_cast<std::size_t>(TransactionEngine::defaultReadChunkSize));
    EXPECT_EQ(calls[1].timeout, Seconds(11));
}

TEST(TransactionEngineTests, RefusesMoreThanFiveParametersBeforeSending) {
    EngineRig rig;
    const PTPError error = catchPTPError([&] {
        rig.engine->transaction(PTPOperation::getObjectPropList, {1, 2, 3, 4, 5, 6});
    });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_TRUE(rig.transport->calls().empty());
}

TEST(TransactionEngineTests, ChunkSizeMustHoldMoreThanTheHeader) {
    EngineRig rig;
    EXPECT_EQ(catchPTPError([&] { rig.engine->setReadChunkSize(12); }).kind(), PTPError::Kind::io);
    EXPECT_EQ(catchPTPError([&] { rig.engine->setReadChunkSize(-1); }).kind(), PTPError::Kind::io);
    rig.engine->setReadChunkSize(13);
    EXPECT_EQ(rig.engine->readChunkSize(), 13);
}

// Data-out phase

struct SendCase {
    std::size_t packet;
    std::size_t length;
};

class TransactionEngineSendTests : public ::testing::TestWithParam<SendCase> {};

constexpr std::int64_t smallChunk = 4096;

std::vector<SendCase> sendCases() {
    std::vector<SendCase> cases;
    for (const std::size_t packet : {64u, 512u}) {
        for (const std::size_t length : {0u, 1u, 51u, 52u, 53u, 499u, 500u, 501u, 511u, 512u, 513u, 4084u,
                                         4085u, 4096u, 4097u, 8180u, 12288u}) {
            cases.push_back({packet, length});
        }
    }
    return cases;
}

/// Whole-packet arithmetic of one data-out phase: the first write holds the header and chunk - 12 bytes,
/// every other write a whole chunk, and a zero-length packet follows only a total that fills its packet.
void expectDataOut(const ScriptedTransport& transport, std::size_t packet, std::size_t length,
                   const std::vector<std::byte>& payload) {
    const std::size_t chunk = smallChunk / packet * packet;
    std::vector<std::size_t> expectedWrites{16}; // the command with one parameter
    std::size_t left = length;
    const std::size_t first = std::min(left, chunk - 12);
    expectedWrites.push_back(12 + first);
    left -= first;
    while (left > 0) {
        expectedWrites.push_back(std::min(left, chunk));
        left -= expectedWrites.back();
    }
    EXPECT_EQ(writeSizes(transport), expectedWrites);
    const bool zlp = (12 + length) % packet == 0;
    const auto zlps = transport.calls(Call::writeZeroLength);
    EXPECT_EQ(zlps.size(), zlp ? 1u : 0u) << "total " << 12 + length << " packet " << packet;
    for (const auto& call : zlps) {
        EXPECT_EQ(call.timeout, Seconds(30)) << "the closing zero-length packet runs on the command time-out";
    }
    for (const auto& call : transport.calls(Call::write)) {
        if (call.size != 16) {
            EXPECT_EQ(call.timeout, Seconds(90));
        }
    }
    const auto written = transport.dataWritten();
    ASSERT_EQ(written.size(), 12 + length);
    EXPECT_EQ(lengthFieldOf(written), 12 + length);
    EXPECT_EQ(written[4], std::byte{2});
    EXPECT_EQ(written[6], std::byte{sendObjectCode & 0xFF});
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), written.begin() + 12));
}

TEST_P(TransactionEngineSendTests, SendsBufferInWholeChunksWithZeroLengthPacketRule) {
    const auto [packet, length] = GetParam();
    EngineRig rig(packet, smallChunk);
    const auto payload = patternBytes(length);
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {9}, DataPhase::send(payload));
    expectDataOut(*rig.transport, packet, length, payload);
}

TEST_P(TransactionEngineSendTests, GathersProviderPiecesIntoWholeChunks) {
    const auto [packet, length] = GetParam();
    EngineRig rig(packet, smallChunk);
    const auto payload = patternBytes(length);
    std::size_t offset = 0;
    std::size_t largestAsk = 0;
    // A provider that hands over at most 100 bytes per call must not turn each call into a short packet.
    const DataProvider provider = [&](std::span<std::byte> into) {
        largestAsk = std::max(largestAsk, into.size());
        const std::size_t count = std::min({into.size(), std::size_t{100}, payload.size() - offset});
        std::memcpy(into.data(), payload.data() + offset, count);
        offset += count;
        return count;
    };
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {9}, DataPhase::send(length, provider));
    expectDataOut(*rig.transport, packet, length, payload);
    EXPECT_LE(largestAsk, static_cast<std::size_t>(smallChunk));
}

INSTANTIATE_TEST_SUITE_P(PacketBoundaries, TransactionEngineSendTests, ::testing::ValuesIn(sendCases()));

TEST(TransactionEngineTests, EmptyProviderSendsHeaderAloneWithoutZeroLengthPacket) {
    EngineRig rig(512);
    int calls = 0;
    const DataProvider provider = [&](std::span<std::byte>) {
        ++calls;
        return std::size_t{0};
    };
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(0, provider));
    EXPECT_EQ(writeSizes(*rig.transport), (std::vector<std::size_t>{12, 12}));
    EXPECT_TRUE(rig.transport->calls(Call::writeZeroLength).empty());
    EXPECT_EQ(calls, 0) << "with nothing announced the provider has nothing to give";
}

TEST(TransactionEngineTests, SendsTwoMillionBytesInTwoWritesWithDefaultChunk) {
    EngineRig rig(512);
    const std::vector<std::byte> payload(2'000'000, std::byte{0x5A});
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(payload));
    EXPECT_EQ(writeSizes(*rig.transport), (std::vector<std::size_t>{12, 12 + 1'048'564, 951'436}));
    EXPECT_TRUE(rig.transport->calls(Call::writeZeroLength).empty());
}

TEST(TransactionEngineTests, ProviderIsNeverAskedForMoreThanAnnounced) {
    EngineRig rig(512, smallChunk);
    std::uint64_t given = 0;
    const DataProvider endless = [&](std::span<std::byte> into) {
        std::memset(into.data(), 1, into.size());
        given += into.size();
        return into.size();
    };
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(5000, endless));
    EXPECT_EQ(given, 5000u);
    EXPECT_EQ(rig.transport->dataBytesWritten(), 5012u);
}

TEST(TransactionEngineTests, ProviderThatEndsEarlyFailsAfterTheResponse) {
    EngineRig rig(512, smallChunk);
    const DataProvider shortOne = [done = false](std::span<std::byte> into) mutable {
        if (done) {
            return std::size_t{0};
        }
        done = true;
        std::memset(into.data(), 1, 100);
        return std::size_t{100};
    };
    rig.transport->queueResponse(ok, 0);
    const PTPError error = catchPTPError(
        [&] { rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(1000, shortOne)); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.description(), "I/O: sendObject: the data ended after 100 of 1000 announced bytes");
    EXPECT_EQ(rig.transport->pendingReads(), 0u) << "the response was read, so the device is in step";
    EXPECT_EQ(rig.transport->resetCount(), 0u);
}

TEST(TransactionEngineTests, ProviderThatClaimsMoreThanItsRoomFails) {
    EngineRig rig(512, smallChunk);
    const DataProvider liar = [](std::span<std::byte> into) { return into.size() + 1; };
    rig.transport->queueResponse(0x2007, 0); // the device's answer to the broken-off phase
    const PTPError error = catchPTPError(
        [&] { rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(1000, liar)); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
}

TEST(TransactionEngineTests, LengthFieldSaturatesAboveFourGiBAndEveryByteIsSent) {
    struct Case {
        std::uint64_t length;
        std::uint32_t field;
    };
    for (const Case c : {Case{4'294'967'282ULL, 0xFFFFFFFE}, Case{4'294'967'283ULL, 0xFFFFFFFF},
                         Case{5ULL * 1024 * 1024 * 1024 + 7, 0xFFFFFFFF}}) {
        // Untouched anonymous pages all map the zero page: a 5 GiB buffer costs no memory.
        void* mapping =
            ::mmap(nullptr, c.length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        EngineRig rig(512, 16 * 1024 * 1024);
        rig.transport->queueResponse(ok, 0);
        rig.engine->transaction(
            PTPOperation::sendObject, {},
            DataPhase::send(std::span<const std::byte>(static_cast<const std::byte*>(mapping),
                                                       static_cast<std::size_t>(c.length))));
        ::munmap(mapping, c.length);
        EXPECT_EQ(lengthFieldOf(rig.transport->dataWritten()), c.field) << c.length;
        EXPECT_EQ(rig.transport->dataBytesWritten(), c.length + 12);
        EXPECT_EQ(rig.transport->calls(Call::writeZeroLength).size(), (c.length + 12) % 512 == 0 ? 1u : 0u);
    }
}

TEST(TransactionEngineTests, ProviderStreamsMoreThanFourGiBWithoutHoldingIt) {
    EngineRig rig(512, 8 * 1024 * 1024);
    const std::uint64_t length = 4ULL * 1024 * 1024 * 1024 + 500; // total 4 GiB + 512: ends on a packet
    std::uint64_t offered = 0;
    const DataProvider provider = [&](std::span<std::byte> into) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), length - offered));
        std::memset(into.data(), static_cast<int>(offered >> 20) & 0xFF, count);
        offered += count;
        return count;
    };
    std::uint64_t largestWrite = 0;
    rig.transport->setWriteObserver([&](std::span<const std::byte> data) {
        largestWrite = std::max<std::uint64_t>(largestWrite, data.size());
    });
    rig.transport->queueResponse(ok, 0);
    rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(length, provider));
    EXPECT_EQ(lengthFieldOf(rig.transport->dataWritten()), 0xFFFFFFFFu);
    EXPECT_EQ(rig.transport->dataBytesWritten(), length + 12);
    EXPECT_EQ(largestWrite, 8u * 1024 * 1024);
    EXPECT_EQ(rig.transport->calls(Call::writeZeroLength).size(), 1u);
}

// Data-in phase

struct ReceiveCase {
    std::size_t packet;
    std::size_t payload;
};

class TransactionEngineReceiveTests : public ::testing::TestWithParam<ReceiveCase> {};

std::vector<ReceiveCase> receiveCases() {
    std::vector<ReceiveCase> cases;
    for (const std::size_t packet : {64u, 512u}) {
        for (const std::size_t payload :
             {0u, 1u, 52u, 53u, 499u, 500u, 501u, 511u, 512u, 513u, 4084u, 4085u, 4096u, 4097u, 20000u}) {
            cases.push_back({packet, payload});
        }
    }
    return cases;
}

TEST_P(TransactionEngineReceiveTests, CollectsKnownLengthDataAskingNoMoreThanExpected) {
    const auto [packet, size] = GetParam();
    EngineRig rig(packet, smallChunk);
    const auto payload = patternBytes(size);
    rig.transport->queueDataAndOK(getObjectCode, 0, payload, {3});
    const MTPResponse response = rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive());
    EXPECT_EQ(response.data, payload);
    EXPECT_EQ(response.params, (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(rig.transport->pendingReads(), 0u)
        << "a closing zero-length packet is read past in the response phase";
    const auto reads = rig.transport->calls(Call::read);
    std::uint64_t left = size - std::min<std::size_t>(size, smallChunk / packet * packet - 12);
    for (std::size_t i = 1; i < reads.size() && left > 0; ++i) {
        // The last bytes are read into one whole packet: a read never asks for less.
        EXPECT_LE(reads[i].size, std::max<std::uint64_t>(left, packet)) << "read " << i;
        left -= std::min<std::uint64_t>(left, reads[i].returned);
    }
}

TEST_P(TransactionEngineReceiveTests, StreamsKnownLengthDataToTheSinkReadByRead) {
    const auto [packet, size] = GetParam();
    EngineRig rig(packet, smallChunk);
    const auto payload = patternBytes(size);
    rig.transport->queueDataAndOK(getObjectCode, 0, payload);
    std::vector<std::byte> received;
    std::size_t calls = 0;
    const DataSink sink = [&](std::span<const std::byte> chunk) {
        EXPECT_FALSE(chunk.empty());
        received.insert(received.end(), chunk.begin(), chunk.end());
        ++calls;
    };
    const MTPResponse response =
        rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(sink));
    EXPECT_TRUE(response.data.empty());
    EXPECT_EQ(received, payload);
    const auto reads = rig.transport->calls(Call::read);
    const auto nonEmptyReads =
        std::count_if(reads.begin(), reads.end(), [](const TransportCall& c) { return c.returned > 0; });
    // Every non-empty read but the response, and but a first packet that holds only the header.
    EXPECT_EQ(calls, static_cast<std::size_t>(nonEmptyReads) - 1 - (size == 0 ? 1 : 0))
        << "one sink call per read";
}

TEST_P(TransactionEngineReceiveTests, CollectsIntoGivenMemoryKeepingNothingOfWhatItHeld) {
    const auto [packet, size] = GetParam();
    EngineRig rig(packet, smallChunk);
    const auto payload = patternBytes(size);
    rig.transport->queueDataAndOK(getObjectCode, 0, payload);
    rig.transport->queueResponse(ok, 1);
    const std::vector<std::byte> stale(30000, std::byte{0xEE});
    auto storage = stale;
    EXPECT_EQ(rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(size, storage)).data,
              payload);
    // A response where the data would be brings no data at all.
    storage = stale;
    EXPECT_TRUE(rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(size, storage))
                    .data.empty());
}

INSTANTIATE_TEST_SUITE_P(PacketBoundaries, TransactionEngineReceiveTests,
                         ::testing::ValuesIn(receiveCases()));

TEST(TransactionEngineTests, HeaderOnlyContainerEndsDataAtOnce) {
    EngineRig rig;
    rig.transport->queueDataAndOK(getObjectCode, 0, {});
    const MTPResponse response = rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive());
    EXPECT_TRUE(response.data.empty());
    EXPECT_EQ(rig.transport->calls(Call::read).size(), 2u);
}

TEST(TransactionEngineTests, UnknownLengthEndsAtShortPacketOrEmptyRead) {
    {
        EngineRig rig(512, 4096);
        // 12 + 4084 = one full chunk, then 1000 more: the short last read ends it.
        auto transfer = dataContainer(getObjectCode, 0, patternBytes(5084), 0xFFFFFFFF);
        rig.transport->queueTransfer(std::move(transfer));
        rig.transport->queueResponse(ok, 0);
        const auto response = rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive());
        EXPECT_EQ(response.data, patternBytes(5084));
    }
    {
        EngineRig rig(512, 4096);
        // Exactly two chunks: only the zero-length packet that follows can end it.
        rig.transport->queueTransfer(dataContainer(getObjectCode, 0, patternBytes(8180), 0xFFFFFFFF));
        rig.transport->queueResponse(ok, 0);
        const auto response = rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive());
        EXPECT_EQ(response.data, patternBytes(8180));
        EXPECT_EQ(rig.transport->pendingReads(), 0u);
    }
}

TEST(TransactionEngineTests, StreamsMoreThanFourGiBAnnouncedAsUnknownLength) {
    // Chunks small enough for the allocator to reuse: each read is a fresh buffer from the transport.
    constexpr std::size_t chunk = 64 * 1024;
    EngineRig rig(512, chunk);
    const std::uint64_t payload = 4ULL * 1024 * 1024 * 1024 + 1001;
    const auto header = PTPContainer::header(PTPContainer::Kind::data, getObjectCode, 0, 0xFFFFFFFF);
    rig.transport->queueGeneratedTransfer(std::vector<std::byte>(header.begin(), header.end()), payload + 12);
    rig.transport->queueResponse(ok, 0);
    std::uint64_t received = 0;
    std::size_t largest = 0;
    bool patternHeld = true;
    const DataSink sink = [&](std::span<const std::byte> chunk) {
        patternHeld = patternHeld && chunk.front() == testing::generatedByte(received) &&
                      chunk.back() == testing::generatedByte(received + chunk.size() - 1);
        received += chunk.size();
        largest = std::max(largest, chunk.size());
    };
    rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(sink));
    EXPECT_EQ(received, payload);
    EXPECT_TRUE(patternHeld);
    EXPECT_EQ(largest, chunk);
}

TEST(TransactionEngineTests, ResponseInsteadOfDataEndsTheDataPhase) {
    {
        EngineRig rig;
        rig.transport->queueResponse(ok, 0, {4});
        const auto response = rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive());
        EXPECT_TRUE(response.data.empty());
        EXPECT_EQ(response.params, (std::vector<std::uint32_t>{4}));
        EXPECT_EQ(rig.transport->calls(Call::read).size(), 1u);
    }
    {
        EngineRig rig;
        rig.transport->queueResponse(0x2009, 0);
        const PTPError error = catchPTPError(
            [&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
        EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
        EXPECT_EQ(error.code(), 0x2009);
        EXPECT_EQ(rig.transport->resetCount(), 0u);
    }
}

TEST(TransactionEngineTests, EmptyPacketsBeforeDataAreToleratedSixteenTimes) {
    EngineRig rig;
    rig.transport->queueEmptyReads(16);
    rig.transport->queueDataAndOK(getObjectCode, 0, patternBytes(10));
    EXPECT_EQ(rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()).data,
              patternBytes(10));

    EngineRig silent;
    silent.transport->queueEmptyReads(17);
    const PTPError error = catchPTPError(
        [&] { silent.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text(), "device sent only empty packets while waiting for getObject");
    EXPECT_EQ(silent.transport->calls(Call::read).size(), 17u);
}

TEST(TransactionEngineTests, EmptyReadCountCarriesOverTheFirstPacket) {
    EngineRig rig(512, 4096);
    rig.transport->queueEmptyReads(5);
    // The first packet announces 1000 payload bytes but brings 500; the gap is then all empty reads.
    rig.transport->queuePacket(dataContainer(getObjectCode, 0, patternBytes(500), 1012));
    rig.transport->queueEmptyReads(12);
    const PTPError error =
        catchPTPError([&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text(), "device stopped sending data after 500 of 1000 bytes");
    EXPECT_EQ(rig.transport->calls(Call::read).size(), 18u)
        << "it fails on the twelfth empty read after the packet";
}

TEST(TransactionEngineTests, EmptyReadCountRestartsAfterEachLaterPacket) {
    EngineRig rig(512, 4096);
    rig.transport->queuePacket(dataContainer(getObjectCode, 0, patternBytes(500), 1012));
    rig.transport->queueEmptyReads(16);
    rig.transport->queuePacket(patternBytes(250, 500));
    rig.transport->queueEmptyReads(16);
    rig.transport->queuePacket(patternBytes(250, 750));
    rig.transport->queueResponse(ok, 0);
    EXPECT_EQ(rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()).data,
              patternBytes(1000));
}

TEST(TransactionEngineTests, MalformedFirstPacketsFailWithTheContainerErrors) {
    struct Case {
        const char* what;
        std::vector<std::byte> packet;
        PTPError::Kind kind;
    };
    const std::vector<Case> cases = {
        {"eleven bytes", bytes({11, 0, 0, 0, 2, 0, 9, 0x10, 0, 0, 0}), PTPError::Kind::malformedContainer},
        {"type 5", bytes({12, 0, 0, 0, 5, 0, 9, 0x10, 0, 0, 0, 0}), PTPError::Kind::unexpectedContainer},
        {"command", bytes({12, 0, 0, 0, 1, 0, 9, 0x10, 0, 0, 0, 0}), PTPError::Kind::unexpectedContainer},
        {"event", bytes({16, 0, 0, 0, 4, 0, 2, 0x40, 0, 0, 0, 0, 1, 0, 0, 0}),
         PTPError::Kind::unexpectedContainer},
        {"data length below header", bytes({8, 0, 0, 0, 2, 0, 9, 0x10, 0, 0, 0, 0}),
         PTPError::Kind::truncatedData},
        {"truncated response", bytes({20, 0, 0, 0, 3, 0, 1, 0x20, 0, 0, 0, 0, 1, 0, 0, 0}),
         PTPError::Kind::truncatedData},
        {"stale data container", dataContainer(getObjectCode, 7, patternBytes(4)),
         PTPError::Kind::transactionMismatch},
        {"data past its length", dataContainer(getObjectCode, 0, patternBytes(40), 20),
         PTPError::Kind::malformedContainer},
    };
    for (const Case& c : cases) {
        EngineRig rig;
        rig.transport->queuePacket(c.packet);
        const PTPError error = catchPTPError(
            [&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
        EXPECT_EQ(error.kind(), c.kind) << c.what << ": " << error.description();
    }
}

TEST(TransactionEngineTests, DataRunningPastItsLengthInALaterReadFails) {
    EngineRig rig(64, 4096);
    rig.transport->queuePacket(dataContainer(getObjectCode, 0, patternBytes(52), 12 + 100));
    rig.transport->queuePacket(patternBytes(64)); // 48 were left
    const PTPError error =
        catchPTPError([&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.kind(), PTPError::Kind::malformedContainer);
    EXPECT_EQ(error.text(), "the data of getObject runs past the 100 bytes that its container announced");
}

TEST(TransactionEngineTests, CollectedDataIsBoundedByTheLimit) {
    EngineRig rig(512, 4096);
    rig.transport->queueDataAndOK(getObjectCode, 0, patternBytes(3000));
    const PTPError error = catchPTPError(
        [&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(2048)); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(rig.transport->pendingReads(), 0u) << "the rest and the response were read to stay in step";
}

// Response phase

TEST(TransactionEngineTests, ResponsePhaseRereadsEmptyPacketsThreeTimes) {
    EngineRig rig;
    rig.transport->queueEmptyReads(3);
    rig.transport->queueResponse(ok, 0);
    EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {1, 0}));

    EngineRig silent;
    silent.transport->queueEmptyReads(4);
    silent.transport->failReset(PTPError::usb("device reset failed: 0xe0004051"));
    const PTPError error = catchPTPError([&] {
        silent.engine->transaction(PTPOperation::deleteObject, {1, 0});
    });
    EXPECT_EQ(error.kind(), PTPError::Kind::malformedContainer);
    EXPECT_EQ(error.text(), "header too short (0 bytes)");
}

TEST(TransactionEngineTests, ResponseChecksRunInOrder) {
    struct Case {
        const char* what;
        std::vector<std::byte> packet;
        PTPError::Kind kind;
    };
    const std::vector<Case> cases = {
        {"data container", dataContainer(0x100B, 0, {}), PTPError::Kind::unexpectedContainer},
        {"data with wrong ID and bad code", dataContainer(0x100B, 3, {}),
         PTPError::Kind::unexpectedContainer},
        {"wrong ID and bad code", testing::responseContainer(0x2002, 5), PTPError::Kind::transactionMismatch},
        {"length beyond bytes", bytes({20, 0, 0, 0, 3, 0, 1, 0x20, 0, 0, 0, 0}),
         PTPError::Kind::truncatedData},
        {"bad code", testing::responseContainer(0x2002, 0), PTPError::Kind::responseError},
    };
    for (const Case& c : cases) {
        EngineRig rig;
        rig.transport->queuePacket(c.packet);
        const PTPError error = catchPTPError([&] {
            rig.engine->transaction(PTPOperation::deleteObject, {1, 0});
        });
        EXPECT_EQ(error.kind(), c.kind) << c.what << ": " << error.description();
    }
}

TEST(TransactionEngineTests, TransportErrorsPassThroughUnchanged) {
    EngineRig rig;
    rig.transport->failWrite(0, PTPError::usb("write timed out"));
    rig.transport->failReset(PTPError::usb("device reset: device disconnected"));
    PTPError error = catchPTPError([&] { rig.engine->transaction(PTPOperation::deleteObject, {1, 0}); });
    EXPECT_EQ(error.description(), "USB: write timed out");

    EngineRig reading;
    const auto container = dataContainer(getObjectCode, 0, patternBytes(3000));
    reading.transport->queuePacket(std::vector<std::byte>(container.begin(), container.begin() + 512));
    reading.transport->queueReadFailure(PTPError::usb("read timed out"));
    error = catchPTPError(
        [&] { reading.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.description(), "USB: read timed out");
}

// Recovery after a transaction that broke off

TEST(TransactionEngineTests, SinkErrorDrainsAShortRestAndCancelsALongOne) {
    const PTPError busy = PTPError::usb("cancel failed: 0xe000404f");
    struct Case {
        const char* name;
        std::size_t size;
        std::optional<PTPError> cancelError;
        std::size_t busyStatuses;
        std::size_t cancels;
        std::size_t statusReads;
        std::size_t resets;
    };
    const std::vector<Case> cases{
        // 4096-byte reads: the sink fails on the second, and less than one chunk is left to read.
        {"short rest, read to the end", 9000, std::nullopt, 0, 0, 0, 0},
        {"long rest, cancelled", 50'000, std::nullopt, 0, 1, 1, 0},
        {"long rest, busy twice after the cancel", 50'000, std::nullopt, 2, 1, 3, 0},
        {"long rest, no cancel on the device", 50'000, busy, 0, 1, 0, 1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EngineRig rig(512, 4096);
        rig.transport->queueDataAndOK(getObjectCode, 0, patternBytes(each.size));
        rig.transport->failCancel(each.cancelError);
        for (std::size_t i = 0; i < each.busyStatuses; ++i) {
            rig.transport->queueDeviceStatus({0x2019, {}});
        }
        int calls = 0;
        const DataSink sink = [&](std::span<const std::byte>) {
            if (++calls == 2) {
                throw std::runtime_error("disk full");
            }
        };
        const auto start = rig.clock.now();
        EXPECT_THROW(rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive(sink)),
                     std::runtime_error);
        EXPECT_EQ(calls, 2);
        const auto cancels = rig.transport->calls(Call::cancel);
        ASSERT_EQ(cancels.size(), each.cancels);
        if (!cancels.empty()) {
            EXPECT_EQ(cancels[0].size, 0u) << "the cancel names the transaction";
        }
        EXPECT_EQ(rig.transport->calls(Call::deviceStatus).size(), each.statusReads);
        EXPECT_EQ(rig.transport->resetCount(), each.resets);
        EXPECT_EQ(rig.clock.now() - start, std::chrono::milliseconds(20 * each.busyStatuses));
        if (each.resets == 0) {
            EXPECT_EQ(rig.transport->pendingReads(), 0u) << "nothing of the transaction is left";
            rig.transport->queueResponse(ok, 1);
            EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {2, 0}));
        }
    }
}

TEST(TransactionEngineTests, DataThatEndsOtherwiseThanAnnouncedEndsAtTheResponseWithoutWaiting) {
    // 500 bytes of payload fill one 512-byte packet; without the zero-length packet after it the device's
    // response arrives in the same read.
    auto runOn = dataContainer(getObjectCode, 0, patternBytes(500));
    const auto response = testing::responseContainer(ok, 0, {7});
    runOn.insert(runOn.end(), response.begin(), response.end());
    const auto shortData = dataContainer(getObjectCode, 0, patternBytes(100), 1012);
    struct Case {
        const char* name;
        std::vector<std::vector<std::byte>> packets;
        bool sinkFails;
        std::string error; // empty: the data arrive whole
    };
    const std::vector<Case> cases{
        {"response run into the data", {runOn}, false, ""},
        {"response run into the data, the sink fails", {runOn}, true, "I/O: disk full"},
        {"100 of 1000 bytes, then OK",
         {shortData, testing::responseContainer(ok, 0)},
         false,
         "I/O: getObject: the device ended its data after 100 of 1000 announced bytes"},
        {"100 of 1000 bytes, then an error",
         {shortData, testing::responseContainer(0x2007, 0)},
         false,
         "getObject failed: incompleteTransfer"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EngineRig rig;
        for (const auto& packet : each.packets) {
            rig.transport->queuePacket(packet);
        }
        const DataPhase phase =
            each.sinkFails
                ? DataPhase::receive([](std::span<const std::byte>) { throw PTPError::io("disk full"); })
                : DataPhase::receive();
        if (each.error.empty()) {
            const MTPResponse result = rig.engine->transaction(PTPOperation::getObject, {1}, phase);
            EXPECT_EQ(result.data, patternBytes(500));
            EXPECT_EQ(result.params, (std::vector<std::uint32_t>{7}));
        } else {
            EXPECT_EQ(catchPTPError([&] {
                          rig.engine->transaction(PTPOperation::getObject, {1}, phase);
                      }).description(),
                      each.error);
        }
        EXPECT_EQ(rig.transport->calls(Call::read).size(), each.packets.size()) << "nothing is waited for";
        EXPECT_EQ(rig.transport->resetCount(), 0u);
        rig.transport->queueResponse(ok, 1);
        EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {2, 0}));
    }
}

TEST(TransactionEngineTests, StaleResponseIsSkippedSoTheNextTransactionWorks) {
    EngineRig rig;
    rig.engine->setNextTransactionID(5);
    rig.transport->queueResponse(ok, 4); // left over from an earlier transaction
    rig.transport->queueResponse(ok, 5);
    rig.transport->queueResponse(ok, 6);
    const PTPError error = catchPTPError([&] {
        rig.engine->transaction(PTPOperation::deleteObject, {1, 0});
    });
    EXPECT_EQ(error.kind(), PTPError::Kind::transactionMismatch);
    EXPECT_EQ(error.expected(), 5u);
    EXPECT_EQ(error.got(), 4u);
    EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {2, 0}));
    EXPECT_EQ(rig.transport->commands().back().transactionID(), 6u);
    EXPECT_EQ(rig.transport->resetCount(), 0u);
}

TEST(TransactionEngineTests, StaleDataContainerIsSkippedWithItsResponse) {
    EngineRig rig(512, 4096);
    rig.engine->setNextTransactionID(8);
    rig.transport->queueDataAndOK(getObjectCode, 7, patternBytes(6000)); // the earlier transaction's rest
    rig.transport->queueDataAndOK(getObjectCode, 8, patternBytes(100));  // then the device answers ours
    rig.transport->queueResponse(ok, 9);
    const PTPError error =
        catchPTPError([&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.kind(), PTPError::Kind::transactionMismatch);
    EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {2, 0}));
    EXPECT_EQ(rig.transport->pendingReads(), 0u);
}

TEST(TransactionEngineTests, ProviderErrorEndsThePhaseWithAShortPacketAndReadsTheAnswer) {
    EngineRig rig(512, 4096);
    int calls = 0;
    const DataProvider failing = [&](std::span<std::byte> into) -> std::size_t {
        if (++calls == 3) {
            throw PTPError::io("read failed: Input/output error");
        }
        std::memset(into.data(), 7, into.size());
        return into.size();
    };
    rig.transport->queueResponse(0x2007, 0); // incompleteTransfer
    rig.transport->queueResponse(ok, 1);
    const PTPError error = catchPTPError(
        [&] { rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(100'000, failing)); });
    EXPECT_EQ(error.description(), "I/O: read failed: Input/output error");
    EXPECT_EQ(rig.transport->dataBytesWritten(), 8192u);
    EXPECT_EQ(rig.transport->calls(Call::writeZeroLength).size(), 1u);
    EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {2, 0}));
    EXPECT_EQ(rig.transport->resetCount(), 0u);
}

TEST(TransactionEngineTests, ProviderErrorBeforeAnyDataSendsTheBareHeader) {
    EngineRig rig(512, 4096);
    const DataProvider failing = [](std::span<std::byte>) -> std::size_t { throw PTPError::cancelled(); };
    rig.transport->queueResponse(0x2007, 0);
    EXPECT_EQ(catchPTPError([&] {
                  rig.engine->transaction(PTPOperation::sendObject, {}, DataPhase::send(100'000, failing));
              }).kind(),
              PTPError::Kind::cancelled);
    const auto written = rig.transport->dataWritten();
    ASSERT_EQ(written.size(), 12u);
    EXPECT_EQ(lengthFieldOf(written), 100'012u) << "a short header cannot pass for a complete empty object";
    EXPECT_EQ(rig.transport->pendingReads(), 0u);
}

TEST(TransactionEngineTests, SilentDeviceIsResetAndTheOwnerReopensTheSession) {
    EngineRig rig(512, 4096);
    rig.engine->setNextTransactionID(40);
    rig.transport->queuePacket(dataContainer(getObjectCode, 40, patternBytes(500), 10'012));
    rig.transport->queueReadFailure(PTPError::usb("read timed out"));
    const PTPError error =
        catchPTPError([&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.description(), "USB: read timed out");
    EXPECT_EQ(rig.transport->resetCount(), 1u);
    EXPECT_EQ(rig.sessionsLost, 1);
    EXPECT_EQ(rig.engine->nextTransactionID(), 0u);
}

TEST(TransactionEngineTests, ADeviceThatNeitherAnswersNorRecoversIsGoneAndLaterTransactionsFailAtOnce) {
    const PTPError timedOut = PTPError::usb("read timed out");
    struct Case {
        const char* name;
        std::optional<PTPError> resetError;
        std::optional<PTPError> reopenError;
        bool gone;
    };
    const std::vector<Case> cases{
        {"the reset brings it back", std::nullopt, std::nullopt, false},
        {"the reset fails", PTPError::usb("device reset timed out"), std::nullopt, true},
        {"the new session fails", std::nullopt, PTPError::usb("write timed out"), true},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EngineRig rig;
        rig.transport->queueReadFailure(timedOut);
        rig.transport->failReset(each.resetError);
        rig.reopenError = each.reopenError;
        EXPECT_EQ(
            catchPTPError([&] { rig.engine->transaction(PTPOperation::getStorageIDs, {}); }).description(),
            "USB: read timed out");
        EXPECT_EQ(rig.engine->lostError().has_value(), each.gone);
        rig.transport->clearCalls();
        rig.transport->queueResponse(ok, 0);
        const auto later = [&] { rig.engine->transaction(PTPOperation::deleteObject, {2, 0}); };
        if (!each.gone) {
            EXPECT_NO_THROW(later());
            continue;
        }
        const PTPError error = catchPTPError(later);
        EXPECT_EQ(error.kind(), PTPError::Kind::usb);
        EXPECT_NE(error.text().find("stopped answering"), std::string::npos) << error.text();
        EXPECT_TRUE(rig.transport->calls().empty()) << "nothing reaches the transport any more";
    }

    // A device that answered, however badly, is alive even when its reset fails.
    EngineRig answering;
    answering.transport->queuePacket(testing::bytes({1, 2, 3}));
    answering.transport->failReset(PTPError::usb("device reset failed: 0xe000404f"));
    EXPECT_THROW(answering.engine->transaction(PTPOperation::getStorageIDs, {}), PTPError);
    EXPECT_FALSE(answering.engine->lostError().has_value());
}

TEST(TransactionEngineTests, DrainThatFindsNothingFallsBackToReset) {
    EngineRig rig;
    rig.transport->queueResponse(ok, 3); // a stale response, and then silence
    const PTPError error = catchPTPError([&] {
        rig.engine->transaction(PTPOperation::deleteObject, {1, 0});
    });
    EXPECT_EQ(error.kind(), PTPError::Kind::transactionMismatch);
    EXPECT_EQ(rig.transport->resetCount(), 1u);
    EXPECT_EQ(rig.sessionsLost, 1);
}

TEST(TransactionEngineTests, FailedResetLeavesTheOriginalErrorAndLaterTransactionsRun) {
    EngineRig rig;
    rig.transport->failReset(PTPError::usb("device reset failed: 0xe00002c0"));
    rig.transport->queueEmptyReads(4);
    EXPECT_EQ(catchPTPError([&] {
                  rig.engine->transaction(PTPOperation::deleteObject, {1, 0});
              }).kind(),
              PTPError::Kind::malformedContainer);
    EXPECT_EQ(rig.sessionsLost, 0);
    rig.transport->queueResponse(ok, 1);
    EXPECT_NO_THROW(rig.engine->transaction(PTPOperation::deleteObject, {1, 0}));
}

TEST(TransactionEngineTests, DisconnectedTransportIsNotRecovered) {
    EngineRig rig;
    rig.transport->queuePacket(dataContainer(getObjectCode, 0, patternBytes(500), 10'012));
    rig.transport->queueReadFailure(PTPError::usb("read: device disconnected"),
                                    ScriptedTransport::Disconnect::yes);
    const PTPError error =
        catchPTPError([&] { rig.engine->transaction(PTPOperation::getObject, {1}, DataPhase::receive()); });
    EXPECT_EQ(error.description(), "USB: read: device disconnected");
    EXPECT_EQ(rig.transport->calls(Call::resetDevice).size(), 0u);
}

} // namespace
} // namespace corvane
