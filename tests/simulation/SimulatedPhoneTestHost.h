#pragma once

// A minimal host for the simulated phone's tests: it writes raw containers into the phone's core and
// collects what the phone puts on its bulk-IN pipe, so that tests see the phone's bytes exactly.

#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPOperation.h"
#include "Corvane/wire/PTPReader.h"
#include "Corvane/wire/PTPWriter.h"
#include "simulation/SimulatedPhone.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simulation::testing {

using testsupport::bytesOf;

inline std::uint16_t op(corvane::PTPOperation operation) {
    return corvane::rawValue(operation);
}

inline std::vector<std::byte> commandBytes(corvane::PTPOperation operation, std::uint32_t transactionID,
                                           const std::vector<std::uint32_t>& params = {}) {
    return corvane::PTPContainer(corvane::PTPContainer::Kind::command, op(operation), transactionID,
                                 std::span(params))
        .encoded();
}

/// A PTP string as the wire carries it.
inline std::vector<std::byte> ptpString(std::string_view text) {
    corvane::PTPWriter writer;
    writer.string(text);
    return writer.take();
}

/// What the phone answered in one transaction.
struct Answer {
    bool hasData = false;
    corvane::PTPContainer::Header dataHeader;
    std::vector<std::byte> data;
    std::optional<corvane::PTPContainer> response;
    /// Every bulk-IN transfer the phone produced, in order.
    std::vector<usb::InReply> transfers;

    std::uint16_t code() const { return response ? response->code() : 0; }
    std::vector<std::uint32_t> params() const {
        return response ? response->params() : std::vector<std::uint32_t>{};
    }
    bool ok() const { return code() == 0x2001; }
};

/// Drives the phone's core directly, the way the library's transaction engine would: one command, the
/// data phase in 1 MiB chunks with the header in the first, a zero-length packet after a data phase that
/// fills whole packets, then the phone's transfers until it has nothing more to send.
class CoreHost {
public:
    explicit CoreHost(SimulatedPhone& phone) : m_phone(phone) {}

    std::uint32_t nextTransactionID = 0;

    void write(std::span<const std::byte> transfer) {
        EXPECT_EQ(m_phone.receiveOut(transfer), usb::Reply::done);
    }

    /// The phone's transfers until it answers anything but a transfer.
    std::vector<usb::InReply> drain() {
        std::vector<usb::InReply> transfers;
        while (true) {
            usb::InReply reply = m_phone.produceIn();
            const bool more = reply.reply == usb::Reply::done;
            transfers.push_back(std::move(reply));
            if (!more) {
                return transfers;
            }
        }
    }

    void sendData(corvane::PTPOperation operation, std::uint32_t transactionID,
                  std::span<const std::byte> payload) {
        constexpr std::size_t chunk = 1 << 20;
        const auto header =
            corvane::PTPContainer::header(corvane::PTPContainer::Kind::data, op(operation), transactionID,
                                          corvane::PTPContainer::lengthField(payload.size()));
        std::vector<std::byte> first(header.begin(), header.end());
        const std::size_t firstPart = std::min(payload.size(), chunk - header.size());
        first.insert(first.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(firstPart));
        write(first);
        for (std::size_t at = firstPart; at < payload.size(); at += chunk) {
            write(payload.subspan(at, std::min(chunk, payload.size() - at)));
        }
        if ((payload.size() + header.size()) % m_phone.packetSize() == 0) {
            write({});
        }
    }

    /// Parses the phone's transfers into an optional data container and a response.
    static Answer parse(std::vector<usb::InReply> transfers) {
        Answer answer;
        std::vector<std::byte> stream;
        for (const auto& transfer : transfers) {
            if (transfer.reply == usb::Reply::done) {
                stream.insert(stream.end(), transfer.transfer.data.begin(), transfer.transfer.data.end());
            }
        }
        answer.transfers = std::move(transfers);
        std::span<const std::byte> rest = stream;
        if (rest.size() >= corvane::PTPContainer::headerSize) {
            const auto header = corvane::PTPContainer::parseHeader(rest);
            if (header.kind == corvane::PTPContainer::Kind::data) {
                answer.hasData = true;
                answer.dataHeader = header;
                const std::size_t length = std::min<std::size_t>(header.length, rest.size());
                answer.data.assign(rest.begin() + corvane::PTPContainer::headerSize,
                                   rest.begin() + static_cast<std::ptrdiff_t>(
                                                      std::max(length, corvane::PTPContainer::headerSize)));
                rest = rest.subspan(std::max(length, corvane::PTPContainer::headerSize));
            }
        }
        if (rest.size() >= corvane::PTPContainer::headerSize) {
            answer.response = corvane::PTPContainer::parse(rest);
        }
        return answer;
    }

    /// One whole transaction with the next transaction ID.
    Answer run(corvane::PTPOperation operation, const std::vector<std::uint32_t>& params = {},
               std::optional<std::vector<std::byte>> data = std::nullopt) {
        const std::uint32_t transactionID = nextTransactionID++;
        write(commandBytes(operation, transactionID, params));
        if (data) {
            sendData(operation, transactionID, *data);
        }
        return parse(drain());
    }

    /// GetDeviceInfo is not needed for a session; OpenSession uses transaction ID 0, then IDs run from 1.
    void openSession() {
        write(commandBytes(corvane::PTPOperation::openSession, 0, {1}));
        const Answer answer = parse(drain());
        ASSERT_TRUE(answer.ok()) << std::hex << answer.code();
        nextTransactionID = 1;
    }

private:
    SimulatedPhone& m_phone;
};

/// A phone with one storage, 0x00010001 "Internal shared storage", and an open session.
struct PhoneWithSession {
    SimulatedPhone phone;
    std::uint32_t storage = phone.addStorage();
    CoreHost host{phone};

    PhoneWithSession() { host.openSession(); }
};

inline std::vector<std::uint32_t> u32Array(std::span<const std::byte> data) {
    corvane::PTPReader reader(data);
    return reader.u32Array();
}

} // namespace simulation::testing
