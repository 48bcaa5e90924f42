// The FunctionFS emulation without FUSE or a peer: the function's requests are fakes that record their
// answer, so each packet rule and lifecycle step is checked exactly.
#include "FunctionFSTestBlobs.h"

#include "simulation/peer/FunctionFSEndpoints.h"

#include <gtest/gtest.h>

#include <linux/usb/functionfs.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <variant>

namespace peertest {
namespace {

using simulation::EndpointIO;
using simulation::FunctionFSEndpoints;
using ZLP = usb::InTransfer::ZeroLengthPacket;

constexpr std::size_t ep0 = 0;
constexpr std::size_t bulkInFile = 1;
constexpr std::size_t bulkOutFile = 2;
constexpr std::size_t interruptFile = 3;
constexpr std::uint8_t bulkIn = 0x81;
constexpr std::uint8_t bulkOut = 0x02;
constexpr std::uint8_t interruptIn = 0x83;

// How a request was answered: nothing yet, bytes, a count or an errno.
struct Answer {
    int replies = 0;
    std::optional<std::vector<std::byte>> data;
    std::optional<std::size_t> written;
    std::optional<int> error;
};

class FakeIO final : public EndpointIO {
public:
    FakeIO(std::shared_ptr<Answer> answer, std::uint64_t key) : m_answer(std::move(answer)), m_key(key) {}
    std::uint64_t key() const override { return m_key; }
    void replyData(std::span<const std::byte> data) override {
        ++m_answer->replies;
        m_answer->data = std::vector<std::byte>(data.begin(), data.end());
    }
    void replyWritten(std::size_t count) override {
        ++m_answer->replies;
        m_answer->written = count;
    }
    void replyError(int error) override {
        ++m_answer->replies;
        m_answer->error = error;
    }

private:
    std::shared_ptr<Answer> m_answer;
    std::uint64_t m_key;
};

std::vector<std::byte> filled(std::size_t size, std::uint8_t value = 0xAB) {
    return std::vector<std::byte>(size, std::byte{value});
}

// A container of the length whose header says so, filled to that length.
std::vector<std::byte> container(std::uint32_t length, std::size_t bytes) {
    std::vector<std::byte> out = filled(bytes);
    for (std::size_t index = 0; index < 4 && index < bytes; ++index) {
        out[index] = std::byte{static_cast<std::uint8_t>(length >> (8 * index))};
    }
    return out;
}

// Binds fresh endpoints with the responder's blobs and enables them, for a test that drives them itself;
// keys counts the I/O keys used.
void bindWithTheResponderBlobs(FunctionFSEndpoints& endpoints, std::uint64_t& keys) {
    endpoints.write(ep0, responderDescriptors(),
                    std::make_unique<FakeIO>(std::make_shared<Answer>(), ++keys));
    endpoints.write(ep0, responderStrings(), std::make_unique<FakeIO>(std::make_shared<Answer>(), ++keys));
    endpoints.enable();
}

class FunctionFSEndpointsTests : public ::testing::Test {
protected:
    void SetUp() override {
        m_endpoints.setHostWake([this] { ++m_wakes; });
    }

    std::shared_ptr<Answer> read(std::size_t file, std::size_t size) {
        auto answer = std::make_shared<Answer>();
        m_endpoints.read(file, size, std::make_unique<FakeIO>(answer, ++m_keys));
        return answer;
    }
    std::shared_ptr<Answer> write(std::size_t file, std::vector<std::byte> data) {
        auto answer = std::make_shared<Answer>();
        m_endpoints.write(file, std::move(data), std::make_unique<FakeIO>(answer, ++m_keys));
        return answer;
    }
    // The event types one read of ep0 returns.
    std::vector<std::uint8_t> events(std::size_t room = 120) {
        const auto answer = read(ep0, room);
        std::vector<std::uint8_t> types;
        if (answer->data) {
            for (std::size_t offset = 8; offset < answer->data->size(); offset += 12) {
                types.push_back(std::to_integer<std::uint8_t>((*answer->data)[offset]));
            }
        }
        return types;
    }
    void bindAndEnable() {
        ASSERT_EQ(write(ep0, responderDescriptors())->written, responderDescriptors().size());
        ASSERT_TRUE(write(ep0, responderStrings())->written);
        m_endpoints.enable();
        ASSERT_EQ(events(), (std::vector<std::uint8_t>{FUNCTIONFS_BIND, FUNCTIONFS_ENABLE}));
    }

    FunctionFSEndpoints m_endpoints;
    int m_wakes = 0;
    std::uint64_t m_keys = 0;
};

TEST_F(FunctionFSEndpointsTests, BindsOnceBothBlobsArrived) {
    EXPECT_EQ(m_endpoints.open(ep0), 0);
    EXPECT_EQ(m_endpoints.open(bulkInFile), ENODEV);
    EXPECT_TRUE(write(ep0, responderDescriptors())->written);
    EXPECT_FALSE(m_endpoints.waitUntilBound(std::chrono::milliseconds(0)));
    EXPECT_TRUE(write(ep0, responderStrings())->written);
    EXPECT_TRUE(m_endpoints.waitUntilBound(std::chrono::milliseconds(0)));
    EXPECT_EQ(m_endpoints.open(interruptFile), 0);
    EXPECT_EQ(m_endpoints.open(interruptFile + 1), ENODEV);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_BIND});
    EXPECT_EQ(m_endpoints.strings()->interfaceName(), "MTP");
}

TEST_F(FunctionFSEndpointsTests, RefusesAMalformedBlobAndSaysWhy) {
    const auto answer = write(ep0, Blob().u32(3).u32(0).sealed());
    EXPECT_EQ(answer->error, EINVAL);
    EXPECT_FALSE(m_endpoints.waitUntilBound(std::chrono::milliseconds(0)));
    EXPECT_NE(m_endpoints.bindFailure().find("descriptors"), std::string::npos);
}

// One step of the host writing or the function reading on bulk OUT.
struct HostWrites {
    std::size_t size;
    bool accepted = true;
};
struct FunctionReads {
    std::size_t size;
    std::optional<std::size_t> gets; // nothing: the read waits
};
struct ReadsTheResultOfTheLastHeldRead {
    std::size_t gets;
};
using OutStep = std::variant<HostWrites, FunctionReads, ReadsTheResultOfTheLastHeldRead>;

TEST_F(FunctionFSEndpointsTests, ReadsEndAtShortPacketsAndZeroLengthPacketsOnly) {
    const struct {
        const char* name;
        std::vector<OutStep> steps;
    } cases[] = {
        {"short transfer", {HostWrites{100}, FunctionReads{8192, 100}}},
        {"whole packets then ZLP",
         {HostWrites{1024}, FunctionReads{8192, std::nullopt}, HostWrites{0},
          ReadsTheResultOfTheLastHeldRead{1024}}},
        {"whole packets run on into the next transfer",
         {FunctionReads{8192, std::nullopt}, HostWrites{1024}, HostWrites{100},
          ReadsTheResultOfTheLastHeldRead{1124}}},
        {"a full buffer ends the read",
         {HostWrites{1000}, FunctionReads{512, 512}, FunctionReads{8192, 488}}},
        {"a lone ZLP reads as nothing", {HostWrites{0}, FunctionReads{8192, 0}}},
        {"exactly the buffer, then the ZLP",
         {HostWrites{8192}, FunctionReads{8192, 8192}, HostWrites{0}, FunctionReads{8192, 0}}},
        {"the next transfer waits for room",
         {HostWrites{100}, HostWrites{50, false}, FunctionReads{8192, 100}, HostWrites{50},
          FunctionReads{64, 50}}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        FunctionFSEndpoints endpoints;
        std::uint64_t keys = 0;
        bindWithTheResponderBlobs(endpoints, keys);
        std::shared_ptr<Answer> held;
        for (const OutStep& step : each.steps) {
            if (const auto* host = std::get_if<HostWrites>(&step)) {
                const auto data = filled(host->size);
                EXPECT_EQ(endpoints.acceptOut(bulkOut, data), host->accepted);
            } else if (const auto* function = std::get_if<FunctionReads>(&step)) {
                auto answer = std::make_shared<Answer>();
                endpoints.read(bulkOutFile, function->size, std::make_unique<FakeIO>(answer, ++keys));
                if (function->gets) {
                    ASSERT_TRUE(answer->data);
                    EXPECT_EQ(answer->data->size(), *function->gets);
                } else {
                    EXPECT_EQ(answer->replies, 0);
                    held = answer;
                }
            } else {
                ASSERT_TRUE(held && held->data);
                EXPECT_EQ(held->data->size(), std::get<ReadsTheResultOfTheLastHeldRead>(step).gets);
            }
        }
    }
}

TEST_F(FunctionFSEndpointsTests, EndsWritesThatCloseAContainerOfWholePacketsWithAZeroLengthPacket) {
    const struct {
        const char* name;
        std::vector<std::vector<std::byte>> writes;
        std::vector<ZLP> expected;
        std::uint64_t shortInside;
    } cases[] = {
        {"one aligned container", {container(1024, 1024)}, {ZLP::whenAligned}, 0},
        {"one unaligned container", {container(1000, 1000)}, {ZLP::never}, 0},
        {"aligned container in two writes",
         {container(9216, 8192), filled(1024)},
         {ZLP::never, ZLP::whenAligned},
         0},
        {"aligned data, then its response",
         {container(512, 512), container(12, 12)},
         {ZLP::whenAligned, ZLP::never},
         0},
        {"two responses in one write",
         {[] {
             auto both = container(12, 12);
             const auto second = container(12, 12);
             both.insert(both.end(), second.begin(), second.end());
             return both;
         }()},
         {ZLP::never},
         0},
        {"unknown length runs to a short packet",
         {container(0xFFFFFFFF, 1024), filled(1024), filled(100), container(1024, 1024)},
         {ZLP::never, ZLP::never, ZLP::never, ZLP::whenAligned},
         0},
        {"a header written alone is a short packet inside its container",
         {container(1036, 12), filled(1024)},
         {ZLP::never, ZLP::never},
         1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        FunctionFSEndpoints endpoints;
        std::uint64_t keys = 0;
        bindWithTheResponderBlobs(endpoints, keys);
        for (std::size_t index = 0; index < each.writes.size(); ++index) {
            auto answer = std::make_shared<Answer>();
            endpoints.write(bulkInFile, each.writes[index], std::make_unique<FakeIO>(answer, ++keys));
            // The write completes only when its transfer leaves for the host.
            EXPECT_EQ(answer->replies, 0);
            const auto transfer = endpoints.takeIn(bulkIn);
            ASSERT_TRUE(transfer);
            EXPECT_EQ(transfer->data, each.writes[index]);
            EXPECT_EQ(transfer->zeroLengthPacket, each.expected[index]) << "write " << index;
            EXPECT_EQ(answer->written, each.writes[index].size());
        }
        EXPECT_FALSE(endpoints.takeIn(bulkIn));
        EXPECT_EQ(endpoints.statistics().shortWritesInsideContainers, each.shortInside);
    }
}

TEST_F(FunctionFSEndpointsTests, DrainsTheInterruptPipeAndKeepsTheNewestPackets) {
    bindAndEnable();
    constexpr std::size_t written = FunctionFSEndpoints::interruptQueueLimit + 6;
    for (std::size_t index = 0; index < written; ++index) {
        // Answered at once: a function that writes events under its own lock is never held up.
        EXPECT_EQ(write(interruptFile, filled(16, static_cast<std::uint8_t>(index)))->written, 16u);
    }
    for (std::size_t index = 6; index < written; ++index) {
        const auto packet = m_endpoints.takeIn(interruptIn);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->data, filled(16, static_cast<std::uint8_t>(index)));
    }
    EXPECT_FALSE(m_endpoints.takeIn(interruptIn));
    EXPECT_EQ(m_endpoints.statistics().interruptPacketsDropped, 6u);
}

TEST_F(FunctionFSEndpointsTests, DisableFailsHeldIOAndEnableLetsNewIOGoOn) {
    bindAndEnable();
    const auto pendingRead = read(bulkOutFile, 8192);
    const auto pendingWrite = write(bulkInFile, filled(100));
    EXPECT_TRUE(m_endpoints.acceptOut(bulkOut, filled(1024)));
    m_endpoints.disable();
    EXPECT_EQ(pendingWrite->error, ESHUTDOWN);
    EXPECT_EQ(pendingRead->error, ESHUTDOWN);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_DISABLE});

    // While disabled the host is refused and the function's I/O waits, as FunctionFS makes it.
    EXPECT_FALSE(m_endpoints.acceptOut(bulkOut, filled(10)));
    const auto waitingRead = read(bulkOutFile, 8192);
    const auto waitingWrite = write(bulkInFile, filled(20));
    EXPECT_FALSE(m_endpoints.takeIn(bulkIn));
    EXPECT_EQ(waitingRead->replies + waitingWrite->replies, 0);

    m_endpoints.enable();
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_ENABLE});
    // The data the host had queued before went with the disable.
    EXPECT_TRUE(m_endpoints.acceptOut(bulkOut, filled(10)));
    ASSERT_TRUE(waitingRead->data);
    EXPECT_EQ(waitingRead->data->size(), 10u);
    EXPECT_EQ(m_endpoints.takeIn(bulkIn)->data.size(), 20u);
    EXPECT_EQ(waitingWrite->written, 20u);
}

TEST_F(FunctionFSEndpointsTests, PassesClassRequestsThroughEp0) {
    bindAndEnable();
    // Device Reset: no data; the function's next read of ep0 stands for its zero-length acknowledgement.
    const usb::ControlSetup reset{0x21, 0x66, 0, 0, 0};
    EXPECT_EQ(m_endpoints.control(reset, {}).reply, usb::Reply::notYet);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_SETUP});
    EXPECT_EQ(m_endpoints.control(reset, {}).reply, usb::Reply::notYet);
    const auto next = read(ep0, 12);
    EXPECT_EQ(next->replies, 0); // it now waits for events
    EXPECT_EQ(m_endpoints.control(reset, {}).reply, usb::Reply::done);

    // Get Device Status: the function writes the data stage.
    const usb::ControlSetup status{0xA1, 0x67, 0, 0, 20};
    EXPECT_EQ(m_endpoints.control(status, {}).reply, usb::Reply::notYet);
    ASSERT_TRUE(next->data); // the held read took the SETUP event
    EXPECT_EQ(write(ep0, filled(4))->written, 4u);
    const auto answered = m_endpoints.control(status, {});
    EXPECT_EQ(answered.reply, usb::Reply::done);
    EXPECT_EQ(answered.data, filled(4));

    // Cancel: the function reads the host's six bytes.
    const usb::ControlSetup cancel{0x21, 0x64, 0, 0, 6};
    const auto request = filled(6, 0x11);
    EXPECT_EQ(m_endpoints.control(cancel, request).reply, usb::Reply::notYet);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_SETUP});
    EXPECT_EQ(read(ep0, 64)->data, request);
    EXPECT_EQ(m_endpoints.control(cancel, request).reply, usb::Reply::done);

    // A read during an IN request refuses it.
    EXPECT_EQ(m_endpoints.control(status, {}).reply, usb::Reply::notYet);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_SETUP});
    EXPECT_EQ(read(ep0, 12)->error, EL2HLT);
    EXPECT_EQ(m_endpoints.control(status, {}).reply, usb::Reply::stall);

    // Requests for another interface never reach the function.
    EXPECT_EQ(m_endpoints.control({0xA1, 0x67, 0, 1, 20}, {}).reply, usb::Reply::stall);
    EXPECT_EQ(m_endpoints.statistics().controlRequestsAnswered, 3u);
    EXPECT_EQ(m_endpoints.statistics().controlRequestsStalled, 1u);
}

TEST_F(FunctionFSEndpointsTests, ShutdownAnswersEverythingAndRefusesWhatComesAfter) {
    bindAndEnable();
    const auto eventRead = read(ep0, 12);
    const auto bulkRead = read(bulkOutFile, 8192);
    const auto bulkWrite = write(bulkInFile, filled(8));
    m_endpoints.shutdown();
    ASSERT_TRUE(eventRead->data); // the function still learns of the DISABLE and the UNBIND
    EXPECT_EQ(std::to_integer<int>((*eventRead->data)[8]), FUNCTIONFS_DISABLE);
    EXPECT_EQ(bulkRead->error, ESHUTDOWN);
    EXPECT_EQ(bulkWrite->error, ESHUTDOWN);
    EXPECT_EQ(events(), std::vector<std::uint8_t>{FUNCTIONFS_UNBIND});
    EXPECT_EQ(read(ep0, 12)->error, ENODEV);
    EXPECT_EQ(read(bulkOutFile, 12)->error, ENODEV);
    EXPECT_EQ(write(bulkInFile, filled(1))->error, ENODEV);
    EXPECT_EQ(m_endpoints.open(ep0), ENODEV);
    EXPECT_FALSE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
}

TEST_F(FunctionFSEndpointsTests, FailsAnInterruptedRequestOnly) {
    bindAndEnable();
    const auto first = read(bulkOutFile, 512);
    const auto second = read(bulkOutFile, 512);
    m_endpoints.interrupt(m_keys); // the second
    m_endpoints.interrupt(9999);   // nobody's
    EXPECT_EQ(second->error, EINTR);
    EXPECT_EQ(first->replies, 0);
    EXPECT_TRUE(m_endpoints.acceptOut(bulkOut, filled(5)));
    EXPECT_EQ(first->data->size(), 5u);
    EXPECT_EQ(second->replies, 1);
}

TEST_F(FunctionFSEndpointsTests, IsSettledWhenTheFunctionWaitsForEventsOrForTheHost) {
    ASSERT_TRUE(write(ep0, responderDescriptors())->written);
    ASSERT_TRUE(write(ep0, responderStrings())->written);
    m_endpoints.enable();
    EXPECT_FALSE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
    EXPECT_EQ(events(12), std::vector<std::uint8_t>{FUNCTIONFS_BIND});
    EXPECT_FALSE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
    read(ep0, 12); // takes ENABLE
    EXPECT_FALSE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
    const auto waiting = read(ep0, 12);
    EXPECT_TRUE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
    EXPECT_FALSE(m_endpoints.waitUntilWaitingForHost(std::chrono::milliseconds(0)));
    // A function stuck writing to a host that does not read cannot act on events; that counts too.
    m_endpoints.disable();
    m_endpoints.enable();
    write(bulkInFile, filled(8));
    EXPECT_TRUE(m_endpoints.waitUntilSettled(std::chrono::milliseconds(0)));
    EXPECT_TRUE(m_endpoints.waitUntilWaitingForHost(std::chrono::milliseconds(0)));
    EXPECT_GT(m_wakes, 0);
}

} // namespace
} // namespace peertest
