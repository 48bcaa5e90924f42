#pragma once

#include "platform/usb/Endpoint.h"
#include "platform/usb/USBBus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

namespace iousbhost {

namespace detail {

/// The open that an interface and its pipes share. Closed once, by the interface's destroy(); pipes that
/// outlive it then fail with kIOReturnNotOpen.
class HostClient {
public:
    HostClient(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID id) noexcept;
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    usb::USBBus& bus() const noexcept { return *m_bus; }
    usb::RegistryEntryID id() const noexcept { return m_id; }
    void setHandle(usb::HandleID handle);
    /// The open's handle; throws IOUSBHostError(kIOReturnNotOpen) once closed.
    usb::HandleID handle() const;
    /// Ends the open: transfers running on it end with kIOReturnAborted. Idempotent; any thread.
    void close() noexcept;

private:
    const std::shared_ptr<usb::USBBus> m_bus;
    const usb::RegistryEntryID m_id;
    mutable std::mutex m_mutex; // guards m_handle; never held across a bus call
    usb::HandleID m_handle = 0;
};

/// A completion time-out in seconds as the bus counts it: NaN and negative values mean no wait, huge ones
/// are clamped, so no value reaches an undefined conversion.
usb::Timeout busTimeout(double seconds);

} // namespace detail

/// One endpoint of an open IOUSBHostInterface (IOUSBHostPipe). Made by copyPipeWithAddress. Every member
/// may be called from any thread; transfers block until they end. Failures throw IOUSBHostError.
class IOUSBHostPipe {
public:
    IOUSBHostPipe(std::shared_ptr<detail::HostClient> client, usb::EndpointDescriptor endpoint) noexcept;

    std::uint8_t endpointAddress() const noexcept { return m_endpoint.address; }
    const usb::EndpointDescriptor& descriptor() const noexcept { return m_endpoint; }

    /// One transfer, ending at the completion time-out (seconds): an IN pipe fills data (at most its size)
    /// and an OUT pipe sends it (empty: a zero-length packet). Returns the bytes transferred.
    std::size_t sendIORequestWithData(std::span<std::byte> data, double completionTimeout);
    /// Clears the halt on both ends of the pipe (clearStallWithError:).
    void clearStall();
    /// Ends the transfers running on the pipe with kIOReturnAborted.
    void abort();

private:
    const std::shared_ptr<detail::HostClient> m_client;
    const usb::EndpointDescriptor m_endpoint;
};

} // namespace iousbhost
