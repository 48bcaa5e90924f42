#include "platform/iokit/IOUSBLib.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <utility>

namespace iokit {

namespace {

constexpr auto maximum32 = std::numeric_limits<std::uint32_t>::max();

// The one time-out the bus knows: the shorter of the two that the caller gave.
usb::Timeout busTimeout(std::uint32_t noDataTimeout, std::uint32_t completionTimeout) {
    return usb::Timeout(std::min(noDataTimeout, completionTimeout));
}

// Runs a bus call and turns its failure into the code a USB user client reports. Pipe transfers that
// time out report the USB family's own code, as the platform's do.
enum class CallKind { plain, transfer };

template <typename Call> IOReturn callBus(CallKind kind, Call&& call) {
    try {
        return call();
    } catch (const usb::USBError& error) {
        if (kind == CallKind::transfer && error.status() == usb::Status::timeout) {
            return kIOUSBTransactionTimeout;
        }
        return ioReturnFrom(error.status());
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    } catch (const std::exception&) {
        return kIOReturnError;
    }
}

std::optional<std::int64_t> numberProperty(usb::USBBus& bus, usb::RegistryEntryID id, std::string_view key) {
    const auto value = bus.property(id, key);
    if (value) {
        if (const auto* number = std::get_if<std::int64_t>(&*value)) {
            return *number;
        }
    }
    return std::nullopt;
}

} // namespace

// --- Shared by both user clients ---------------------------------------------------------------------

namespace detail {

USBUserClient::USBUserClient(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID service) noexcept
    : m_bus(std::move(bus)), m_service(service) {}

USBUserClient::~USBUserClient() {
    // The last reference went while the client was still open: the open goes with it.
    if (m_handle != 0) {
        m_bus->close(m_handle);
    }
}

IOReturn USBUserClient::open(usb::OpenMode mode) {
    {
        std::lock_guard guard(m_mutex);
        if (m_handle != 0) {
            return kIOReturnExclusiveAccess; // this client holds it already
        }
    }
    usb::HandleID opened = 0;
    const IOReturn result = callBus(CallKind::plain, [&] {
        opened = m_bus->open(m_service, mode);
        return kIOReturnSuccess;
    });
    if (result != kIOReturnSuccess) {
        return result == kIOReturnNotFound ? kIOReturnNoDevice : result; // the service has gone
    }
    std::unique_lock lock(m_mutex);
    if (m_handle != 0) {
        // Another thread opened the same client meanwhile; one open per client.
        lock.unlock();
        m_bus->close(opened);
        return kIOReturnExclusiveAccess;
    }
    m_handle = opened;
    return kIOReturnSuccess;
}

IOReturn USBUserClient::close() {
    usb::HandleID closing = 0;
    {
        std::lock_guard guard(m_mutex);
        closing = std::exchange(m_handle, 0);
    }
    if (closing == 0) {
        return kIOReturnNotOpen;
    }
    m_bus->close(closing);
    return kIOReturnSuccess;
}

std::optional<usb::HandleID> USBUserClient::handle() const {
    std::lock_guard guard(m_mutex);
    return m_handle == 0 ? std::nullopt : std::optional(m_handle);
}

} // namespace detail

// --- Interface ---------------------------------------------------------------------------------------

IOUSBInterfaceStruct942::IOUSBInterfaceStruct942(std::shared_ptr<usb::USBBus> bus,
                                                 usb::RegistryEntryID service) noexcept
    : USBUserClient(std::move(bus), service) {}

IOReturn IOUSBInterfaceStruct942::USBInterfaceOpen() {
    return openWith(usb::OpenMode::exclusive);
}

IOReturn IOUSBInterfaceStruct942::USBInterfaceOpenSeize() {
    return openWith(usb::OpenMode::seize);
}

IOReturn IOUSBInterfaceStruct942::openWith(usb::OpenMode mode) {
    std::vector<usb::EndpointDescriptor> endpoints;
    const IOReturn listed = callBus(CallKind::plain, [&] {
        endpoints = m_bus->endpoints(m_service);
        return kIOReturnSuccess;
    });
    if (listed != kIOReturnSuccess) {
        return listed == kIOReturnNotFound ? kIOReturnNoDevice : listed;
    }
    const IOReturn opened = open(mode);
    if (opened == kIOReturnSuccess) {
        std::lock_guard guard(m_mutex);
        m_endpoints = std::move(endpoints);
    }
    return opened;
}

IOReturn IOUSBInterfaceStruct942::USBInterfaceClose() {
    return close();
}

IOReturn IOUSBInterfaceStruct942::GetInterfaceNumber(std::uint8_t& number) {
    return callBus(CallKind::plain, [&] {
        const auto value = numberProperty(*m_bus, m_service, "bInterfaceNumber");
        if (!value) {
            return kIOReturnNotFound;
        }
        number = static_cast<std::uint8_t>(*value);
        return kIOReturnSuccess;
    });
}

IOReturn IOUSBInterfaceStruct942::GetNumEndpoints(std::uint8_t& count) {
    std::lock_guard guard(m_mutex);
    if (m_handle == 0) {
        return kIOReturnNotOpen;
    }
    count = static_cast<std::uint8_t>(std::min<std::size_t>(m_endpoints.size(), 255));
    return kIOReturnSuccess;
}

IOReturn IOUSBInterfaceStruct942::pipe(std::uint8_t pipeRef, usb::HandleID& handle,
                                       usb::EndpointDescriptor& endpoint) const {
    std::lock_guard guard(m_mutex);
    if (m_handle == 0) {
        return kIOReturnNotOpen;
    }
    if (pipeRef == 0) {
        endpoint = {usb::controlEndpoint, 0x00, 64, 0};
    } else if (pipeRef <= m_endpoints.size()) {
        endpoint = m_endpoints[pipeRef - 1];
    } else {
        return kIOReturnBadArgument;
    }
    handle = m_handle;
    return kIOReturnSuccess;
}

IOReturn IOUSBInterfaceStruct942::GetPipeProperties(std::uint8_t pipeRef, std::uint8_t& direction,
                                                    std::uint8_t& number, std::uint8_t& transferType,
                                                    std::uint16_t& maxPacketSize, std::uint8_t& interval) {
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    if (pipeRef == 0) {
        direction = kUSBAnyDirn;
        number = 0;
        transferType = kUSBControl;
    } else {
        direction = endpoint.direction() == usb::Direction::in ? kUSBIn : kUSBOut;
        number = endpoint.number();
        transferType = static_cast<std::uint8_t>(endpoint.transferType());
    }
    maxPacketSize = static_cast<std::uint16_t>(endpoint.packetSize());
    interval = endpoint.interval;
    return kIOReturnSuccess;
}

IOReturn IOUSBInterfaceStruct942::ReadPipeTO(std::uint8_t pipeRef, std::span<std::byte> buffer,
                                             std::uint32_t& size, std::uint32_t noDataTimeout,
                                             std::uint32_t completionTimeout) {
    size = 0;
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    if (pipeRef == 0 || buffer.size() > maximum32) {
        return kIOReturnBadArgument;
    }
    return callBus(CallKind::transfer, [&] {
        size = static_cast<std::uint32_t>(
            m_bus->readPipe(handle, endpoint.address, buffer, busTimeout(noDataTimeout, completionTimeout)));
        return kIOReturnSuccess;
    });
}

IOReturn IOUSBInterfaceStruct942::WritePipeTO(std::uint8_t pipeRef, std::span<const std::byte> buffer,
                                              std::uint32_t noDataTimeout, std::uint32_t completionTimeout) {
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    if (pipeRef == 0 || buffer.size() > maximum32) {
        return kIOReturnBadArgument;
    }
    return callBus(CallKind::transfer, [&] {
        const std::size_t sent =
            m_bus->writePipe(handle, endpoint.address, buffer, busTimeout(noDataTimeout, completionTimeout));
        // A bulk write either reaches the device whole or fails: a part that went missing must not look
        // like success.
        return sent == buffer.size() ? kIOReturnSuccess : kIOReturnIOError;
    });
}

IOReturn IOUSBInterfaceStruct942::ClearPipeStallBothEnds(std::uint8_t pipeRef) {
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    return callBus(CallKind::plain, [&] {
        m_bus->clearStall(handle, endpoint.address);
        return kIOReturnSuccess;
    });
}

IOReturn IOUSBInterfaceStruct942::AbortPipe(std::uint8_t pipeRef) {
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    return callBus(CallKind::plain, [&] {
        m_bus->abortPipe(handle, endpoint.address);
        return kIOReturnSuccess;
    });
}

IOReturn IOUSBInterfaceStruct942::ControlRequestTO(std::uint8_t pipeRef, IOUSBDevRequestTO& request) {
    request.wLenDone = 0;
    usb::HandleID handle = 0;
    usb::EndpointDescriptor endpoint;
    if (const IOReturn result = pipe(pipeRef, handle, endpoint); result != kIOReturnSuccess) {
        return result;
    }
    if (pipeRef != 0 || request.pData.size() < request.wLength) {
        return kIOReturnBadArgument;
    }
    const usb::ControlSetup setup{request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
                                  request.wLength};
    return callBus(CallKind::transfer, [&] {
        const auto timeout = busTimeout(request.noDataTimeout, request.completionTimeout);
        if (setup.isDeviceToHost()) {
            const auto data = m_bus->controlRequest(handle, setup, {}, timeout);
            const std::size_t count = std::min<std::size_t>(data.size(), request.wLength);
            std::copy_n(data.begin(), count, request.pData.begin());
            request.wLenDone = static_cast<std::uint32_t>(count);
        } else {
            m_bus->controlRequest(handle, setup, request.pData.first(request.wLength), timeout);
            request.wLenDone = request.wLength;
        }
        return kIOReturnSuccess;
    });
}

// --- Device ------------------------------------------------------------------------------------------

IOUSBDeviceStruct942::IOUSBDeviceStruct942(std::shared_ptr<usb::USBBus> bus,
                                           usb::RegistryEntryID service) noexcept
    : USBUserClient(std::move(bus), service) {}

IOReturn IOUSBDeviceStruct942::USBDeviceOpen() {
    return open(usb::OpenMode::exclusive);
}

IOReturn IOUSBDeviceStruct942::USBDeviceOpenSeize() {
    return open(usb::OpenMode::seize);
}

IOReturn IOUSBDeviceStruct942::USBDeviceClose() {
    return close();
}

IOReturn IOUSBDeviceStruct942::GetConfiguration(std::uint8_t& value) {
    const auto opened = handle();
    if (!opened) {
        return kIOReturnNotOpen;
    }
    return callBus(CallKind::plain, [&] {
        value = m_bus->configuration(*opened);
        return kIOReturnSuccess;
    });
}

IOReturn IOUSBDeviceStruct942::SetConfiguration(std::uint8_t value) {
    const auto opened = handle();
    if (!opened) {
        return kIOReturnNotOpen;
    }
    return callBus(CallKind::plain, [&] {
        m_bus->setConfiguration(*opened, value);
        return kIOReturnSuccess;
    });
}

} // namespace iokit
