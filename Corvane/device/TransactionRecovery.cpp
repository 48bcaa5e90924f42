#include "Corvane/device/TransactionEngine.h"

#include "Corvane/device/TransactionProgress.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Clock.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

namespace corvane {

namespace {

using Kind = PTPContainer::Kind;
using namespace transactionLimits;

} // namespace

// Recovery. A transaction that breaks off before its response leaves the device in the middle of it:
// still sending data, waiting for data, or holding its response. Whatever is sent next would be read as
// part of the old transaction, and every later transaction would fail. The engine therefore catches up
// with the device at once: it ends an outgoing data phase with a short packet, reads and drops whatever
// the device still sends for the transaction up to its response, and only when that fails (the device
// is silent or sends nonsense) resets the device and lets the owner reopen the session. Reading on is
// tried first because not every device honours the reset request, and because a reset ends the session
// and with it any edit in progress; the reset is the last resort.
//
// Reading on is no way to stop a large download whose receiver gave up: the rest of a 1 GiB object takes
// many seconds, and every other operation waits for it. Such a transfer is cancelled instead (the class
// request Cancel), and reset when the device does not know that request.

namespace {

// How long a device may stay busy after a cancel before it is reset, and how often it is asked.
constexpr auto cancelLimit = std::chrono::seconds(5);
constexpr auto cancelPoll = std::chrono::milliseconds(20);
constexpr std::uint16_t statusOK = 0x2001;
constexpr std::uint16_t statusBusy = 0x2019;
constexpr std::uint16_t statusTransactionCancelled = 0x201F;

std::string describe(const std::exception& error) {
    if (const auto* ptp = dynamic_cast<const PTPError*>(&error)) {
        return ptp->description();
    }
    return error.what();
}

} // namespace

void TransactionEngine::recover(const Settings& settings, PTPOperation operation, std::uint32_t transactionID,
                                const Progress& progress) {
    if (progress.inStep || progress.stage == Progress::Stage::notStarted || m_recovering) {
        return;
    }
    if (!m_transport->isConnected()) {
        return;
    }
    m_recovering = true;
    const auto start = traceStart();
    // More data to come than one chunk: cancelling costs less than reading it all.
    const bool largeRest = progress.stage == Progress::Stage::dataIn && progress.insideContainer &&
                           (!progress.containerRemaining || *progress.containerRemaining > settings.chunk);
    if (!progress.deviceSilent && largeRest) {
        if (cancel(settings, transactionID)) {
            log(start, operation, "recovered: transfer cancelled");
            m_recovering = false;
            return;
        }
    } else if (!progress.deviceSilent) {
        try {
            Settings draining = settings;
            draining.dataTimeout = std::min(settings.dataTimeout, Seconds(recoveryTimeout));
            draining.commandTimeout = std::min(settings.commandTimeout, Seconds(recoveryTimeout));
            drainToResponse(draining, transactionID, progress);
            log(start, operation, "recovered: read to the end of the transaction");
            m_recovering = false;
            return;
        } catch (...) {
            // Falls through to the reset: the device did not finish the transaction in a way we can follow.
        }
    }
    try {
        resetAfterFailure();
        log(start, operation, "recovered: device reset");
    } catch (const std::exception& error) {
        const std::string reason = describe(error);
        log(start, operation, "recovery failed: " + reason);
        if (progress.transportFailed) {
            // The device did not answer the transaction, nor the reset or the new session after it: every
            // further exchange would only wait out its own time-outs again.
            m_lost = PTPError::usb("the device stopped answering and did not recover (" + reason +
                                   "); it is taken to be gone");
        }
    } catch (...) {
        log(start, operation, "recovery failed");
    }
    m_recovering = false;
}

void TransactionEngine::drainToResponse(const Settings& settings, std::uint32_t transactionID,
                                        const Progress& failed) {
    Progress progress = failed;
    const Seconds timeout = settings.dataTimeout;
    const std::span<std::byte> buffer = receiveBuffer(settings);

    if (progress.stage == Progress::Stage::dataOut || progress.stage == Progress::Stage::command) {
        // The device waits for (the rest of) the data. A short packet tells it that no more is coming;
        // it then answers, normally with an error, and discards the object. The header alone announces
        // the full length, so the device cannot take the empty phase for complete data.
        if (progress.stage == Progress::Stage::dataOut) {
            if (!progress.headerSent) {
                const auto header = PTPContainer::header(Kind::data, progress.operationCode, transactionID,
                                                         PTPContainer::lengthField(progress.announced));
                timed([&] { m_transport->write(header, timeout); });
            } else if (progress.bytesSent % settings.packet == 0) {
                timed([&] { m_transport->writeZeroLength(settings.commandTimeout); });
            }
        }
        progress.positionKnown = true;
        progress.insideContainer = false;
    }

    // Finishes a data container that is being read: a known rest is read exactly, an unknown one up to
    // its short packet. True when the device ended the data early and its response came instead.
    const auto skipRestOfContainer = [&] {
        std::uint32_t empty = 0;
        while (progress.insideContainer) {
            if (!progress.containerRemaining) {
                if (progress.lastRead % settings.packet != 0) {
                    break;
                }
                const std::size_t count = timed([&] { return m_transport->read(buffer, timeout); });
                if (count == 0) {
                    break;
                }
                progress.lastRead = count;
                continue;
            }
            const auto ask = static_cast<std::size_t>(
                std::min<std::uint64_t>(settings.chunk, *progress.containerRemaining));
            const bool transferEnded = progress.lastRead % settings.packet != 0;
            const std::size_t count = timed(
                [&] { return m_transport->read(buffer.first(std::max(ask, settings.packet)), timeout); });
            if (transferEnded && isResponseTo(buffer.first(count), transactionID)) {
                return true;
            }
            if (count == 0) {
                if (++empty >= maxEmptyDataReads) {
                    throw PTPError::io("device stopped sending while the engine caught up with it");
                }
                continue;
            }
            empty = 0;
            if (!progress.consume(count, count)) {
                throw PTPError::io(
                    "device sent more than its container announced while the engine caught up");
            }
        }
        progress.endContainer();
        return false;
    };

    if (progress.insideContainer && skipRestOfContainer()) {
        return;
    }

    std::uint32_t skipped = 0;
    std::uint32_t empty = 0;
    while (true) {
        const std::size_t count = timed([&] { return m_transport->read(buffer, timeout); });
        const std::span<const std::byte> bytes = buffer.first(count);
        if (bytes.empty()) {
            if (++empty >= maxResponseReads) {
                throw PTPError::io("device sent no response while the engine caught up with it");
            }
            continue;
        }
        empty = 0;
        const PTPContainer::Header header = PTPContainer::parseHeader(bytes);
        if (header.kind == Kind::response) {
            if (header.transactionID == transactionID) {
                return;
            }
        } else if (header.kind == Kind::data) {
            if (header.length != PTPContainer::unknownLength && header.length < headerSize) {
                throw PTPError::truncatedData(header.length, bytes.size());
            }
            progress.enterDataContainer(header, bytes.size());
            if (!progress.positionKnown) {
                throw PTPError::io(
                    "device sent more than its container announced while the engine caught up");
            }
            if (skipRestOfContainer()) {
                return;
            }
        } else {
            throw PTPError::unexpectedContainer(static_cast<std::uint16_t>(header.kind), header.code);
        }
        if (++skipped > maxSkippedContainers) {
            throw PTPError::io("device kept sending other transactions' containers");
        }
    }
}

bool TransactionEngine::cancel(const Settings&, std::uint32_t transactionID) {
    try {
        timed([&] { m_transport->cancelTransaction(transactionID); });
        const auto deadline = m_clock.deadlineAfter(cancelLimit);
        while (true) {
            const PTPDeviceStatus status = timed([&] { return m_transport->deviceStatus(); });
            if (!status.haltedEndpoints.empty()) {
                timed([&] { m_transport->clearStalls(); });
            }
            if (status.code == statusOK || status.code == statusTransactionCancelled) {
                return true;
            }
            if (status.code != statusBusy || m_clock.now() >= deadline) {
                return false;
            }
            m_clock.sleepFor(cancelPoll);
        }
    } catch (const PTPError&) {
        return false; // the device does not know the request, or stopped answering it
    }
}

void TransactionEngine::resetAfterFailure() {
    timed([&] { m_transport->resetDevice(); });
    m_nextTransactionID = 0;
    if (m_sessionLost) {
        m_sessionLost();
    }
}

} // namespace corvane
