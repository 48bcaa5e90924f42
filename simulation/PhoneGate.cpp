#include "simulation/PhoneGate.h"

#include <utility>

namespace simulation {

void PhoneSync::wakeUp() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex);
        handler = wake;
    }
    if (handler) {
        handler();
    }
}

PhoneGate::PhoneGate(std::shared_ptr<PhoneSync> sync, std::uint16_t operation, std::uint32_t onCall)
    : m_sync(std::move(sync)), m_operation(operation), m_callsUntilHeld(onCall == 0 ? 1 : onCall) {}

bool PhoneGate::waitUntilReached(std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(m_sync->mutex);
    return m_sync->changed.wait_for(lock, realLimit, [this] { return m_reached; });
}

bool PhoneGate::isReached() const {
    std::lock_guard lock(m_sync->mutex);
    return m_reached;
}

void PhoneGate::release() {
    {
        std::lock_guard lock(m_sync->mutex);
        m_released = true;
    }
    m_sync->changed.notify_all();
    m_sync->wakeUp();
}

bool PhoneGate::isReleased() const {
    std::lock_guard lock(m_sync->mutex);
    return m_released;
}

std::uint32_t PhoneGate::transactionID() const {
    std::lock_guard lock(m_sync->mutex);
    return m_transactionID;
}

bool PhoneGate::claimsCallLocked(std::uint16_t operation) {
    if (m_claimed || operation != m_operation) {
        return false;
    }
    if (--m_callsUntilHeld != 0) {
        return false;
    }
    m_claimed = true;
    return true;
}

void PhoneGate::markReachedLocked(std::uint32_t transactionID) {
    m_reached = true;
    m_transactionID = transactionID;
}

} // namespace simulation
