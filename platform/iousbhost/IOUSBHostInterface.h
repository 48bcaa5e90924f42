#pragma once

// The IOUSBHost framework's interface object over a usb::USBBus. Names follow the framework's; failures
// throw IOUSBHostError in place of its error out-parameters.

#include "platform/iokit/IOKitLib.h"
#include "platform/iousbhost/DispatchQueue.h"
#include "platform/iousbhost/IOUSBHostDescriptors.h"
#include "platform/iousbhost/IOUSBHostPipe.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace iousbhost {

/// The interest message for a service that has been terminated: the device was unplugged, or the
/// interface went away with a configuration change.
inline constexpr std::uint32_t kIOMessageServiceIsTerminated = 0xE0000010;

/// Called on the interface's queue with each interest message for its service.
using IOUSBHostInterestHandler = std::function<void(std::uint32_t messageType)>;

enum class IOUSBHostObjectInitOptions : std::uint32_t { none = 0 };

/// A control request's set-up packet (IOUSBDeviceRequest).
struct IOUSBDeviceRequest {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

/// An open USB interface (IOUSBHostInterface): it holds the interface open exclusively from creation
/// until destroy(), hands out its pipes, sends control requests, and reports interest messages for its
/// service to a handler. Owns its open, its bus subscription and, when it was given no queue, the queue
/// the handler runs on. Every member may be called from any thread.
class IOUSBHostInterface {
public:
    /// Opens the interface service (initWithIOService:options:queue:error:interestHandler:). Without a
    /// queue the handler runs on a queue of the interface's own. Throws IOUSBHostError:
    /// kIOReturnExclusiveAccess when another client holds it, kIOReturnNoDevice when it has gone,
    /// kIOReturnBadArgument for a service that is no interface.
    static std::shared_ptr<IOUSBHostInterface> initWithIOService(const iokit::io_service_t& service,
                                                                 IOUSBHostObjectInitOptions options,
                                                                 std::shared_ptr<DispatchQueue> queue,
                                                                 IOUSBHostInterestHandler interestHandler);
    /// Runs destroy().
    ~IOUSBHostInterface();
    IOUSBHostInterface(const IOUSBHostInterface&) = delete;
    IOUSBHostInterface& operator=(const IOUSBHostInterface&) = delete;

    /// The configuration the interface belongs to, with the descriptors of every interface in it.
    const IOUSBConfigurationDescriptor& configurationDescriptor() const noexcept { return m_configuration; }
    /// This interface's descriptor inside configurationDescriptor().
    const IOUSBInterfaceDescriptor& interfaceDescriptor() const noexcept { return m_interface; }

    /// The pipe of one of the interface's endpoints. kIOReturnNotFound for an address the interface does
    /// not have, kIOReturnNotOpen after destroy().
    std::shared_ptr<IOUSBHostPipe> copyPipeWithAddress(std::uint8_t address);
    /// A request on the device's default control pipe; the data stage goes to or comes from data (at
    /// least wLength bytes). Returns the bytes transferred.
    std::size_t sendDeviceRequest(const IOUSBDeviceRequest& request, std::span<std::byte> data,
                                  double completionTimeout);

    /// Closes the interface: transfers still running end with kIOReturnAborted, later ones and the
    /// pipes fail with kIOReturnNotOpen, and the handler is never called again. When it returns, no call
    /// of the handler is running, unless destroy() was called from inside the handler. Idempotent.
    void destroy() noexcept;

private:
    struct Interest;

    IOUSBHostInterface(std::shared_ptr<detail::HostClient> client, std::shared_ptr<Interest> interest,
                       std::shared_ptr<DispatchQueue> queue);

    const std::shared_ptr<detail::HostClient> m_client;
    const std::shared_ptr<Interest> m_interest;
    const std::shared_ptr<DispatchQueue> m_queue;
    std::atomic<usb::SubscriptionID> m_subscription{0};
    std::vector<usb::EndpointDescriptor> m_endpoints;
    IOUSBConfigurationDescriptor m_configuration;
    IOUSBInterfaceDescriptor m_interface;
};

} // namespace iousbhost
