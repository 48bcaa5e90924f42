#include "ScriptedTransport.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvane::testing {

namespace {

constexpr std::size_t headCapture = 64;
constexpr std::uint64_t dataCapture = 1024 * 1024;

std::uint32_t u32At(std::span<const std::byte> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

std::uint16_t u16At(std::span<const std::byte> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(static_cast<unsigned>(bytes[offset]) |
                                      (static_cast<unsigned>(bytes[offset + 1]) << 8));
}

} // namespace

std::vector<std::byte> responseContainer(std::uint16_t code, std::uint32_t transactionID,
                                         std::initializer_list<std::uint32_t> params) {
    return PTPContainer(PTPContainer::Kind::response, code, transactionID, params).encoded();
}

std::vector<std::byte> dataContainer(std::uint16_t code, std::uint32_t transactionID,
                                     const std::vector<std::byte>& payload,
                                     std::optional<std::uint32_t> lengthField) {
    const auto header = PTPContainer::header(PTPContainer::Kind::data, code, transactionID,
                                             lengthField.value_or(PTPContainer::lengthField(payload.size())));
    std::vector<std::byte> result(header.size() + payload.size());
    std::copy(header.begin(), header.end(), result.begin());
    std::copy(payload.begin(), payload.end(), result.begin() + static_cast<std::ptrdiff_t>(header.size()));
    return result;
}

std::byte patternByte(std::uint64_t position) {
    return static_cast<std::byte>((position * 131 + (position >> 8) * 7 + 3) & 0xFF);
}

std::byte generatedByte(std::uint64_t position) {
    return static_cast<std::byte>(((position / generatedBlock) * 37 + 11) & 0xFF);
}

std::vector<std::byte> patternBytes(std::size_t count, std::uint64_t start) {
    std::vector<std::byte> result(count);
    for (std::size_t i = 0; i < count; ++i) {
        result[i] = patternByte(start + i);
    }
    return result;
}

/// Marks a transfer in progress; two at once means the caller let transfers overlap.
class ScriptedTransport::Inside {
public:
    explicit Inside(ScriptedTransport& transport) : m_transport(transport) {
        if (m_transport.m_inside.fetch_add(1) != 0) {
            std::lock_guard lock(m_transport.m_mutex);
            m_transport.m_interleaved = true;
        }
    }
    ~Inside() { m_transport.m_inside.fetch_sub(1); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    ScriptedTransport& m_transport;
};

ScriptedTransport::ScriptedTransport(std::size_t packetSize) : m_packetSize(packetSize) {}

void ScriptedTransport::queueTransfer(std::vector<std::byte> transfer, bool zeroLengthPacket) {
    std::lock_guard lock(m_mutex);
    Step step;
    step.kind = Step::Kind::transfer;
    step.total = transfer.size();
    step.bytes = std::move(transfer);
    step.zeroLengthPacket = zeroLengthPacket;
    m_steps.push_back(std::move(step));
}

void ScriptedTransport::queueGeneratedTransfer(std::vector<std::byte> header, std::uint64_t totalSize,
                                               bool zeroLengthPacket) {
    std::lock_guard lock(m_mutex);
    Step step;
    step.kind = Step::Kind::generated;
    step.bytes = std::move(header);
    step.total = totalSize;
    step.zeroLengthPacket = zeroLengthPacket;
    m_steps.push_back(std::move(step));
}

void ScriptedTransport::queuePacket(std::vector<std::byte> packet) {
    std::lock_guard lock(m_mutex);
    Step step;
    step.kind = Step::Kind::packet;
    step.bytes = std::move(packet);
    m_steps.push_back(std::move(step));
}

void ScriptedTransport::queueEmptyReads(std::size_t count) {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < count; ++i) {
        Step step;
        step.kind = Step::Kind::empty;
        m_steps.push_back(std::move(step));
    }
}

void ScriptedTransport::queueReadFailure(PTPError error, Disconnect disconnect) {
    std::lock_guard lock(m_mutex);
    Step step;
    step.kind = Step::Kind::failure;
    step.error = std::move(error);
    step.disconnect = disconnect == Disconnect::yes;
    m_steps.push_back(std::move(step));
}

void ScriptedTransport::queueResponse(std::uint16_t code, std::uint32_t transactionID,
                                      std::initializer_list<std::uint32_t> params) {
    queueTransfer(responseContainer(code, transactionID, params));
}

void ScriptedTransport::queueDataAndOK(std::uint16_t operationCode, std::uint32_t transactionID,
                                       const std::vector<std::byte>& payload,
                                       std::initializer_list<std::uint32_t> params) {
    queueTransfer(dataContainer(operationCode, transactionID, payload));
    queueResponse(0x2001, transactionID, params);
}

void ScriptedTransport::failWrite(std::size_t afterWrites, PTPError error) {
    std::lock_guard lock(m_mutex);
    m_failWritesFrom = m_writes + afterWrites;
    m_writeError = std::move(error);
}

void ScriptedTransport::failReset(std::optional<PTPError> error) {
    std::lock_guard lock(m_mutex);
    m_resetError = std::move(error);
}

void ScriptedTransport::setWriteObserver(std::function<void(std::span<const std::byte>)> observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void ScriptedTransport::setResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void ScriptedTransport::setConnected(bool connected) {
    std::lock_guard lock(m_mutex);
    m_connected = connected;
}

std::vector<TransportCall> ScriptedTransport::calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<TransportCall> ScriptedTransport::calls(TransportCall::Kind kind) const {
    std::lock_guard lock(m_mutex);
    std::vector<TransportCall> result;
    std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(result),
                 [kind](const TransportCall& call) { return call.kind == kind; });
    return result;
}

std::vector<PTPContainer> ScriptedTransport::commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<std::byte> ScriptedTransport::dataWritten() const {
    std::lock_guard lock(m_mutex);
    return m_data;
}

std::uint64_t ScriptedTransport::dataBytesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_dataBytes;
}

std::size_t ScriptedTransport::pendingReads() const {
    std::lock_guard lock(m_mutex);
    return m_steps.size();
}

void ScriptedTransport::failCancel(std::optional<PTPError> error) {
    std::lock_guard lock(m_mutex);
    m_cancelError = std::move(error);
}

void ScriptedTransport::queueDeviceStatus(PTPDeviceStatus status) {
    std::lock_guard lock(m_mutex);
    m_statuses.push_back(std::move(status));
}

std::size_t ScriptedTransport::resetCount() const {
    std::lock_guard lock(m_mutex);
    return m_resets;
}

std::size_t ScriptedTransport::closeCount() const {
    std::lock_guard lock(m_mutex);
    return m_closes;
}

bool ScriptedTransport::sawInterleaving() const {
    std::lock_guard lock(m_mutex);
    return m_interleaved;
}

std::vector<std::string> ScriptedTransport::scriptErrors() const {
    std::lock_guard lock(m_mutex);
    return m_scriptErrors;
}

void ScriptedTransport::clearCalls() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
    m_commands.clear();
    m_data.clear();
    m_dataBytes = 0;
}

bool ScriptedTransport::isConnected() const {
    std::lock_guard lock(m_mutex);
    return m_connected;
}

void ScriptedTransport::write(std::span<const std::byte> data, Seconds timeout) {
    Inside inside(*this);
    std::optional<PTPContainer> command;
    std::function<void(std::span<const std::byte>)> observer;
    {
        std::lock_guard lock(m_mutex);
        TransportCall call;
        call.kind = TransportCall::Kind::write;
        call.size = data.size();
        call.timeout = timeout;
        call.head.assign(data.begin(),
                         data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), headCapture)));
        m_calls.push_back(std::move(call));
        const std::size_t index = m_writes++;
        if (!m_connected) {
            throw PTPError::usb("transport closed");
        }
        if (m_failWritesFrom && index >= *m_failWritesFrom) {
            throw *m_writeError;
        }
        // A write is a command when it is one whole command container; everything else is data.
        if (data.size() >= PTPContainer::headerSize && data.size() <= 32 && u16At(data, 4) == 1 &&
            u32At(data, 0) == data.size()) {
            command = PTPContainer::parse(data);
            m_commands.push_back(*command);
            noteCommand(*command);
        } else {
            if (m_data.size() < dataCapture) {
                const std::size_t take = static_cast<std::size_t>(
                    std::min<std::uint64_t>(data.size(), dataCapture - m_data.size()));
                m_data.insert(m_data.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
            }
            m_dataBytes += data.size();
        }
        observer = m_observer;
    }
    if (observer) {
        observer(data);
    }
    if (command) {
        Responder responder;
        {
            std::lock_guard lock(m_mutex);
            responder = m_responder;
        }
        if (responder) {
            responder(*this, *command);
        }
    }
}

TransportCall& ScriptedTransport::recordLocked(TransportCall::Kind kind, std::size_t size, Seconds timeout) {
    TransportCall call;
    call.kind = kind;
    call.size = size;
    call.timeout = timeout;
    m_calls.push_back(std::move(call));
    return m_calls.back();
}

void ScriptedTransport::writeZeroLength(Seconds timeout) {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::writeZeroLength, 0, timeout);
    const std::size_t index = m_writes++;
    if (!m_connected) {
        throw PTPError::usb("transport closed");
    }
    if (m_failWritesFrom && index >= *m_failWritesFrom) {
        throw *m_writeError;
    }
}

std::size_t ScriptedTransport::read(std::span<std::byte> buffer, Seconds timeout) {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    TransportCall& recorded = recordLocked(TransportCall::Kind::read, buffer.size(), timeout);
    if (!m_connected) {
        throw PTPError::usb("transport closed");
    }
    // Reads ask for whole packets, as the real transports do; a buffer must hold one.
    const std::size_t request = buffer.size() / m_packetSize * m_packetSize;
    if (request == 0) {
        m_scriptErrors.push_back("a read into " + std::to_string(buffer.size()) +
                                 " bytes, less than a packet");
        throw PTPError::usb("read buffer smaller than a packet");
    }
    if (m_steps.empty()) {
        throw PTPError::usb("read timed out");
    }
    Step& step = m_steps.front();
    switch (step.kind) {
    case Step::Kind::empty:
        m_steps.pop_front();
        return 0;
    case Step::Kind::failure: {
        const PTPError error = *step.error;
        if (step.disconnect) {
            m_connected = false;
        }
        m_steps.pop_front();
        throw error;
    }
    case Step::Kind::packet: {
        const std::vector<std::byte> packet = std::move(step.bytes);
        m_steps.pop_front();
        if (packet.size() > request) {
            m_scriptErrors.push_back("packet of " + std::to_string(packet.size()) + " bytes for a read of " +
                                     std::to_string(request));
        }
        const std::size_t count = std::min(packet.size(), request);
        std::memcpy(buffer.data(), packet.data(), count);
        noteTransferStart(buffer.first(count));
        recorded.returned = count;
        return count;
    }
    case Step::Kind::transfer:
    case Step::Kind::generated: {
        const std::uint64_t left = step.total - step.offset;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(request, left));
        const std::span<std::byte> result = buffer.first(count);
        if (step.kind == Step::Kind::transfer) {
            std::memcpy(result.data(), step.bytes.data() + step.offset, count);
        } else {
            std::size_t i = 0;
            for (; i < count && step.offset + i < step.bytes.size(); ++i) {
                result[i] = step.bytes[static_cast<std::size_t>(step.offset + i)];
            }
            // Whole blocks at a time: generating several GiB byte by byte would dominate the test.
            while (i < count) {
                const std::uint64_t position = step.offset + i - step.bytes.size();
                const std::size_t run = static_cast<std::size_t>(
                    std::min<std::uint64_t>(count - i, generatedBlock - position % generatedBlock));
                std::memset(result.data() + i, static_cast<int>(generatedByte(position)), run);
                i += run;
            }
        }
        if (step.offset == 0) {
            noteTransferStart(result);
        }
        step.offset += count;
        if (step.offset == step.total) {
            const bool zlp = step.zeroLengthPacket && step.total % m_packetSize == 0 && count == request;
            m_steps.pop_front();
            if (zlp) {
                Step empty;
                empty.kind = Step::Kind::empty;
                m_steps.push_front(std::move(empty));
            }
        }
        recorded.returned = count;
        return count;
    }
    }
    return 0;
}

void ScriptedTransport::cancelTransaction(std::uint32_t transactionID) {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::cancel, transactionID);
    if (m_cancelError) {
        throw *m_cancelError;
    }
    // The device stops the transfer it is in the middle of, and sends no response for it.
    const auto isTransfer = [](const Step& step) {
        return step.kind == Step::Kind::transfer || step.kind == Step::Kind::generated;
    };
    if (!m_steps.empty() && isTransfer(m_steps.front()) && m_steps.front().offset > 0) {
        m_steps.pop_front();
    }
    if (!m_steps.empty() && isTransfer(m_steps.front()) && m_steps.front().offset == 0 &&
        m_steps.front().bytes.size() >= PTPContainer::headerSize) {
        const auto header = PTPContainer::parseHeader(m_steps.front().bytes);
        if (header.kind == PTPContainer::Kind::response && header.transactionID == transactionID) {
            m_steps.pop_front();
        }
    }
    m_openTransaction.reset();
}

PTPDeviceStatus ScriptedTransport::deviceStatus() {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::deviceStatus);
    if (m_statuses.empty()) {
        return PTPDeviceStatus{0x2001, {}};
    }
    PTPDeviceStatus status = std::move(m_statuses.front());
    m_statuses.pop_front();
    return status;
}

void ScriptedTransport::clearStalls() {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::clearStalls);
}

void ScriptedTransport::resetDevice() {
    Inside inside(*this);
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::resetDevice);
    if (m_resetError) {
        throw *m_resetError;
    }
    ++m_resets;
    m_openTransaction.reset();
}

void ScriptedTransport::close() noexcept {
    std::lock_guard lock(m_mutex);
    recordLocked(TransportCall::Kind::close);
    ++m_closes;
    m_connected = false;
}

void ScriptedTransport::noteCommand(const PTPContainer& command) {
    if (m_responder && m_openTransaction) {
        m_interleaved = true;
    }
    m_openTransaction = command.transactionID();
}

void ScriptedTransport::noteTransferStart(std::span<const std::byte> start) {
    if (start.size() >= PTPContainer::headerSize && u16At(start, 4) == 3 && m_openTransaction &&
        u32At(start, 8) == *m_openTransaction) {
        m_openTransaction.reset();
    }
}

} // namespace corvane::testing
