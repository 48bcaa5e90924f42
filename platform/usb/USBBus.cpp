#include "platform/usb/USBBus.h"

#include <mutex>
#include <utility>

namespace usb {

namespace {

std::mutex defaultBusMutex; // guards defaultBusInstance only
std::shared_ptr<USBBus> defaultBusInstance;

} // namespace

std::vector<std::byte> USBBus::readPipe(HandleID handle, std::uint8_t endpoint, std::size_t maxLength,
                                        Timeout timeout) {
    std::vector<std::byte> data(maxLength);
    data.resize(readPipe(handle, endpoint, std::span<std::byte>(data), timeout));
    return data;
}

std::shared_ptr<USBBus> defaultBus() {
    std::lock_guard guard(defaultBusMutex);
    return defaultBusInstance;
}

void setDefaultBus(std::shared_ptr<USBBus> bus) {
    std::lock_guard guard(defaultBusMutex);
    defaultBusInstance = std::move(bus);
}

ScopedDefaultBus::ScopedDefaultBus(std::shared_ptr<USBBus> bus) : m_previous(defaultBus()) {
    setDefaultBus(std::move(bus));
}

ScopedDefaultBus::~ScopedDefaultBus() {
    setDefaultBus(std::move(m_previous));
}

} // namespace usb
