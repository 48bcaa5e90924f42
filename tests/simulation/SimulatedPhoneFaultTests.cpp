#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPError.h"
#include "tests/simulation/SimulatedPhoneTestHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace simulation {
namespace {

using corvane::PTPContainer;
using corvane::PTPOperation;
using testing::Answer;
using testing::CoreHost;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::PhoneWithSession;
using ZLP = usb::InTransfer::ZeroLengthPacket;

/// Counts the phone's wake-ups, and lets a test wait for the next one in bounded real time. The phone
/// copies its handler out before calling it, so a wake-up can still arrive after the counter is gone:
/// the state the handler touches is shared with it and lives as long as either.
class WakeCounter {
public:
    explicit WakeCounter(SimulatedPhone& phone) : m_state(std::make_shared<State>()) {
        phone.setWakeHandler([state = m_state] {
            std::lock_guard lock(state->mutex);
            ++state->count;
            state->changed.notify_all();
        });
    }
    int count() {
        std::lock_guard lock(m_state->mutex);
        return m_state->count;
    }
    bool waitFor(int count) {
        std::unique_lock lock(m_state->mutex);
        return m_state->changed.wait_for(lock, std::chrono::seconds(20),
                                         [&] { return m_state->count >= count; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int count = 0;
    };
    std::shared_ptr<State> m_state;
};

std::vector<std::size_t> sizes(const std::vector<usb::InReply>& transfers) {
    std::vector<std::size_t> result;
    for (const auto& transfer : transfers) {
        if (transfer.reply == usb::Reply::done) {
            result.push_back(transfer.transfer.data.size());
        }
    }
    return result;
}

TEST(SimulatedPhoneFaultTests, ResponseCodeFaultsHitTheChosenCalls) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a", "a");
    fixture.phone.injectFault(PTPOperation::getObjectInfo, PhoneFault::busy(), 2, 2);
    std::vector<std::uint16_t> codes;
    for (int call = 0; call < 4; ++call) {
        codes.push_back(fixture.host.run(PTPOperation::getObjectInfo, {file}).code());
    }
    EXPECT_THAT(codes, ElementsAre(0x2001, 0x2019, 0x2019, 0x2001));
    EXPECT_TRUE(fixture.phone.transactions()[2].faulted);

    fixture.phone.injectFault(PTPOperation::deleteObject, PhoneFault::respond(0x2002), 1,
                              SimulatedPhone::always);
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {file, 0}).code(), 0x2002);
    }
    // The phone answered without doing the operation.
    EXPECT_TRUE(fixture.phone.object(file));
    fixture.phone.clearFaults();
    EXPECT_TRUE(fixture.host.run(PTPOperation::deleteObject, {file, 0}).ok());
}

TEST(SimulatedPhoneFaultTests, RefusedSendObjectLeavesNoObjectBehind) {
    PhoneWithSession fixture;
    const auto info = corvane::ObjectInfo(fixture.storage, 0, "f", 0x3000, 3, 0).encoded();
    const auto handle =
        fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, 0}, info).params()[2];
    fixture.phone.injectFault(PTPOperation::sendObject, PhoneFault::respond(0x2007));
    EXPECT_EQ(fixture.host.run(PTPOperation::sendObject, {}, testing::bytesOf("abc")).code(), 0x2007);
    EXPECT_FALSE(fixture.phone.object(handle));
    // The object information is used up.
    EXPECT_EQ(fixture.host.run(PTPOperation::sendObject, {}, testing::bytesOf("abc")).code(), 0x2015);
}

TEST(SimulatedPhoneFaultTests, SilentPhoneNeverAnswers) {
    PhoneWithSession fixture;
    fixture.phone.injectFault(PTPOperation::getStorageIDs, PhoneFault::silence());
    const Answer answer = fixture.host.run(PTPOperation::getStorageIDs);
    EXPECT_FALSE(answer.response);
    ASSERT_EQ(answer.transfers.size(), 1u);
    EXPECT_EQ(answer.transfers[0].reply, usb::Reply::notYet);
    const auto entry = fixture.phone.transactions().back();
    EXPECT_FALSE(entry.responseCode);
    EXPECT_EQ(entry.note, "silent");
    // A host that gave up and goes on breaks no rule.
    EXPECT_TRUE(fixture.host.run(PTPOperation::getStorageIDs).ok());
    EXPECT_TRUE(fixture.phone.violations().empty());
}

TEST(SimulatedPhoneFaultTests, DelayedAnswerComesWhenThePhoneClockReachesIt) {
    platform::VirtualClock clock;
    SimulatedPhone phone(clock);
    WakeCounter wakes(phone);
    phone.addStorage();
    CoreHost host(phone);
    host.openSession();
    phone.injectFault(PTPOperation::getStorageIDs, PhoneFault::delayed(std::chrono::seconds(2)));
    host.write(testing::commandBytes(PTPOperation::getStorageIDs, 1));
    EXPECT_EQ(phone.produceIn().reply, usb::Reply::notYet);
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(std::chrono::milliseconds(1999));
    EXPECT_EQ(phone.produceIn().reply, usb::Reply::notYet);
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(wakes.waitFor(1));
    EXPECT_TRUE(CoreHost::parse(host.drain()).ok());
}

TEST(SimulatedPhoneFaultTests, DisconnectionInTheMiddleOfEachDirection) {
    {
        SCOPED_TRACE("while sending data");
        PhoneWithSession fixture;
        const auto file = fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 2000);
        fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::disconnectAfter(1000));
        const Answer answer = fixture.host.run(PTPOperation::getObject, {file});
        EXPECT_THAT(sizes(answer.transfers), ElementsAre(1012u));
        EXPECT_EQ(answer.transfers.back().reply, usb::Reply::disconnect);
        EXPECT_FALSE(fixture.phone.isAttached());
        EXPECT_EQ(fixture.phone.receiveOut(testing::commandBytes(PTPOperation::getStorageIDs, 3)),
                  usb::Reply::disconnect);
        EXPECT_EQ(fixture.phone.transactions().back().dataInBytes, 1000u);
        // Plugged in again, it is a fresh device: no session.
        fixture.phone.attached();
        EXPECT_TRUE(fixture.phone.isAttached());
        EXPECT_FALSE(fixture.phone.isSessionOpen());
    }
    {
        SCOPED_TRACE("while receiving data");
        PhoneWithSession fixture;
        const auto info = corvane::ObjectInfo(fixture.storage, 0, "up", 0x3000, 3000, 0).encoded();
        const auto handle =
            fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, 0}, info).params()[2];
        fixture.phone.injectFault(PTPOperation::sendObject, PhoneFault::disconnectAfter(100));
        fixture.host.write(testing::commandBytes(PTPOperation::sendObject, 2));
        const auto header = PTPContainer::header(PTPContainer::Kind::data, 0x100D, 2, 12 + 3000);
        std::vector<std::byte> first(header.begin(), header.end());
        first.resize(12 + 3000);
        EXPECT_EQ(fixture.phone.receiveOut(first), usb::Reply::disconnect);
        EXPECT_FALSE(fixture.phone.object(handle));
    }
    {
        SCOPED_TRACE("at the command");
        PhoneWithSession fixture;
        fixture.phone.injectFault(PTPOperation::getStorageIDs, PhoneFault::disconnectAfter(0));
        EXPECT_EQ(fixture.phone.receiveOut(testing::commandBytes(PTPOperation::getStorageIDs, 1)),
                  usb::Reply::disconnect);
    }
}

TEST(SimulatedPhoneFaultTests, EmptyPacketsAroundAndInsideTheData) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 1000);
    fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::emptyPackets(5));
    fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::emptyPackets(12, 500));
    fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::emptyPacketsBeforeResponse(2));
    const Answer answer = fixture.host.run(PTPOperation::getObject, {file});
    std::vector<std::size_t> expected(5, 0);
    expected.push_back(512);
    expected.insert(expected.end(), 12, 0);
    expected.push_back(500);
    expected.insert(expected.end(), {0, 0, 12});
    EXPECT_EQ(sizes(answer.transfers), expected);
    EXPECT_EQ(answer.data, SimulatedPhone::generatedBytes(file, 0, 1000));
    EXPECT_TRUE(answer.ok());
}

TEST(SimulatedPhoneFaultTests, ContainerFaults) {
    struct Case {
        const char* name;
        PhoneFault fault;
        std::uint32_t dataLength; // the data container's length field
        std::size_t dataBytes;    // the bytes of the data container actually sent
        std::uint32_t dataID;     // its transaction ID
        std::uint32_t responseID; // the response's transaction ID
    };
    const Case cases[] = {
        {"wrong data transaction ID", PhoneFault::wrongDataTransactionID(), 112, 112, 2, 1},
        {"wrong response transaction ID", PhoneFault::wrongResponseTransactionID(), 112, 112, 1, 2},
        {"truncated data container", PhoneFault::truncatedDataContainer(10), 122, 112, 1, 1},
        {"oversized data container", PhoneFault::oversizedDataContainer(8), 112, 120, 1, 1},
        {"short data phase", PhoneFault::shortData(4), 112, 16, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhoneWithSession fixture;
        const auto file = fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 100);
        fixture.phone.injectFault(PTPOperation::getObject, c.fault);
        fixture.host.write(testing::commandBytes(PTPOperation::getObject, 1, {file}));
        const auto transfers = fixture.host.drain();
        ASSERT_GE(transfers.size(), 2u);
        const auto& data = transfers[0].transfer.data;
        const auto header = PTPContainer::parseHeader(data);
        EXPECT_EQ(header.length, c.dataLength);
        EXPECT_EQ(data.size(), c.dataBytes);
        EXPECT_EQ(header.transactionID, c.dataID);
        const auto response = PTPContainer::parse(transfers[1].transfer.data);
        EXPECT_EQ(response.transactionID(), c.responseID);
        EXPECT_EQ(response.code(), 0x2001);
    }
}

TEST(SimulatedPhoneFaultTests, TruncatedResponseAnnouncesMoreThanItHolds) {
    PhoneWithSession fixture;
    fixture.phone.injectFault(PTPOperation::getStorageIDs, PhoneFault::truncatedResponse());
    fixture.host.write(testing::commandBytes(PTPOperation::getStorageIDs, 1));
    const auto transfers = fixture.host.drain();
    ASSERT_EQ(sizes(transfers).size(), 2u);
    const auto& response = transfers[1].transfer.data;
    EXPECT_EQ(response.size(), 12u);
    EXPECT_EQ(PTPContainer::parseHeader(response).length, 16u);
    EXPECT_THROW(PTPContainer::parse(response), corvane::PTPError);
}

TEST(SimulatedPhoneFaultTests, ZeroLengthPacketAfterAContainerThatFillsWholePackets) {
    for (const bool forget : {false, true}) {
        SCOPED_TRACE(forget ? "the phone forgets it" : "the phone sends it");
        PhoneWithSession fixture;
        const auto file = fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 500);
        if (forget) {
            fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::missingZLP());
        }
        const Answer answer = fixture.host.run(PTPOperation::getObject, {file});
        ASSERT_EQ(answer.transfers[0].transfer.data.size(), 512u);
        EXPECT_EQ(answer.transfers[0].transfer.zeroLengthPacket, forget ? ZLP::never : ZLP::whenAligned);
        EXPECT_EQ(fixture.phone.transactions().back().phoneSentZLP, !forget);
    }
}

TEST(SimulatedPhoneFaultTests, MalformedDatasetsAndResponseParameters) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "name.txt", "x");
    fixture.phone.injectFault(PTPOperation::getObjectInfo, PhoneFault::truncateDataset(53));
    const Answer cut = fixture.host.run(PTPOperation::getObjectInfo, {file});
    EXPECT_EQ(cut.dataHeader.length, 12u + 53u);
    EXPECT_THROW(corvane::ObjectInfo::parse(cut.data), corvane::PTPError);

    fixture.phone.injectFault(PTPOperation::getObjectPropList,
                              PhoneFault::replaceData({std::byte{1}, std::byte{0}}));
    EXPECT_EQ(fixture.host.run(PTPOperation::getObjectPropList, {0, 0, 0xDC07, 0, 1}).data.size(), 2u);

    fixture.phone.injectFault(PTPOperation::sendObjectInfo,
                              PhoneFault::replaceResponseParams({fixture.storage, 0}));
    const auto info = corvane::ObjectInfo(fixture.storage, 0, "new", 0x3001, 0, 0).encoded();
    EXPECT_THAT(fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, 0}, info).params(),
                ElementsAre(fixture.storage, 0u));
}

TEST(SimulatedPhoneFaultTests, StallsHaltTheirPipeUntilTheHostClearsThem) {
    {
        SCOPED_TRACE("bulk-IN at the data phase");
        PhoneWithSession fixture;
        const auto file = fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "f", 2000);
        fixture.phone.injectFault(PTPOperation::getObject, PhoneFault::stallIn(1000));
        const Answer answer = fixture.host.run(PTPOperation::getObject, {file});
        EXPECT_THAT(sizes(answer.transfers), ElementsAre(1012u));
        EXPECT_EQ(answer.transfers.back().reply, usb::Reply::stall);
        EXPECT_EQ(fixture.phone.produceIn().reply, usb::Reply::stall);
        fixture.phone.haltCleared(PhonePipe::bulkIn);
        EXPECT_EQ(fixture.phone.produceIn().reply, usb::Reply::notYet);
        EXPECT_TRUE(fixture.host.run(PTPOperation::getStorageIDs).ok());
    }
    {
        SCOPED_TRACE("bulk-IN instead of the response");
        PhoneWithSession fixture;
        fixture.phone.injectFault(PTPOperation::getStorageIDs, PhoneFault::stallResponse());
        const Answer answer = fixture.host.run(PTPOperation::getStorageIDs);
        EXPECT_TRUE(answer.hasData);
        EXPECT_EQ(answer.transfers.back().reply, usb::Reply::stall);
        EXPECT_FALSE(fixture.phone.transactions().back().responseCode);
    }
    {
        SCOPED_TRACE("bulk-OUT at the host's data phase");
        PhoneWithSession fixture;
        const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a", "a");
        fixture.phone.injectFault(PTPOperation::setObjectPropValue, PhoneFault::stallOut());
        fixture.host.write(testing::commandBytes(PTPOperation::setObjectPropValue, 1, {file, 0xDC07}));
        const auto name = testing::ptpString("b");
        auto header = PTPContainer::header(PTPContainer::Kind::data, 0x9804, 1, 12 + name.size());
        std::vector<std::byte> data(header.begin(), header.end());
        data.insert(data.end(), name.begin(), name.end());
        EXPECT_EQ(fixture.phone.receiveOut(data), usb::Reply::stall);
        EXPECT_EQ(fixture.phone.receiveOut(data), usb::Reply::stall);
        fixture.phone.haltCleared(PhonePipe::bulkOut);
        fixture.host.nextTransactionID = 2;
        EXPECT_TRUE(fixture.host.run(PTPOperation::getStorageIDs).ok());
        EXPECT_EQ(fixture.phone.object(file)->name, "a");
    }
}

TEST(SimulatedPhoneFaultTests, GateHoldsTheOperationUntilReleased) {
    PhoneWithSession fixture;
    WakeCounter wakes(fixture.phone);
    auto early = fixture.phone.addGate(PTPOperation::getStorageInfo);
    early->release();
    auto gate = fixture.phone.addGate(PTPOperation::getStorageIDs, 2);
    EXPECT_TRUE(fixture.host.run(PTPOperation::getStorageInfo, {fixture.storage}).ok());
    EXPECT_TRUE(fixture.host.run(PTPOperation::getStorageIDs).ok());
    EXPECT_FALSE(gate->isReached());

    fixture.host.write(testing::commandBytes(PTPOperation::getStorageIDs, 3));
    EXPECT_EQ(fixture.phone.produceIn().reply, usb::Reply::notYet);
    EXPECT_TRUE(gate->isReached());
    EXPECT_EQ(gate->transactionID(), 3u);
    EXPECT_EQ(fixture.phone.produceIn().reply, usb::Reply::notYet);
    const int before = wakes.count();
    gate->release();
    EXPECT_EQ(wakes.count(), before + 1);
    const Answer answer = CoreHost::parse(fixture.host.drain());
    EXPECT_TRUE(answer.ok());
    EXPECT_TRUE(fixture.phone.transactions().back().gated);
}

TEST(SimulatedPhoneFaultTests, ACommandDuringATransactionIsAViolation) {
    PhoneWithSession fixture;
    auto gate = fixture.phone.addGate(PTPOperation::getStorageIDs);
    fixture.host.write(testing::commandBytes(PTPOperation::getStorageIDs, 1));
    EXPECT_EQ(fixture.phone.produceIn().reply, usb::Reply::notYet);
    fixture.host.write(testing::commandBytes(PTPOperation::getStorageInfo, 2, {fixture.storage}));
    ASSERT_EQ(fixture.phone.violations().size(), 1u);
    EXPECT_THAT(fixture.phone.violations()[0],
                HasSubstr("getStorageInfo (transaction 2) arrived while getStorageIDs (transaction 1)"));
    const Answer answer = CoreHost::parse(fixture.host.drain());
    EXPECT_EQ(answer.response->transactionID(), 2u);
    const auto log = fixture.phone.transactions();
    EXPECT_FALSE(log[log.size() - 2].responseCode);
    EXPECT_THAT(log[log.size() - 2].note, HasSubstr("interrupted"));
}

TEST(SimulatedPhoneFaultTests, HostProtocolViolations) {
    struct Case {
        const char* name;
        std::function<void(SimulatedPhone&, CoreHost&)> act;
        const char* violation;
    };
    const Case cases[] = {
        {"a stray zero-length packet", [](SimulatedPhone&, CoreHost& host) { host.write({}); },
         "zero-length packet outside a data phase"},
        {"a missing zero-length packet",
         [](SimulatedPhone& phone, CoreHost& host) {
             const auto file = phone.addFile(0x00010001, SimulatedPhone::root, "a", "a");
             host.write(testing::commandBytes(PTPOperation::setObjectPropValue, 1, {file, 0xDC07}));
             auto header = PTPContainer::header(PTPContainer::Kind::data, 0x9804, 1, 512);
             std::vector<std::byte> data(header.begin(), header.end());
             data.resize(512);
             data[12] = std::byte{0};
             host.write(data);
             host.drain();
             host.write(testing::commandBytes(PTPOperation::getStorageIDs, 2));
         },
         "did not end the data phase of setObjectPropValue (transaction 1) with a zero-length packet"},
        {"a data container where the command belongs",
         [](SimulatedPhone& phone, CoreHost&) {
             const auto header = PTPContainer::header(PTPContainer::Kind::data, 0x1004, 1, 12);
             EXPECT_EQ(phone.receiveOut(header), usb::Reply::stall);
         },
         "data container where a command belongs"},
        {"a command that is too short",
         [](SimulatedPhone& phone, CoreHost&) {
             EXPECT_EQ(phone.receiveOut(std::vector<std::byte>(8)), usb::Reply::stall);
         },
         "malformed command container"},
        {"six parameters",
         [](SimulatedPhone&, CoreHost& host) {
             host.write(testing::commandBytes(PTPOperation::getStorageIDs, 1, {1, 2, 3, 4, 5, 6}));
         },
         "carries 6 parameters"},
        {"a data container of another transaction",
         [](SimulatedPhone& phone, CoreHost& host) {
             const auto file = phone.addFile(0x00010001, SimulatedPhone::root, "a", "a");
             host.write(testing::commandBytes(PTPOperation::setObjectPropValue, 1, {file, 0xDC07}));
             host.sendData(PTPOperation::setObjectPropValue, 9, testing::ptpString("b"));
             EXPECT_EQ(CoreHost::parse(host.drain()).code(), 0x2004);
             EXPECT_EQ(phone.object(file)->name, "a");
         },
         "carries transaction ID 9"},
        {"a transaction ID out of turn",
         [](SimulatedPhone&, CoreHost& host) {
             host.run(PTPOperation::getStorageIDs);
             host.nextTransactionID = 5;
             EXPECT_TRUE(host.run(PTPOperation::getStorageIDs).ok());
         },
         "getStorageIDs (transaction 5) follows transaction 1 in the session"},
        {"a data phase that is given up",
         [](SimulatedPhone& phone, CoreHost& host) {
             const auto file = phone.addFile(0x00010001, SimulatedPhone::root, "a", "abc");
             host.run(PTPOperation::androidBeginEditObject, {file});
             host.write(testing::commandBytes(PTPOperation::androidSendPartialObject, 2, {file, 0, 0, 4000}));
             auto header = PTPContainer::header(PTPContainer::Kind::data, 0x95C2, 2, 12 + 4000);
             std::vector<std::byte> first(header.begin(), header.end());
             first.resize(1024);
             host.write(first);
             host.write(testing::commandBytes(PTPOperation::androidEndEditObject, 3, {file}));
             EXPECT_TRUE(CoreHost::parse(host.drain()).ok());
         },
         "abandoned the data phase of androidSendPartialObject (transaction 2) after 1012 of 4000 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhoneWithSession fixture;
        fixture.host.nextTransactionID = 1;
        c.act(fixture.phone, fixture.host);
        ASSERT_EQ(fixture.phone.violations().size(), 1u)
            << ::testing::PrintToString(fixture.phone.violations());
        EXPECT_THAT(fixture.phone.violations()[0], HasSubstr(c.violation));
    }
}

TEST(SimulatedPhoneFaultTests, DeviceResetStartsOver) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    // The lenient rule keeps the announced object across the next command, so that only the reset drops it.
    phone.setSendObjectRule(SendObjectRule::sameSession);
    const auto file = phone.addFile(fixture.storage, SimulatedPhone::root, "doc", "abc");
    ASSERT_TRUE(fixture.host.run(PTPOperation::androidBeginEditObject, {file}).ok());
    ASSERT_TRUE(fixture.host.run(PTPOperation::androidTruncateObject, {file, 1, 0}).ok());
    const auto info = corvane::ObjectInfo(fixture.storage, 0, "pending", 0x3000, 3, 0).encoded();
    const auto pending =
        fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, 0}, info).params()[2];
    fixture.host.write(testing::commandBytes(PTPOperation::getStorageIDs, fixture.host.nextTransactionID++));

    const usb::ControlSetup reset{0x21, 0x66, 0, 0, 0};
    phone.failResets(1);
    EXPECT_EQ(phone.handleControl(reset, {}).reply, usb::Reply::stall);
    EXPECT_EQ(phone.handleControl(reset, {}).reply, usb::Reply::done);
    EXPECT_EQ(phone.resetCount(), 1u);
    EXPECT_FALSE(phone.isSessionOpen());
    EXPECT_EQ(phone.produceIn().reply, usb::Reply::notYet);
    EXPECT_FALSE(phone.object(pending));
    EXPECT_TRUE(phone.objectsInEdit().empty());
    EXPECT_EQ(phone.object(file)->reportedSize, 1u);
    EXPECT_EQ(phone.handleControl({0xA1, 0x65, 0, 0, 6}, {}).reply, usb::Reply::stall)
        << "a class request the phone does not know";
    // After the reset the session opens again with transaction ID 0.
    fixture.host.openSession();
    EXPECT_TRUE(phone.violations().empty());
}

TEST(SimulatedPhoneFaultTests, LinkModelPacesTransfersOnThePhoneClock) {
    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    SimulatedPhone phone(clock);
    WakeCounter wakes(phone);
    const auto storage = phone.addStorage();
    const auto file = phone.addGeneratedFile(storage, SimulatedPhone::root, "f", 4 << 20);
    CoreHost host(phone);
    host.openSession();
    phone.setLink({.turnaround = std::chrono::milliseconds(1), .bytesPerSecond = 40'000'000});

    const auto start = clock.now();
    int waited = 0;
    // The link takes its time for the command too: the phone answers notYet until it has arrived.
    const auto command = testing::commandBytes(PTPOperation::getObject, 1, {file});
    while (phone.receiveOut(command) == usb::Reply::notYet) {
        ASSERT_TRUE(wakes.waitFor(++waited));
    }
    std::uint64_t received = 0;
    while (true) {
        const usb::InReply reply = phone.produceIn();
        if (reply.reply == usb::Reply::notYet) {
            ASSERT_TRUE(wakes.waitFor(++waited));
            continue;
        }
        ASSERT_EQ(reply.reply, usb::Reply::done);
        received += reply.transfer.data.size();
        if (received >= (4u << 20) + 24u) {
            break;
        }
    }
    const auto elapsed = clock.now() - start;
    const double bytes = static_cast<double>(received);
    const auto expected = std::chrono::milliseconds(1) +
                          std::chrono::nanoseconds(static_cast<std::int64_t>((bytes + 16) / 40e6 * 1e9));
    EXPECT_EQ(received, (4u << 20) + 12u + 12u);
    EXPECT_GE(elapsed, expected - std::chrono::microseconds(10));
    EXPECT_LE(elapsed, expected + std::chrono::microseconds(10));
    const auto entry = phone.transactions().back();
    EXPECT_EQ(entry.finished - start, elapsed);
}

} // namespace
} // namespace simulation
