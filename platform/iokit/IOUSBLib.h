#pragma once

// The IOKit USB user clients: the device and interface function tables of version 942, over a
// usb::USBBus. Member names and argument orders follow the platform's; buffers are spans and results are
// IOReturn codes, never exceptions.
//
// Time-outs are milliseconds on the bus's clock. The simulated bus knows one time-out per transfer, so a
// transfer ends at the shorter of the no-data and completion time-outs; unlike the platform, 0 does not
// mean "no time-out" but "do not wait", so that no value a careless caller passes can block for ever.

#include "platform/iokit/IOCFPlugIn.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/usb/Endpoint.h"
#include "platform/usb/USBBus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace iokit {

// User-client types and function-table IDs.
inline constexpr CFUUIDBytes kIOUSBInterfaceUserClientTypeID{
    {0x26, 0xF0, 0x77, 0xB5, 0x2A, 0xA0, 0x48, 0xCD, 0x85, 0xE7, 0x31, 0x96, 0x65, 0xBC, 0x5B, 0x82}};
inline constexpr CFUUIDBytes kIOUSBDeviceUserClientTypeID{
    {0x4B, 0x96, 0x3E, 0xAC, 0x71, 0x55, 0x46, 0x53, 0xBD, 0x4C, 0x9D, 0x2D, 0xAF, 0x1B, 0x67, 0x96}};
inline constexpr CFUUIDBytes kIOUSBInterfaceInterfaceID942{
    {0xBB, 0x14, 0x61, 0x51, 0xB4, 0xED, 0x4A, 0xD1, 0x8A, 0x04, 0x93, 0xFF, 0x25, 0xB7, 0x4F, 0xB3}};
inline constexpr CFUUIDBytes kIOUSBDeviceInterfaceID942{
    {0x57, 0xA7, 0x4C, 0x3E, 0xDD, 0xC6, 0x4D, 0xCF, 0x83, 0xF2, 0xE7, 0x1D, 0xBF, 0x2E, 0x5C, 0xFB}};

// GetPipeProperties values.
inline constexpr std::uint8_t kUSBOut = 0;
inline constexpr std::uint8_t kUSBIn = 1;
inline constexpr std::uint8_t kUSBAnyDirn = 3;
inline constexpr std::uint8_t kUSBControl = 0;
inline constexpr std::uint8_t kUSBIsoc = 1;
inline constexpr std::uint8_t kUSBBulk = 2;
inline constexpr std::uint8_t kUSBInterrupt = 3;

/// A control request with time-outs. For a device-to-host request pData receives the data stage; for a
/// host-to-device one it holds it (at least wLength bytes). wLenDone reports the bytes moved.
struct IOUSBDevRequestTO {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    std::span<std::byte> pData;
    std::uint32_t wLenDone = 0;
    std::uint32_t noDataTimeout = 0;
    std::uint32_t completionTimeout = 0;
};

namespace detail {

/// What both user clients share: the service they were made for and the bus open they hold. Every
/// member may be called from any thread; the mutex is never held across a bus call, so a close from one
/// thread ends a transfer that another thread is blocked in.
class USBUserClient : public PlugInObject {
public:
    ~USBUserClient() override;

protected:
    USBUserClient(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID service) noexcept;

    IOReturn open(usb::OpenMode mode);
    IOReturn close();
    /// The open's handle, or nothing when closed.
    std::optional<usb::HandleID> handle() const;

    const std::shared_ptr<usb::USBBus> m_bus;
    const usb::RegistryEntryID m_service;
    mutable std::mutex m_mutex; // guards m_handle and what subclasses say; never held across a bus call
    usb::HandleID m_handle = 0;
};

} // namespace detail

/// The function table of an interface user client (IOUSBInterfaceInterface942). Owned through
/// IOUSBInterfaceRef. Releasing the last reference closes the interface if it is still open.
class IOUSBInterfaceStruct942 final : public detail::USBUserClient {
public:
    IOUSBInterfaceStruct942(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID service) noexcept;

    /// Opens the interface exclusively: kIOReturnExclusiveAccess while another client holds it.
    IOReturn USBInterfaceOpen();
    /// Opens it by taking it from its holder, unless the holder refuses.
    IOReturn USBInterfaceOpenSeize();
    /// Ends the open; a transfer still running on it ends with kIOReturnAborted. kIOReturnNotOpen when it
    /// is not open.
    IOReturn USBInterfaceClose();

    /// The interface's "bInterfaceNumber".
    IOReturn GetInterfaceNumber(std::uint8_t& number);

    // Pipes, on an open interface. Pipe 0 is the default control pipe; pipes 1 to GetNumEndpoints are the
    // endpoints in their declared order.

    IOReturn GetNumEndpoints(std::uint8_t& count);
    /// maxPacketSize is the packet size proper, without high-speed transaction bits.
    IOReturn GetPipeProperties(std::uint8_t pipeRef, std::uint8_t& direction, std::uint8_t& number,
                               std::uint8_t& transferType, std::uint16_t& maxPacketSize,
                               std::uint8_t& interval);
    /// Reads at most buffer.size() bytes; size receives the count. A time-out fails with
    /// kIOUSBTransactionTimeout, a halted endpoint with kIOUSBPipeStalled.
    IOReturn ReadPipeTO(std::uint8_t pipeRef, std::span<std::byte> buffer, std::uint32_t& size,
                        std::uint32_t noDataTimeout, std::uint32_t completionTimeout);
    /// Writes the whole buffer; an empty one sends a zero-length packet. A device that takes only part of
    /// it fails the call with kIOReturnIOError.
    IOReturn WritePipeTO(std::uint8_t pipeRef, std::span<const std::byte> buffer, std::uint32_t noDataTimeout,
                         std::uint32_t completionTimeout);
    /// Clears the halt on the host side and on the device's endpoint.
    IOReturn ClearPipeStallBothEnds(std::uint8_t pipeRef);
    /// Ends the transfers running on the pipe with kIOReturnAborted.
    IOReturn AbortPipe(std::uint8_t pipeRef);
    /// A request on the default control pipe (pipeRef 0).
    IOReturn ControlRequestTO(std::uint8_t pipeRef, IOUSBDevRequestTO& request);

private:
    IOReturn openWith(usb::OpenMode mode);
    // The open's handle and the pipe's endpoint, or the code that says why there is none.
    IOReturn pipe(std::uint8_t pipeRef, usb::HandleID& handle, usb::EndpointDescriptor& endpoint) const;

    std::vector<usb::EndpointDescriptor> m_endpoints; // guarded by m_mutex; read at open
};

/// The function table of a device user client (IOUSBDeviceInterface942). Owned through IOUSBDeviceRef.
/// Releasing the last reference closes the device if it is still open.
class IOUSBDeviceStruct942 final : public detail::USBUserClient {
public:
    IOUSBDeviceStruct942(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID service) noexcept;

    IOReturn USBDeviceOpen();
    /// Opens the device by taking it from its holder, unless the holder refuses (kIOReturnExclusiveAccess).
    IOReturn USBDeviceOpenSeize();
    IOReturn USBDeviceClose();
    /// The current configuration value; 0 while the device is deconfigured.
    IOReturn GetConfiguration(std::uint8_t& value);
    /// Sets the configuration: every interface is terminated at once, and those of a non-zero
    /// configuration come back under new registry IDs once the device has re-enumerated them.
    IOReturn SetConfiguration(std::uint8_t value);
};

} // namespace iokit
