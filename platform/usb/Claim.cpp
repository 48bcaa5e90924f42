#include "platform/usb/Claim.h"

#include <utility>

namespace usb {

Claim Claim::open(std::shared_ptr<USBBus> bus, RegistryEntryID id, OpenMode mode) {
    const HandleID handle = bus->open(id, mode);
    return Claim(std::move(bus), handle);
}

Claim::Claim(std::shared_ptr<USBBus> bus, HandleID handle) noexcept
    : m_bus(std::move(bus)), m_handle(handle) {}

Claim::~Claim() {
    close();
}

Claim::Claim(Claim&& other) noexcept
    : m_bus(std::move(other.m_bus)), m_handle(std::exchange(other.m_handle, 0)) {}

Claim& Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        close();
        m_bus = std::move(other.m_bus);
        m_handle = std::exchange(other.m_handle, 0);
    }
    return *this;
}

void Claim::close() noexcept {
    if (m_handle != 0 && m_bus) {
        m_bus->close(m_handle);
    }
    m_handle = 0;
    m_bus.reset();
}

HandleID Claim::release() noexcept {
    m_bus.reset();
    return std::exchange(m_handle, 0);
}

} // namespace usb
