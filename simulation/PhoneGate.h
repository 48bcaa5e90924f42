#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace simulation {

/// The lock and wake-up signal of one simulated phone, shared with its gates so that a gate can be
/// released after the phone is gone.
struct PhoneSync {
    std::mutex mutex; // guards all of the phone's state, its gates' fields and wake; never held across wake()
    std::condition_variable_any changed;
    /// Tells the bus that the phone can go on after it answered notYet; empty off the bus.
    std::function<void()> wake;

    /// Calls wake, without holding the mutex.
    void wakeUp();
};

/// A gate that holds the simulated phone inside one call of an operation: the phone has received the
/// command and any data from the host, and does not answer until the test releases the gate. The host's
/// read waits meanwhile, as it does for a slow phone, and times out on the phone's clock as it would.
/// Tests use gates instead of sleeps to line up concurrent callers of the layers above.
class PhoneGate {
public:
    PhoneGate(std::shared_ptr<PhoneSync> sync, std::uint16_t operation, std::uint32_t onCall);

    std::uint16_t operation() const noexcept { return m_operation; }

    /// Blocks the calling test thread until the phone has entered the gate; false when realLimit (real
    /// time, not the phone's clock) passed first, so that a test that expected the call fails, not hangs.
    bool waitUntilReached(std::chrono::milliseconds realLimit = std::chrono::seconds(20)) const;
    bool isReached() const;
    /// Lets the phone answer. Releasing before the phone arrives lets that call pass without stopping.
    void release();
    bool isReleased() const;
    /// The transaction ID of the call that the gate holds, once reached.
    std::uint32_t transactionID() const;

    // The phone's side, called with the sync mutex held.
    /// Counts one call of the operation; true when this is the call the gate holds.
    bool claimsCallLocked(std::uint16_t operation);
    void markReachedLocked(std::uint32_t transactionID);
    bool isReleasedLocked() const noexcept { return m_released; }
    bool isReachedLocked() const noexcept { return m_reached; }

private:
    std::shared_ptr<PhoneSync> m_sync;
    const std::uint16_t m_operation;
    // The fields below are guarded by m_sync->mutex.
    std::uint32_t m_callsUntilHeld;
    bool m_claimed = false;
    bool m_reached = false;
    bool m_released = false;
    std::uint32_t m_transactionID = 0;
};

} // namespace simulation
