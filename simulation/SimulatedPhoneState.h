#pragma once

// The phone's per-transaction state, shared by the transaction engine (SimulatedPhone.cpp) and the
// operations (SimulatedPhoneOperations.cpp, SimulatedPhoneObjects.cpp). Not for use outside them.

#include "Corvane/wire/PTPResponseCode.h"
#include "simulation/SimulatedPhone.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace simulation {

/// What an operation answers: a response code and parameters, and for a data-in phase either a small
/// dataset or a range of an object's content that is read as the host takes it.
struct SimulatedPhone::Reply {
    std::uint16_t code = corvane::rawValue(corvane::PTPResponseCode::ok);
    std::vector<std::uint32_t> params;
    bool hasData = false;
    std::vector<std::byte> data;
    bool fromObject = false;
    std::uint32_t objectHandle = 0;
    std::uint64_t objectOffset = 0;
    std::uint64_t objectLength = 0;

    static Reply ok(std::vector<std::uint32_t> params = {}) {
        Reply reply;
        reply.params = std::move(params);
        return reply;
    }
    static Reply error(std::uint16_t code) {
        Reply reply;
        reply.code = code;
        return reply;
    }
    static Reply error(corvane::PTPResponseCode code) { return error(corvane::rawValue(code)); }
    static Reply dataset(std::vector<std::byte> bytes) {
        Reply reply;
        reply.hasData = true;
        reply.data = std::move(bytes);
        return reply;
    }
    static Reply objectRange(std::uint32_t handle, std::uint64_t offset, std::uint64_t length,
                             std::vector<std::uint32_t> params = {}) {
        Reply reply = ok(std::move(params));
        reply.hasData = true;
        reply.fromObject = true;
        reply.objectHandle = handle;
        reply.objectOffset = offset;
        reply.objectLength = length;
        return reply;
    }

    std::uint64_t dataSize() const noexcept { return fromObject ? objectLength : data.size(); }
};

/// The transaction that the phone is working on.
struct SimulatedPhone::Active {
    enum class Phase {
        receivingData, // the host's data phase is under way
        ready,         // everything arrived; the phone answers when the host reads
        answering,     // the answer is queued on bulk-IN
    };
    /// Where the payload of the host's data phase goes.
    enum class Target { discard, buffer, object };

    std::size_t entry = 0; // index of its log entry
    std::uint16_t code = 0;
    std::uint32_t transactionID = 0;
    std::vector<std::uint32_t> params;
    Phase phase = Phase::ready;
    std::vector<PhoneFault> faults;
    std::shared_ptr<PhoneGate> gate;
    platform::Clock::TimePoint readyAt{};

    // The host's data phase.
    bool dataStarted = false;
    bool lengthKnown = true;
    std::uint64_t expected = 0;
    std::uint64_t received = 0;
    Target target = Target::discard;
    std::vector<std::byte> buffer;
    bool bufferOverflowed = false;
    std::uint32_t targetHandle = 0;
    std::uint64_t targetOffset = 0;
    /// The answer, when it was decided before the operation could run (a refusal, a broken data phase).
    std::optional<std::uint16_t> refusal;

    /// The parameter at index, 0 when the host sent fewer, as phones read missing parameters.
    std::uint32_t param(std::size_t index) const noexcept {
        return index < params.size() ? params[index] : 0;
    }
    /// Two parameters that carry one 64-bit value, low half first.
    std::uint64_t param64(std::size_t lowIndex) const noexcept {
        return static_cast<std::uint64_t>(param(lowIndex)) | static_cast<std::uint64_t>(param(lowIndex + 1))
                                                                 << 32;
    }
};

/// The largest dataset the phone buffers from the host; a longer data phase is refused as invalid.
inline constexpr std::size_t maxDatasetBytes = 1 << 20;

constexpr std::uint16_t code(corvane::PTPResponseCode code) noexcept {
    return corvane::rawValue(code);
}

constexpr std::uint16_t code(corvane::PTPOperation operation) noexcept {
    return corvane::rawValue(operation);
}

} // namespace simulation
