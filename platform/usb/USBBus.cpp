#include "platform/usb/USBBus.h"

#include <mutex>
#include <utility>

namespace usb {

namespace {

std::mutex defaultBusMutex; // guards defaultBusInstance only
std::shared_ptr<USBBus> defaultBusInstance;

} // namespace

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
