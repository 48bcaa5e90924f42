#pragma once

#include "Corvane/usb/PTPTransport.h"
#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPOperation.h"
#include "tests/support/Bytes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

using testsupport::bytes;
/// A response container.
std::vector<std::byte> responseContainer(std::uint16_t code, std::uint32_t transactionID,
                                         std::initializer_list<std::uint32_t> params = {});
/// A data container with the given payload and, unless given, the length field that fits it.
std::vector<std::byte> dataContainer(std::uint16_t code, std::uint32_t transactionID,
                                     const std::vector<std::byte>& payload,
                                     std::optional<std::uint32_t> lengthField = std::nullopt);
/// n bytes of a pattern that depends on the position, so that misplaced bytes show.
std::vector<std::byte> patternBytes(std::size_t count, std::uint64_t start = 0);
std::byte patternByte(std::uint64_t position);
/// Generated transfers repeat one byte per block of this size, which can be produced at memset speed.
inline constexpr std::uint64_t generatedBlock = 4096;
std::byte generatedByte(std::uint64_t position);

/// One call that the engine made into the transport.
struct TransportCall {
    enum class Kind { write, writeZeroLength, read, resetDevice, cancel, deviceStatus, clearStalls, close };
    Kind kind = Kind::write;
    /// Bytes written, or the size of the buffer a read was given.
    std::size_t size = 0;
    /// Bytes a read returned.
    std::size_t returned = 0;
    Seconds timeout{0};
    /// The first bytes written (enough for a container header and five parameters).
    std::vector<std::byte> head;
};

/// A PTPTransport whose device side is a script: the tests queue what reads return (device transfers,
/// literal packets, empty packets, failures) and inspect what was written afterwards. Reads follow USB
/// rules: a read asks for whole packets, a transfer is split across reads, and a transfer that fills its
/// last packet is followed by a zero-length packet. A read with nothing queued times out, like a silent
/// device. A responder, when set, answers each command as it is written, which lets many threads run
/// whole operations; the transport then checks that transactions never interleave.
/// All members are thread-safe.
class ScriptedTransport final : public PTPTransport {
public:
    explicit ScriptedTransport(std::size_t packetSize = 512);

    // The device side.
    /// A device transfer; reads take it in pieces. A zero-length packet follows when its size is a
    /// multiple of the packet size, unless zeroLengthPacket is false.
    void queueTransfer(std::vector<std::byte> transfer, bool zeroLengthPacket = true);
    /// A transfer of totalSize bytes that starts with the header and continues with generatedByte from
    /// position 0, made as it is read, so that transfers of several GiB cost no memory.
    void queueGeneratedTransfer(std::vector<std::byte> header, std::uint64_t totalSize,
                                bool zeroLengthPacket = true);
    /// Exactly one read returns these bytes.
    void queuePacket(std::vector<std::byte> packet);
    void queueEmptyReads(std::size_t count);
    enum class Disconnect { no, yes };
    /// One read throws this error; with Disconnect::yes the transport is gone from then on.
    void queueReadFailure(PTPError error, Disconnect disconnect = Disconnect::no);
    void queueResponse(std::uint16_t code, std::uint32_t transactionID,
                       std::initializer_list<std::uint32_t> params = {});
    /// A data container transfer, then an OK response, for transaction ID.
    void queueDataAndOK(std::uint16_t operationCode, std::uint32_t transactionID,
                        const std::vector<std::byte>& payload,
                        std::initializer_list<std::uint32_t> params = {});

    /// The next writes throw, from the given write on (0 = the next one); zero-length writes count too.
    void failWrite(std::size_t afterWrites, PTPError error);
    void failReset(std::optional<PTPError> error);
    /// Cancel requests throw this error (a device without them stalls them); nothing: they succeed, and
    /// the device drops the rest of the transfer it was sending and the response that would follow it.
    void failCancel(std::optional<PTPError> error);
    /// What the next Get Device Status requests answer, in order; ready (0x2001) once they are used up.
    void queueDeviceStatus(PTPDeviceStatus status);
    /// Called once per bulk write with its bytes (zero-length writes not included).
    void setWriteObserver(std::function<void(std::span<const std::byte>)> observer);
    /// Called when a command container is written; typically queues the answer.
    using Responder = std::function<void(ScriptedTransport& transport, const PTPContainer& command)>;
    void setResponder(Responder responder);
    void setConnected(bool connected);

    // What happened.
    std::vector<TransportCall> calls() const;
    std::vector<TransportCall> calls(TransportCall::Kind kind) const;
    /// The command containers written, in order.
    std::vector<PTPContainer> commands() const;
    /// The bytes of every write that was not a command container, in order (at most the first MiB).
    std::vector<std::byte> dataWritten() const;
    std::uint64_t dataBytesWritten() const;
    std::size_t pendingReads() const;
    std::size_t resetCount() const;
    std::size_t closeCount() const;
    /// A command was written while an earlier transaction had not received its response, or two threads
    /// were inside the transport at once.
    bool sawInterleaving() const;
    /// Mistakes in the script itself, such as a literal packet larger than the read.
    std::vector<std::string> scriptErrors() const;
    void clearCalls();

    // PTPTransport
    std::size_t maxPacketSize() const override { return m_packetSize; }
    bool isConnected() const override;
    void write(std::span<const std::byte> data, Seconds timeout) override;
    void writeZeroLength(Seconds timeout) override;
    using PTPTransport::read;
    std::size_t read(std::span<std::byte> buffer, Seconds timeout) override;
    void resetDevice() override;
    void cancelTransaction(std::uint32_t transactionID) override;
    PTPDeviceStatus deviceStatus() override;
    void clearStalls() override;
    void close() noexcept override;

private:
    struct Step {
        enum class Kind { transfer, generated, packet, empty, failure };
        Kind kind = Kind::transfer;
        std::vector<std::byte> bytes;
        std::uint64_t total = 0;
        std::uint64_t offset = 0;
        bool zeroLengthPacket = true;
        bool disconnect = false;
        std::optional<PTPError> error;
    };

    class Inside;

    /// Logs a call; the caller holds m_mutex.
    TransportCall& recordLocked(TransportCall::Kind kind, std::size_t size = 0, Seconds timeout = Seconds(0));
    void noteCommand(const PTPContainer& command);
    void noteTransferStart(std::span<const std::byte> start);

    const std::size_t m_packetSize;
    mutable std::mutex m_mutex; // guards everything below; never held while the responder or observer runs
    std::deque<Step> m_steps;
    std::vector<TransportCall> m_calls;
    std::vector<PTPContainer> m_commands;
    std::vector<std::byte> m_data;
    std::uint64_t m_dataBytes = 0;
    std::size_t m_writes = 0;
    std::optional<std::size_t> m_failWritesFrom;
    std::optional<PTPError> m_writeError;
    std::optional<PTPError> m_resetError;
    std::optional<PTPError> m_cancelError;
    std::deque<PTPDeviceStatus> m_statuses;
    std::function<void(std::span<const std::byte>)> m_observer;
    Responder m_responder;
    bool m_connected = true;
    std::size_t m_resets = 0;
    std::size_t m_closes = 0;
    std::optional<std::uint32_t> m_openTransaction;
    bool m_interleaved = false;
    std::vector<std::string> m_scriptErrors;
    std::atomic<int> m_inside{0};
};

} // namespace corvane::testing
