#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPError.h"
#include "simulation/SimulatedPhoneState.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace simulation {

using corvane::PTPContainer;
using corvane::PTPOperation;
using corvane::PTPResponseCode;

namespace {

/// Operations whose command is followed by a data phase from the host. Those the phone does not serve
/// are listed too, so that their data is taken off the pipe before the phone refuses them.
bool hostSendsData(std::uint16_t operation) {
    switch (operation) {
    case code(PTPOperation::sendObjectInfo):
    case code(PTPOperation::sendObject):
    case code(PTPOperation::setDevicePropValue):
    case code(PTPOperation::setObjectPropValue):
    case code(PTPOperation::androidSendPartialObject):
    case 0x9806: // SetObjectPropList
    case 0x9808: // SendObjectPropList
    case 0x9811: // SetObjectReferences
        return true;
    default:
        return false;
    }
}

std::string describe(std::uint16_t operation, std::uint32_t transactionID) {
    return corvane::name(static_cast<PTPOperation>(operation)) + " (transaction " +
           std::to_string(transactionID) + ")";
}

} // namespace

SimulatedPhone::SimulatedPhone(platform::Clock& clock)
    : m_clock(clock), m_sync(std::make_shared<PhoneSync>()), m_timer(clock, [this] { wake(); }) {}

SimulatedPhone::~SimulatedPhone() = default;

void SimulatedPhone::wake() {
    m_sync->wakeUp();
}

void SimulatedPhone::setWakeHandler(std::function<void()> wake) {
    std::lock_guard lock(m_sync->mutex);
    m_sync->wake = std::move(wake);
}

void SimulatedPhone::violationLocked(std::string text) {
    m_violations.push_back(std::move(text));
}

PhoneTransaction& SimulatedPhone::entryLocked(std::size_t number) {
    if (number < m_logBase || number - m_logBase >= m_log.size()) {
        m_scratchEntry = PhoneTransaction{};
        return m_scratchEntry;
    }
    return m_log[number - m_logBase];
}

PhoneTransaction& SimulatedPhone::entryLocked(const Active& active) {
    return entryLocked(active.entry);
}

const PhoneFault* SimulatedPhone::faultLocked(const Active& active, PhoneFault::Kind kind) const {
    for (const PhoneFault& fault : active.faults) {
        if (fault.kind == kind) {
            return &fault;
        }
    }
    return nullptr;
}

bool SimulatedPhone::hasFaultLocked(const Active& active, PhoneFault::Kind kind) const {
    return faultLocked(active, kind) != nullptr;
}

bool SimulatedPhone::linkAllowsLocked(std::optional<platform::Clock::TimePoint>& due, std::uint64_t bytes) {
    if (m_link.perTransfer == platform::Clock::Duration::zero() && m_link.bytesPerSecond == 0) {
        return true;
    }
    const auto now = m_clock.now();
    if (!due) {
        due = std::max(now, m_linkFreeAt) + m_link.transferTime(bytes);
    }
    if (now >= *due) {
        m_linkFreeAt = *due;
        due.reset();
        return true;
    }
    m_timer.schedule(*due);
    return false;
}

// USB side.

void SimulatedPhone::attached() {
    std::lock_guard lock(m_sync->mutex);
    m_attached = true;
    m_hung = false;
    resetLocked("the phone was attached to a bus");
}

void SimulatedPhone::stopAnswering() {
    std::lock_guard lock(m_sync->mutex);
    m_hung = true;
}

usb::Reply SimulatedPhone::receiveOut(std::span<const std::byte> transfer) {
    usb::Reply reply = usb::Reply::done;
    bool answerable = false;
    {
        std::lock_guard lock(m_sync->mutex);
        if (!m_attached) {
            return usb::Reply::disconnect;
        }
        if (m_hung) {
            return usb::Reply::notYet;
        }
        if (m_outHalted) {
            return usb::Reply::stall;
        }
        if (m_outDue && m_outDueSize != transfer.size()) {
            m_outDue.reset();
        }
        m_outDueSize = transfer.size();
        if (!linkAllowsLocked(m_outDue, transfer.size())) {
            return usb::Reply::notYet;
        }
        const bool wasReady = m_active && m_active->phase == Active::Phase::ready;
        if (m_active && m_active->phase == Active::Phase::receivingData) {
            reply = receiveDataLocked(transfer);
        } else {
            reply = receiveCommandLocked(transfer);
        }
        answerable = !wasReady && m_active && m_active->phase == Active::Phase::ready;
    }
    // A host may already wait on bulk-IN (a read posted before the command, or another thread's): it
    // hears that the phone has something to say.
    if (answerable) {
        wake();
    }
    return reply;
}

usb::Reply SimulatedPhone::receiveCommandLocked(std::span<const std::byte> transfer) {
    if (transfer.empty()) {
        if (m_expectHostZLP) {
            entryLocked(m_zlpEntry).hostSentZLP = true;
            m_expectHostZLP = false;
        } else {
            violationLocked("the host sent a zero-length packet outside a data phase");
        }
        return usb::Reply::done;
    }
    if (m_expectHostZLP) {
        const PhoneTransaction& previous = entryLocked(m_zlpEntry);
        violationLocked("the host did not end the data phase of " +
                        describe(previous.operation, previous.transactionID) +
                        " with a zero-length packet, although it filled whole packets");
        m_expectHostZLP = false;
    }
    PTPContainer::Header header;
    try {
        header = PTPContainer::parseHeader(transfer);
    } catch (const corvane::PTPError& error) {
        violationLocked("the host sent a malformed command container: " + error.description());
        m_outHalted = true;
        return usb::Reply::stall;
    }
    if (header.kind != PTPContainer::Kind::command) {
        violationLocked("the host sent a " + std::string(corvane::name(header.kind)) +
                        " container where a command belongs");
        m_outHalted = true;
        return usb::Reply::stall;
    }
    std::size_t end = transfer.size();
    if (header.length != transfer.size()) {
        violationLocked("the command container of " + describe(header.code, header.transactionID) +
                        " announces " + std::to_string(header.length) + " bytes in a transfer of " +
                        std::to_string(transfer.size()));
        end = std::clamp<std::size_t>(header.length, PTPContainer::headerSize, transfer.size());
    }
    std::vector<std::uint32_t> params;
    for (std::size_t at = PTPContainer::headerSize; at + 4 <= end; at += 4) {
        params.push_back(static_cast<std::uint32_t>(transfer[at]) |
                         static_cast<std::uint32_t>(transfer[at + 1]) << 8 |
                         static_cast<std::uint32_t>(transfer[at + 2]) << 16 |
                         static_cast<std::uint32_t>(transfer[at + 3]) << 24);
    }
    if (params.size() > 5) {
        violationLocked("the command of " + describe(header.code, header.transactionID) + " carries " +
                        std::to_string(params.size()) + " parameters; at most 5 are allowed");
        params.resize(5);
    }
    if (m_active) {
        const std::string interrupted = describe(m_active->code, m_active->transactionID);
        violationLocked("the command of " + describe(header.code, header.transactionID) + " arrived while " +
                        interrupted + " was still in progress");
        abandonLocked("interrupted by the command of " + describe(header.code, header.transactionID));
    }
    startTransactionLocked(header.code, header.transactionID, std::move(params));
    if (const PhoneFault* fault = faultLocked(*m_active, PhoneFault::Kind::disconnect);
        fault != nullptr && fault->byteCount == 0) {
        entryLocked(m_active->entry).note = "disconnected at the command";
        m_active.reset();
        m_attached = false;
        return usb::Reply::disconnect;
    }
    return usb::Reply::done;
}

void SimulatedPhone::startTransactionLocked(std::uint16_t code, std::uint32_t transactionID,
                                            std::vector<std::uint32_t> params) {
    // Inside a session every transaction takes the next ID; OpenSession always takes 0 and starts the count.
    if (m_sessionOpen && code != simulation::code(PTPOperation::openSession) &&
        transactionID != m_lastTransactionID + 1) {
        violationLocked(describe(code, transactionID) + " follows transaction " +
                        std::to_string(m_lastTransactionID) + " in the session");
    }
    m_lastTransactionID = transactionID;

    PhoneTransaction entry;
    entry.operation = code;
    entry.transactionID = transactionID;
    entry.params = params;
    entry.started = m_clock.now();
    m_log.push_back(std::move(entry));

    auto active = std::make_unique<Active>();
    active->entry = m_logBase + m_log.size() - 1;
    active->code = code;
    active->transactionID = transactionID;
    active->params = std::move(params);

    // A phone forgets an announced object when anything but its SendObject comes next.
    if (m_pendingSend && m_sendObjectRule == SendObjectRule::immediatelyAfterInfo &&
        code != simulation::code(PTPOperation::sendObject)) {
        if (!m_keepsPartialObjects) {
            m_store.remove(m_pendingSend->handle);
        }
        m_pendingSend.reset();
    }

    for (ScheduledFault& scheduled : m_faults) {
        if (scheduled.operation != code || scheduled.timesLeft == 0) {
            continue;
        }
        if (scheduled.callsUntilFirst > 1) {
            --scheduled.callsUntilFirst;
            continue;
        }
        active->faults.push_back(scheduled.fault);
        if (scheduled.timesLeft != always) {
            --scheduled.timesLeft;
        }
    }
    std::erase_if(m_faults, [](const ScheduledFault& scheduled) { return scheduled.timesLeft == 0; });
    for (const auto& gate : m_gates) {
        if (gate->claimsCallLocked(code)) {
            active->gate = gate;
            break;
        }
    }
    std::erase_if(m_gates, [](const std::shared_ptr<PhoneGate>& gate) { return gate->isReleasedLocked(); });
    m_log.back().faulted = !active->faults.empty();
    m_log.back().gated = active->gate != nullptr;

    m_active = std::move(active);
    if (hostSendsData(code)) {
        m_active->phase = Active::Phase::receivingData;
        prepareDataOutLocked(*m_active);
    } else {
        completeDataOutLocked(*m_active, false);
    }
}

void SimulatedPhone::prepareDataOutLocked(Active& active) {
    const bool skipped = std::any_of(active.faults.begin(), active.faults.end(),
                                     [](const PhoneFault& fault) { return fault.replacesOperation(); });
    if (skipped) {
        active.target = Active::Target::discard;
        return;
    }
    if (auto refusal = refuseBeforeDataLocked(active)) {
        active.refusal = refusal;
        active.target = Active::Target::discard;
        return;
    }
    if (active.code == code(PTPOperation::sendObject)) {
        active.target = Active::Target::object;
        active.targetHandle = m_pendingSend->handle;
        active.targetOffset = 0;
    } else if (active.code == code(PTPOperation::androidSendPartialObject)) {
        active.target = Active::Target::object;
        active.targetHandle = active.param(0);
        active.targetOffset = active.param64(1);
    } else {
        active.target = Active::Target::buffer;
    }
}

usb::Reply SimulatedPhone::receiveDataLocked(std::span<const std::byte> transfer) {
    Active& active = *m_active;
    PhoneTransaction& entry = entryLocked(active);
    std::span<const std::byte> payload = transfer;
    if (!active.dataStarted) {
        if (transfer.empty()) {
            violationLocked("the host sent a zero-length packet where the data container of " +
                            describe(active.code, active.transactionID) + " belongs");
            return usb::Reply::done;
        }
        PTPContainer::Header header;
        try {
            header = PTPContainer::parseHeader(transfer);
        } catch (const corvane::PTPError& error) {
            violationLocked("the host sent a malformed data container for " +
                            describe(active.code, active.transactionID) + ": " + error.description());
            m_outHalted = true;
            abandonLocked("malformed data container");
            return usb::Reply::stall;
        }
        if (header.kind == PTPContainer::Kind::command) {
            violationLocked("the host sent the command of " + describe(header.code, header.transactionID) +
                            " instead of the data phase of " + describe(active.code, active.transactionID));
            abandonLocked("no data phase");
            return receiveCommandLocked(transfer);
        }
        if (header.kind != PTPContainer::Kind::data) {
            violationLocked("the host sent a " + std::string(corvane::name(header.kind)) +
                            " container where the data container of " +
                            describe(active.code, active.transactionID) + " belongs");
            m_outHalted = true;
            abandonLocked("unexpected container in the data phase");
            return usb::Reply::stall;
        }
        if (hasFaultLocked(active, PhoneFault::Kind::stallOut)) {
            entry.note = "stalled bulk-OUT at the data phase";
            m_outHalted = true;
            finishDataOutTargetLocked(active, false);
            m_active.reset();
            return usb::Reply::stall;
        }
        if (header.transactionID != active.transactionID) {
            violationLocked("the data container of " + describe(active.code, active.transactionID) +
                            " carries transaction ID " + std::to_string(header.transactionID));
            if (!active.refusal) {
                active.refusal = code(PTPResponseCode::invalidTransactionID);
            }
            active.target = Active::Target::discard;
        }
        if (header.code != active.code) {
            violationLocked("the data container of " + describe(active.code, active.transactionID) +
                            " carries the code " + corvane::hexCode(header.code));
        }
        active.dataStarted = true;
        entry.hostSentData = true;
        if (header.length == PTPContainer::unknownLength) {
            active.lengthKnown = false;
        } else if (header.length < PTPContainer::headerSize) {
            violationLocked("the data container of " + describe(active.code, active.transactionID) +
                            " announces only " + std::to_string(header.length) + " bytes");
            active.expected = 0;
        } else {
            active.expected = header.length - PTPContainer::headerSize;
        }
        payload = transfer.subspan(PTPContainer::headerSize);
    } else if (transfer.empty()) {
        if (!active.lengthKnown) {
            completeDataOutLocked(active, true);
            return usb::Reply::done;
        }
        violationLocked("the host ended the data phase of " + describe(active.code, active.transactionID) +
                        " with a zero-length packet after " + std::to_string(active.received) + " of " +
                        std::to_string(active.expected) + " bytes");
        active.refusal = active.refusal.value_or(code(PTPResponseCode::incompleteTransfer));
        completeDataOutLocked(active, true);
        return usb::Reply::done;
    } else if (active.lengthKnown && transfer.size() >= PTPContainer::headerSize &&
               transfer.size() <= PTPContainer::headerSize + 20 &&
               active.expected - active.received > transfer.size()) {
        // A host that gives up in the middle of its data phase (its data source failed) goes on with the
        // next command. A phone cannot tell and would swallow it as data; the simulation notices, so
        // that the test sees the abandoned phase instead of a mysterious time-out.
        try {
            const auto header = PTPContainer::parseHeader(transfer);
            if (header.kind == PTPContainer::Kind::command && header.length == transfer.size() &&
                header.transactionID != active.transactionID) {
                violationLocked("the host abandoned the data phase of " +
                                describe(active.code, active.transactionID) + " after " +
                                std::to_string(active.received) + " of " + std::to_string(active.expected) +
                                " bytes");
                abandonLocked("data phase abandoned by the host");
                return receiveCommandLocked(transfer);
            }
        } catch (const corvane::PTPError&) {
            // Not a container: ordinary data.
        }
    }

    std::span<const std::byte> taken = payload;
    if (active.lengthKnown && taken.size() > active.expected - active.received) {
        violationLocked("the host sent " +
                        std::to_string(taken.size() - (active.expected - active.received)) +
                        " bytes beyond the data container of " + describe(active.code, active.transactionID));
        taken = taken.first(static_cast<std::size_t>(active.expected - active.received));
    }
    if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::disconnect);
        fault != nullptr && active.received + taken.size() >= fault->byteCount) {
        const auto before =
            static_cast<std::size_t>(fault->byteCount - std::min(fault->byteCount, active.received));
        taken = taken.first(std::min(before, taken.size()));
    }
    switch (active.target) {
    case Active::Target::discard:
        break;
    case Active::Target::buffer:
        if (active.buffer.size() + taken.size() > maxDatasetBytes) {
            active.bufferOverflowed = true;
        } else {
            active.buffer.insert(active.buffer.end(), taken.begin(), taken.end());
        }
        break;
    case Active::Target::object:
        if (PhoneObject* object = m_store.find(active.targetHandle)) {
            object->content.write(active.targetOffset + active.received, taken);
        }
        break;
    }
    active.received += taken.size();
    entry.dataOutBytes = active.received;

    if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::disconnect);
        fault != nullptr && active.received >= fault->byteCount) {
        entry.note = "disconnected after " + std::to_string(active.received) + " bytes of the data phase";
        finishDataOutTargetLocked(active, false);
        m_active.reset();
        m_attached = false;
        return usb::Reply::disconnect;
    }
    if (active.lengthKnown ? active.received == active.expected : transfer.size() % m_packetSize != 0) {
        completeDataOutLocked(active, false);
    }
    return usb::Reply::done;
}

void SimulatedPhone::completeDataOutLocked(Active& active, bool endedByZLP) {
    PhoneTransaction& entry = entryLocked(active);
    if (endedByZLP) {
        entry.hostSentZLP = true;
    } else if (active.dataStarted && active.lengthKnown &&
               (PTPContainer::headerSize + active.expected) % m_packetSize == 0) {
        // The host owes a zero-length packet after a container that filled whole packets.
        m_expectHostZLP = true;
        m_zlpEntry = active.entry;
    }
    platform::Clock::Duration delay = m_link.turnaround;
    for (const PhoneFault& fault : active.faults) {
        if (fault.kind == PhoneFault::Kind::delay) {
            delay += fault.delay;
        }
    }
    active.readyAt = m_clock.now() + delay;
    active.phase = Active::Phase::ready;
}

void SimulatedPhone::finishDataOutTargetLocked(Active& active, bool succeeded) {
    // A SendObject uses up its object information whatever happens; an object whose data never arrived
    // whole does not stay behind, as a phone removes the partial file.
    if (!succeeded && active.code == code(PTPOperation::sendObject) && m_pendingSend) {
        if (!m_keepsPartialObjects) {
            m_store.remove(m_pendingSend->handle);
        }
        m_pendingSend.reset();
    }
}

void SimulatedPhone::abandonLocked(const std::string& reason) {
    if (!m_active) {
        return;
    }
    entryLocked(m_active->entry).note = reason;
    if (m_active->phase != Active::Phase::answering) {
        finishDataOutTargetLocked(*m_active, false);
    }
    m_active.reset();
    m_in.clear();
    m_inDue.reset();
}

usb::InReply SimulatedPhone::produceIn() {
    std::unique_lock lock(m_sync->mutex);
    if (!m_attached) {
        return usb::InReply::of(usb::Reply::disconnect);
    }
    if (m_hung) {
        return usb::InReply::of(usb::Reply::notYet);
    }
    if (m_inHalted) {
        return usb::InReply::of(usb::Reply::stall);
    }
    while (true) {
        if (!m_in.empty()) {
            if (!linkAllowsLocked(m_inDue, m_in.nextPieceSize())) {
                return usb::InReply::of(usb::Reply::notYet);
            }
            PhoneBulkInQueue::Piece piece = m_in.next();
            if (piece.ends) {
                PhoneTransaction& entry = entryLocked(*piece.ends);
                if (piece.reply.reply == usb::Reply::done) {
                    entry.completed = true;
                }
                entry.finished = m_clock.now();
                if (m_active && m_active->entry == *piece.ends) {
                    m_active.reset();
                }
            }
            if (piece.reply.reply == usb::Reply::stall) {
                m_inHalted = true;
            } else if (piece.reply.reply == usb::Reply::disconnect) {
                m_attached = false;
                m_in.clear();
            }
            return piece.reply;
        }
        if (!m_active || m_active->phase != Active::Phase::ready) {
            return usb::InReply::of(usb::Reply::notYet);
        }
        Active& active = *m_active;
        if (active.gate && !active.gate->isReleasedLocked()) {
            if (!active.gate->isReachedLocked()) {
                active.gate->markReachedLocked(active.transactionID);
                m_sync->changed.notify_all();
            }
            return usb::InReply::of(usb::Reply::notYet);
        }
        if (m_clock.now() < active.readyAt) {
            m_timer.schedule(active.readyAt);
            return usb::InReply::of(usb::Reply::notYet);
        }
        executeLocked(active);
    }
}

usb::ControlReply SimulatedPhone::handleControl(const usb::ControlSetup& setup,
                                                std::span<const std::byte> data) {
    std::lock_guard lock(m_sync->mutex);
    if (!m_attached) {
        return usb::ControlReply::of(usb::Reply::disconnect);
    }
    if (m_hung) {
        return usb::ControlReply::of(usb::Reply::notYet);
    }
    // The PTP class request Device Reset: class request to the interface, no data stage.
    if (setup.requestType == 0x21 && setup.request == 0x66 && setup.value == 0 && setup.index == 0 &&
        setup.length == 0) {
        if (m_failingResets > 0) {
            --m_failingResets;
            return usb::ControlReply::of(usb::Reply::stall);
        }
        ++m_resets;
        resetLocked("Device Reset");
        return usb::ControlReply::accept();
    }
    // Cancel: the cancellation code 0x4001 and the transaction ID. The phone drops what it still had to
    // send for that transaction, response included, as the still image class asks.
    if (setup.requestType == 0x21 && setup.request == 0x64 && setup.value == 0 && setup.index == 0 &&
        setup.length == 6 && data.size() == 6 && m_cancelSupported) {
        const auto at = [&](std::size_t index) { return std::to_integer<std::uint32_t>(data[index]); };
        const std::uint32_t code = at(0) | (at(1) << 8);
        const std::uint32_t transactionID = at(2) | (at(3) << 8) | (at(4) << 16) | (at(5) << 24);
        if (code != 0x4001) {
            return usb::ControlReply::of(usb::Reply::stall);
        }
        if (m_active && m_active->transactionID == transactionID) {
            abandonLocked("cancelled");
        }
        m_busyStatusReads = m_busyAfterCancel;
        return usb::ControlReply::accept();
    }
    // Get Device Status: the length of the status, then its code; the phone halts no pipe of its own.
    if (setup.requestType == 0xA1 && setup.request == 0x67 && setup.value == 0 && setup.index == 0 &&
        setup.length >= 4) {
        std::uint16_t code = 0x2001;
        if (m_busyStatusReads > 0) {
            --m_busyStatusReads;
            code = 0x2019;
        }
        return usb::ControlReply::accept({std::byte{4}, std::byte{0}, static_cast<std::byte>(code & 0xFF),
                                          static_cast<std::byte>(code >> 8)});
    }
    return usb::ControlReply::of(usb::Reply::stall);
}

void SimulatedPhone::setCancelSupported(bool supported) {
    std::lock_guard lock(m_sync->mutex);
    m_cancelSupported = supported;
}

void SimulatedPhone::setBusyAfterCancel(std::uint32_t statusReads) {
    std::lock_guard lock(m_sync->mutex);
    m_busyAfterCancel = statusReads;
}

void SimulatedPhone::haltCleared(PhonePipe pipe) {
    std::lock_guard lock(m_sync->mutex);
    if (pipe == PhonePipe::bulkIn) {
        m_inHalted = false;
    } else {
        m_outHalted = false;
    }
}

void SimulatedPhone::configurationChanged(std::uint8_t value) {
    std::lock_guard lock(m_sync->mutex);
    (void)value;
    resetLocked("configuration changed");
}

void SimulatedPhone::resetLocked(const std::string& reason) {
    abandonLocked(reason);
    m_in.clear();
    m_inDue.reset();
    m_outDue.reset();
    m_inHalted = false;
    m_outHalted = false;
    m_expectHostZLP = false;
    if (m_pendingSend) {
        m_store.remove(m_pendingSend->handle);
        m_pendingSend.reset();
    }
    endAllEditsLocked();
    m_sessionOpen = false;
    m_sessionID = 0;
}

} // namespace simulation
