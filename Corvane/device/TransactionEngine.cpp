#include "Corvane/device/TransactionEngine.h"

#include "Corvane/device/TransactionProgress.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Clock.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace corvane {

namespace {

using Kind = PTPContainer::Kind;
using namespace transactionLimits;

constexpr std::uint16_t responseOK = 0x2001;
constexpr std::size_t maxCommandParams = 5;

std::string decimal(std::uint64_t value) {
    return std::to_string(value);
}

/// Marks the engine busy for the life of a transaction's phases.
class RunningFlag {
public:
    explicit RunningFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~RunningFlag() { m_flag = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    bool& m_flag;
};

} // namespace

TransactionEngine::TransactionEngine(std::unique_ptr<PTPTransport> transport, MTPTrace trace,
                                     platform::Clock& clock)
    : m_transport(std::move(transport)), m_trace(std::move(trace)), m_clock(clock) {}

TransactionEngine::~TransactionEngine() = default;

void TransactionEngine::setReadChunkSize(std::int64_t size) {
    if (size <= static_cast<std::int64_t>(headerSize) || size > maximumChunkSize) {
        throw PTPError::io("read chunk size " + std::to_string(size) + " is outside 13 to " +
                           std::to_string(maximumChunkSize) + " bytes");
    }
    m_readChunkSize.store(size);
}

std::optional<platform::Clock::TimePoint> TransactionEngine::traceStart() const {
    if (!m_trace.isEnabled()) {
        return std::nullopt;
    }
    return m_clock.now();
}

void TransactionEngine::log(std::optional<platform::Clock::TimePoint> start, PTPOperation operation,
                            std::string_view note) const {
    if (!start) {
        return;
    }
    m_trace.write(MTPTrace::line(operation, m_clock.now() - *start, note));
}

void TransactionEngine::refuseGone() const {
    if (m_abandoned.load()) {
        throw PTPError::usb("the device was given up while it did not answer");
    }
    if (m_lost) {
        throw *m_lost;
    }
}

std::optional<platform::Clock::Duration> TransactionEngine::transferInProgressFor() const {
    const auto started = m_transferStarted.load();
    if (started == noTransfer) {
        return std::nullopt;
    }
    return m_clock.now() - platform::Clock::TimePoint(platform::Clock::Duration(started));
}

void TransactionEngine::abandon() noexcept {
    m_abandoned.store(true);
    m_transport->close();
}

MTPResponse TransactionEngine::transaction(PTPOperation operation, std::span<const std::uint32_t> params,
                                           const DataPhase& phase) {
    refuseNested(operation);
    refuseGone();
    // The ID is taken before anything is sent, so a failed transaction has used it up too.
    const std::uint32_t transactionID = m_nextTransactionID++;
    return run(operation, transactionID, params, phase);
}

MTPResponse TransactionEngine::exchange(PTPOperation operation, std::uint32_t transactionID,
                                        std::span<const std::uint32_t> params) {
    refuseNested(operation);
    refuseGone();
    return run(operation, transactionID, params, DataPhase::none());
}

void TransactionEngine::refuseNested(PTPOperation operation) const {
    // A sink or provider that starts a transaction would put its command in the middle of the data.
    if (m_running) {
        throw PTPError::deviceBusy(name(operation) + " was started inside another transaction's data phase");
    }
}

MTPResponse TransactionEngine::run(PTPOperation operation, std::uint32_t transactionID,
                                   std::span<const std::uint32_t> params, const DataPhase& phase) {
    Settings settings;
    settings.commandTimeout = commandTimeout();
    settings.dataTimeout = dataTimeout();
    if (m_recovering) {
        settings.commandTimeout = std::min(settings.commandTimeout, Seconds(recoveryTimeout));
        settings.dataTimeout = std::min(settings.dataTimeout, Seconds(recoveryTimeout));
    }
    settings.chunk = static_cast<std::size_t>(m_readChunkSize.load());
    settings.packet = std::max<std::size_t>(m_transport->maxPacketSize(), 1);
    settings.sendChunk = std::max(settings.packet, settings.chunk / settings.packet * settings.packet);

    const auto start = traceStart();
    Progress progress;
    std::vector<std::byte> collected;
    try {
        // The flag ends with the phases, before a failure is recovered from, so the recovery may run
        // exchanges of its own.
        const RunningFlag running(m_running);
        writeCommand(settings, operation, transactionID, params, progress);
        if (phase.direction() == DataPhase::Direction::out) {
            sendData(settings, operation, transactionID, phase, progress);
        }
        std::optional<PTPContainer> response;
        if (phase.direction() == DataPhase::Direction::in) {
            response = receiveData(settings, operation, transactionID, phase, collected, progress);
        }
        if (!response) {
            response = readResponse(settings, progress);
        }
        checkResponse(*response, operation, transactionID, progress);
        if (progress.providerEndedEarly) {
            // The device may well have stored the short object as complete; the caller must not think so.
            throw PTPError::io(name(operation) + ": the data ended after " +
                               decimal(progress.bytesSent - headerSize) + " of " +
                               decimal(progress.announced) + " announced bytes");
        }
        log(start, operation, "ok " + decimal(collected.size()) + "B");
        MTPResponse result;
        result.code = responseOK;
        result.params = response->params();
        result.data = std::move(collected);
        return result;
    } catch (const PTPError& error) {
        log(start, operation, error.description());
        recover(settings, operation, transactionID, progress);
        throw;
    } catch (const std::exception& error) {
        log(start, operation, std::string("failed: ") + error.what());
        recover(settings, operation, transactionID, progress);
        throw;
    } catch (...) {
        log(start, operation, "failed");
        recover(settings, operation, transactionID, progress);
        throw;
    }
}

void TransactionEngine::writeCommand(const Settings& settings, PTPOperation operation,
                                     std::uint32_t transactionID, std::span<const std::uint32_t> params,
                                     Progress& progress) {
    if (params.size() > maxCommandParams) {
        throw PTPError::io(name(operation) + ": a command carries at most five parameters, not " +
                           decimal(params.size()));
    }
    const PTPContainer command(Kind::command, rawValue(operation), transactionID, params);
    progress.stage = Progress::Stage::command;
    write(command.encoded(), settings.commandTimeout, progress);
}

void TransactionEngine::sendData(const Settings& settings, PTPOperation operation,
                                 std::uint32_t transactionID, const DataPhase& phase, Progress& progress) {
    progress.stage = Progress::Stage::dataOut;
    const std::uint64_t length = phase.length();
    progress.announced = length;
    progress.operationCode = rawValue(operation);
    const auto header = PTPContainer::header(Kind::data, rawValue(operation), transactionID,
                                             PTPContainer::lengthField(length));
    const std::size_t chunk = settings.sendChunk;
    if (m_sendBuffer.size() < chunk) {
        m_sendBuffer.resize(chunk);
    }
    const std::span<std::byte> buffer(m_sendBuffer.data(), chunk);
    std::memcpy(buffer.data(), header.data(), headerSize);

    const auto sendPiece = [&](std::span<const std::byte> piece) {
        write(piece, settings.dataTimeout, progress);
        progress.headerSent = true;
        progress.bytesSent += piece.size();
    };

    if (!phase.provider()) {
        const std::span<const std::byte> data = phase.data();
        const std::size_t first =
            static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), chunk - headerSize));
        if (first > 0) {
            std::memcpy(buffer.data() + headerSize, data.data(), first);
        }
        sendPiece(buffer.first(headerSize + first));
        for (std::size_t offset = first; offset < data.size(); offset += chunk) {
            sendPiece(data.subspan(offset, std::min(chunk, data.size() - offset)));
        }
    } else {
        const DataProvider& provider = phase.provider();
        std::uint64_t remaining = length;
        bool ended = false;
        // Gathers provider output until the span is full, so that every write but the last is whole
        // packets however little the provider hands over per call.
        const auto fill = [&](std::span<std::byte> into) {
            std::size_t filled = 0;
            while (filled < into.size() && !ended) {
                const std::size_t room =
                    static_cast<std::size_t>(std::min<std::uint64_t>(into.size() - filled, remaining));
                if (room == 0) {
                    ended = true;
                    break;
                }
                const std::size_t given = provider(into.subspan(filled, room));
                if (given > room) {
                    throw PTPError::io(name(operation) + ": the data provider reported " + decimal(given) +
                                       " bytes for room of " + decimal(room));
                }
                if (given == 0) {
                    ended = true;
                    break;
                }
                filled += given;
                remaining -= given;
            }
            return filled;
        };
        const std::size_t first = fill(buffer.subspan(headerSize));
        sendPiece(buffer.first(headerSize + first));
        while (!ended) {
            const std::size_t filled = fill(buffer);
            if (filled == 0) {
                break;
            }
            sendPiece(buffer.first(filled));
        }
        progress.providerEndedEarly = remaining > 0;
    }

    // A transfer that fills its last packet exactly needs a zero-length packet to end it.
    if (progress.bytesSent % settings.packet == 0) {
        writeZeroLength(settings.commandTimeout, progress);
    }
}

std::optional<PTPContainer> TransactionEngine::receiveData(const Settings& settings, PTPOperation operation,
                                                           std::uint32_t transactionID,
                                                           const DataPhase& phase,
                                                           std::vector<std::byte>& collected,
                                                           Progress& progress) {
    progress.stage = Progress::Stage::dataIn;
    progress.emptyReads = 0;
    const std::span<std::byte> buffer = receiveBuffer(settings);
    std::size_t firstSize = 0;
    while (true) {
        firstSize = read(settings, buffer, progress);
        if (firstSize != 0) {
            break;
        }
        if (++progress.emptyReads >= maxEmptyDataReads) {
            progress.deviceSilent = true;
            throw PTPError::io("device sent only empty packets while waiting for " + name(operation));
        }
    }
    const std::span<const std::byte> first = buffer.first(firstSize);

    progress.positionKnown = false;
    const PTPContainer::Header header = PTPContainer::parseHeader(first);
    if (header.kind == Kind::response) {
        PTPContainer response = PTPContainer::parse(first);
        progress.positionKnown = true;
        return response;
    }
    if (header.kind != Kind::data) {
        throw PTPError::unexpectedContainer(static_cast<std::uint16_t>(header.kind), header.code);
    }
    const bool knownLength = header.length != PTPContainer::unknownLength;
    if (knownLength && header.length < headerSize) {
        throw PTPError::truncatedData(header.length, first.size());
    }
    // A device that leaves out the zero-length packet after a container that fills whole packets runs
    // its response into the same read: the container's length says where the data ends.
    std::optional<PTPContainer> earlyResponse;
    std::span<const std::byte> container = first;
    if (knownLength && first.size() > header.length &&
        isResponseTo(first.subspan(header.length), transactionID)) {
        container = first.first(header.length);
        earlyResponse = PTPContainer::parse(first.subspan(header.length));
    }
    progress.enterDataContainer(header, container.size());
    const bool fits = progress.positionKnown;
    if (header.transactionID != transactionID) {
        throw PTPError::transactionMismatch(transactionID, header.transactionID);
    }
    if (earlyResponse) {
        // The device is done with the transaction whatever the caller does with the data.
        progress.inStep = true;
    }
    const std::uint64_t expected = knownLength ? header.length - headerSize : 0;
    const auto tooLong = [&] {
        return PTPError::malformedContainer("the data of " + name(operation) + " runs past the " +
                                            decimal(expected) + " bytes that its container announced");
    };
    if (!fits) {
        throw tooLong();
    }

    const DataSink& sink = phase.sink();
    const std::uint64_t limit = phase.collectLimit();
    const auto tooMuch = [&] {
        return PTPError::io(name(operation) + ": the device sent more than the " + decimal(limit) +
                            " bytes expected");
    };
    // Collected data is read straight into the result, which is sized once when the length is known: one
    // packet beyond it leaves room for the last read, which always asks for a whole packet. A sink gets
    // each read where it landed, in the engine's own buffer.
    const std::size_t packet = settings.packet;
    if (!sink) {
        if (knownLength && expected > limit) {
            throw tooMuch();
        }
        if (knownLength) {
            if (phase.storage() != nullptr) {
                // Memory that has been written before needs no clearing: the data is read over it, and
                // it is cut to what arrived at the end.
                collected = std::move(*phase.storage());
            }
            collected.resize(static_cast<std::size_t>(expected) + packet);
        }
    }
    std::uint64_t received = 0;
    const auto deliverFirst = [&](std::span<const std::byte> bytes) {
        if (bytes.empty()) {
            return;
        }
        if (sink) {
            sink(bytes);
            return;
        }
        if (bytes.size() > limit) {
            throw tooMuch();
        }
        if (collected.size() < bytes.size()) {
            collected.resize(bytes.size());
        }
        std::memcpy(collected.data(), bytes.data(), bytes.size());
    };
    deliverFirst(container.subspan(headerSize));
    received = container.size() - headerSize;
    std::size_t last = container.size();

    while (!knownLength || received < expected) {
        if (!knownLength && last % packet != 0) {
            break; // a short packet ends a data phase of unknown length
        }
        const std::size_t ask =
            knownLength
                ? static_cast<std::size_t>(std::min<std::uint64_t>(settings.chunk, expected - received))
                : settings.chunk;
        std::span<std::byte> into;
        if (sink) {
            into = buffer.first(std::max(ask, packet));
        } else {
            const auto at = static_cast<std::size_t>(received);
            std::size_t size = std::max(ask, packet);
            if (!knownLength) {
                // Without a length the limit bounds each read; a read past it fails below.
                size = std::max(packet,
                                static_cast<std::size_t>(std::min<std::uint64_t>(ask, limit - received)));
                collected.resize(at + size);
            }
            into = std::span<std::byte>(collected).subspan(at, size);
        }
        const std::size_t count = read(settings, into, progress);
        if (knownLength && last % packet != 0 && isResponseTo(into.first(count), transactionID)) {
            // A short packet ended the device's transfer before the announced length, and its response
            // follows: the data will not come, and waiting for it would only run into the time-out.
            progress.inStep = true;
            const PTPContainer response = PTPContainer::parse(into.first(count));
            if (response.code() != responseOK) {
                throw PTPError::responseError(response.code(), operation);
            }
            throw PTPError::io(name(operation) + ": the device ended its data after " + decimal(received) +
                               " of " + decimal(expected) + " announced bytes");
        }
        if (count == 0) {
            if (!knownLength) {
                break;
            }
            if (++progress.emptyReads >= maxEmptyDataReads) {
                progress.deviceSilent = true;
                throw PTPError::io("device stopped sending data after " + decimal(received) + " of " +
                                   decimal(expected) + " bytes");
            }
            continue;
        }
        if (!progress.consume(count, count)) {
            throw tooLong();
        }
        progress.emptyReads = 0;
        received += count;
        last = count;
        if (sink) {
            sink(into.first(count));
        } else if (received > limit) {
            throw tooMuch();
        }
    }
    if (!sink) {
        collected.resize(static_cast<std::size_t>(received));
    }
    progress.endContainer();
    return earlyResponse;
}

PTPContainer TransactionEngine::readResponse(const Settings& settings, Progress& progress) {
    progress.stage = Progress::Stage::response;
    const std::span<std::byte> buffer = receiveBuffer(settings);
    std::size_t count = 0;
    for (std::uint32_t attempt = 0; attempt < maxResponseReads && count == 0; ++attempt) {
        count = read(settings, buffer, progress);
    }
    if (count == 0) {
        progress.deviceSilent = true;
    }
    const std::span<const std::byte> bytes = buffer.first(count);
    progress.positionKnown = false;
    if (bytes.size() >= headerSize) {
        const PTPContainer::Header header = PTPContainer::parseHeader(bytes);
        if (header.kind == Kind::data) {
            progress.enterDataContainer(header, bytes.size());
        } else if (header.kind == Kind::response && header.length <= bytes.size()) {
            progress.positionKnown = true;
        }
    }
    return PTPContainer::parse(bytes);
}

void TransactionEngine::checkResponse(const PTPContainer& response, PTPOperation operation,
                                      std::uint32_t transactionID, Progress& progress) {
    if (response.kind() != Kind::response) {
        throw PTPError::unexpectedContainer(static_cast<std::uint16_t>(response.kind()), response.code());
    }
    if (response.transactionID() != transactionID) {
        throw PTPError::transactionMismatch(transactionID, response.transactionID());
    }
    progress.inStep = true;
    if (response.code() != responseOK) {
        throw PTPError::responseError(response.code(), operation);
    }
}

bool TransactionEngine::isResponseTo(std::span<const std::byte> bytes, std::uint32_t transactionID) {
    // A response carries at most five parameters.
    if (bytes.size() < headerSize || bytes.size() > headerSize + 5 * 4) {
        return false;
    }
    try {
        const PTPContainer::Header header = PTPContainer::parseHeader(bytes);
        return header.kind == Kind::response && header.transactionID == transactionID &&
               header.length == bytes.size();
    } catch (const PTPError&) {
        return false; // not even a container header
    }
}

std::span<std::byte> TransactionEngine::receiveBuffer(const Settings& settings) {
    // At least one packet: a read always asks for whole packets, even for the last few bytes of data.
    const std::size_t size = std::max(settings.chunk, settings.packet);
    if (m_receiveBuffer.size() < size) {
        m_receiveBuffer.resize(size);
    }
    return std::span<std::byte>(m_receiveBuffer).first(size);
}

std::size_t TransactionEngine::read(const Settings& settings, std::span<std::byte> into, Progress& progress) {
    try {
        return timed([&] { return m_transport->read(into, settings.dataTimeout); });
    } catch (...) {
        progress.deviceSilent = true;
        progress.transportFailed = true;
        throw;
    }
}

void TransactionEngine::write(std::span<const std::byte> bytes, Seconds timeout, Progress& progress) {
    try {
        timed([&] { m_transport->write(bytes, timeout); });
    } catch (...) {
        progress.deviceSilent = true;
        progress.transportFailed = true;
        throw;
    }
}

void TransactionEngine::writeZeroLength(Seconds timeout, Progress& progress) {
    try {
        timed([&] { m_transport->writeZeroLength(timeout); });
    } catch (...) {
        progress.deviceSilent = true;
        progress.transportFailed = true;
        throw;
    }
}

} // namespace corvane
