#include "platform/iousbhost/IOUSBHostPipe.h"

#include "platform/foundation/Clock.h"
#include "platform/iousbhost/IOUSBHostError.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace iousbhost {

namespace detail {

HostClient::HostClient(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID id) noexcept
    : m_bus(std::move(bus)), m_id(id) {}

HostClient::~HostClient() {
    close();
}

void HostClient::setHandle(usb::HandleID handle) {
    std::lock_guard guard(m_mutex);
    m_handle = handle;
}

usb::HandleID HostClient::handle() const {
    std::lock_guard guard(m_mutex);
    if (m_handle == 0) {
        throw IOUSBHostError(iokit::kIOReturnNotOpen);
    }
    return m_handle;
}

void HostClient::close() noexcept {
    usb::HandleID closing = 0;
    {
        std::lock_guard guard(m_mutex);
        closing = std::exchange(m_handle, 0);
    }
    if (closing != 0) {
        m_bus->close(closing);
    }
}

usb::Timeout busTimeout(double seconds) {
    const auto duration = platform::Clock::toDuration(platform::Seconds(seconds));
    return std::chrono::ceil<usb::Timeout>(duration);
}

} // namespace detail

IOUSBHostPipe::IOUSBHostPipe(std::shared_ptr<detail::HostClient> client,
                             usb::EndpointDescriptor endpoint) noexcept
    : m_client(std::move(client)), m_endpoint(endpoint) {}

std::size_t IOUSBHostPipe::sendIORequestWithData(std::span<std::byte> data, double completionTimeout) {
    const usb::HandleID handle = m_client->handle();
    try {
        if (m_endpoint.direction() == usb::Direction::in) {
            return m_client->bus().readPipe(handle, m_endpoint.address, data,
                                            detail::busTimeout(completionTimeout));
        }
        return m_client->bus().writePipe(handle, m_endpoint.address, data,
                                         detail::busTimeout(completionTimeout));
    } catch (...) {
        rethrowAsIOUSBHostError();
    }
}

void IOUSBHostPipe::clearStall() {
    const usb::HandleID handle = m_client->handle();
    try {
        m_client->bus().clearStall(handle, m_endpoint.address);
    } catch (...) {
        rethrowAsIOUSBHostError();
    }
}

void IOUSBHostPipe::abort() {
    const usb::HandleID handle = m_client->handle();
    try {
        m_client->bus().abortPipe(handle, m_endpoint.address);
    } catch (...) {
        rethrowAsIOUSBHostError();
    }
}

} // namespace iousbhost
