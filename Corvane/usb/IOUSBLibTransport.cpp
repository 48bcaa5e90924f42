#include "Corvane/usb/IOUSBLibTransport.h"

#include "Corvane/usb/InterfaceClaimer.h"
#include "Corvane/usb/RegistryProperties.h"
#include "Corvane/usb/TransportSupport.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Corvane/usb/USBPlugIn.h"
#include "Corvane/wire/PTPError.h"

#include <array>
#include <chrono>
#include <limits>
#include <optional>
#include <utility>

namespace corvane {

namespace {

using namespace std::chrono_literals;

// The take-over's first wait for a re-created interface.
constexpr platform::Seconds takeOverWait = 6s;
// The largest read request: the pipe call counts bytes in 32 bits.
constexpr std::size_t readLimit = std::numeric_limits<std::uint32_t>::max();

PTPError mapIOReturn(iokit::IOReturn code, const std::string& operation) {
    switch (code) {
    case iokit::kIOUSBTransactionTimeout:
    case iokit::kIOReturnTimeout:
        return PTPError::usb(operation + " timed out");
    case iokit::kIOReturnNotResponding:
    case iokit::kIOReturnNoDevice:
    case iokit::kIOReturnNotAttached:
        return PTPError::usb(operation + ": device disconnected");
    case iokit::kIOReturnAborted:
        return PTPError::cancelled();
    case iokit::kIOReturnNotPermitted:
        return PTPError::usb(operation + ": not permitted (sandbox?)");
    default:
        return PTPError::usb(operation + " failed: 0x" + transport::hex32(static_cast<std::uint32_t>(code)));
    }
}

// Seizes the interface's device, resets its configuration so that its interfaces are re-created, and
// opens the re-created interface with the same number before anyone else can. Empty when any step fails.
iokit::IOUSBInterfaceRef takeOver(const iokit::io_service_t& interfaceService, std::uint8_t number,
                                  platform::Clock& clock) {
    iokit::io_registry_entry_t device;
    if (iokit::IORegistryEntryGetParentEntry(interfaceService, iokit::kIOServicePlane, device) !=
        iokit::kIOReturnSuccess) {
        return {};
    }
    InterfaceMatch match;
    match.serial = registry::stringProperty(device, "USB Serial Number").value_or("");
    match.number = number;
    iokit::IORegistryEntryGetRegistryEntryID(device, match.deviceID);
    if (const auto location = registry::integerProperty(device, "locationID")) {
        match.locationID = static_cast<std::uint32_t>(*location);
    }

    auto seized = plugin::makeDevice(device);
    if (!seized) {
        return {};
    }
    if (seized->USBDeviceOpenSeize() != iokit::kIOReturnSuccess) {
        return {};
    }
    iokit::IOUSBInterfaceRef result;
    {
        InterfaceClaimer claimer(std::move(match), iokit::MainPort::forBus(iokit::IOObjectGetBus(device)),
                                 clock);
        if (claimer.start()) {
            // Configuration 0 and then the old one again make the device's interface services go away and
            // come back anew, which the armed claimer sees. The results are not checked: a device that
            // refuses shows up as no claim within the waits.
            std::uint8_t configuration = 0;
            seized->GetConfiguration(configuration);
            seized->SetConfiguration(0);
            seized->SetConfiguration(configuration != 0 ? configuration : 1);
            result = claimer.wait(takeOverWait);
        }
    } // the claimer's thread is joined here, before the device is let go
    seized->USBDeviceClose();
    return result;
}

} // namespace

std::unique_ptr<IOUSBLibTransport> IOUSBLibTransport::open(const USBDeviceDescriptor& descriptor,
                                                           TakeOver takeOverPolicy, platform::Clock& clock,
                                                           const iokit::MainPort& port) {
    const auto service = iokit::IOServiceGetMatchingService(
        port, iokit::IORegistryEntryIDMatching(descriptor.registryEntryID));
    if (!service) {
        throw PTPError::deviceNotFound();
    }

    iokit::IOUSBInterfaceRef interface;
    std::optional<PTPError> openError;
    if (auto candidate = plugin::makeInterface(service); !candidate) {
        openError = PTPError::usb("could not create the USB interface client");
    } else if (const auto result = candidate->USBInterfaceOpen(); result == iokit::kIOReturnSuccess) {
        interface = std::move(candidate);
    } else if (result != iokit::kIOReturnExclusiveAccess) {
        openError = PTPError::usb("USBInterfaceOpen failed: 0x" +
                                  transport::hex32(static_cast<std::uint32_t>(result)));
    }

    if (!interface) {
        const auto heldByCameraService = [&] {
            const auto holder = USBDeviceDiscovery::holder(service);
            return holder && USBDeviceDiscovery::isCameraService(holder->name);
        };
        const bool allowed = takeOverPolicy == TakeOver::fromAnyone ||
                             (takeOverPolicy == TakeOver::fromCameraService && heldByCameraService());
        if (allowed) {
            interface = takeOver(service, descriptor.interfaceNumber, clock);
        }
        if (!interface) {
            // A take-over that failed says nothing about why the open failed: an open refused for another
            // reason than a holder keeps its own error rather than being reported as busy.
            if (openError) {
                throw *openError;
            }
            throw PTPError::deviceBusy(transport::busyText);
        }
    }

    std::uint8_t count = 0;
    if (interface->GetNumEndpoints(count) != iokit::kIOReturnSuccess) {
        count = 0;
    }
    std::uint8_t pipeIn = 0;
    std::uint8_t pipeOut = 0;
    std::size_t packetSize = 512;
    for (std::uint8_t pipeRef = 1; pipeRef != 0 && pipeRef <= count; ++pipeRef) {
        std::uint8_t direction = 0;
        std::uint8_t number = 0;
        std::uint8_t transferType = 0;
        std::uint16_t maxPacketSize = 0;
        std::uint8_t interval = 0;
        if (interface->GetPipeProperties(pipeRef, direction, number, transferType, maxPacketSize, interval) !=
                iokit::kIOReturnSuccess ||
            transferType != iokit::kUSBBulk) {
            continue;
        }
        if (direction == iokit::kUSBOut) {
            pipeOut = pipeRef;
        } else if (direction == iokit::kUSBIn) {
            pipeIn = pipeRef;
            packetSize = maxPacketSize;
        }
    }
    if (pipeIn == 0 || pipeOut == 0) {
        interface->USBInterfaceClose();
        interface.Release();
        throw PTPError::usb(transport::noBulkPairText);
    }
    return std::unique_ptr<IOUSBLibTransport>(new IOUSBLibTransport(
        descriptor, std::move(interface), pipeIn, pipeOut, std::max<std::size_t>(packetSize, 64)));
}

IOUSBLibTransport::IOUSBLibTransport(USBDeviceDescriptor descriptor, iokit::IOUSBInterfaceRef interface,
                                     std::uint8_t pipeIn, std::uint8_t pipeOut, std::size_t maxPacketSize)
    : m_descriptor(std::move(descriptor)), m_maxPacketSize(maxPacketSize), m_pipeIn(pipeIn),
      m_pipeOut(pipeOut), m_canceller(interface.AddRef()), m_interface(std::move(interface)) {}

IOUSBLibTransport::~IOUSBLibTransport() {
    close();
}

void IOUSBLibTransport::requireOpen() const {
    if (!m_connected || !m_interface || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
}

void IOUSBLibTransport::fail(iokit::IOReturn code, const char* operation) const {
    if (m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    throw mapIOReturn(code, operation);
}

bool IOUSBLibTransport::isConnected() const {
    std::lock_guard lock(m_lock);
    return m_connected && m_interface && !m_closing.load();
}

void IOUSBLibTransport::write(std::span<const std::byte> data, Seconds timeout) {
    std::lock_guard lock(m_lock);
    requireOpen();
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        // One pipe call counts bytes in 32 bits; cutting the buffer would lose data silently.
        throw PTPError::usb("write failed: " + std::to_string(data.size()) +
                            " bytes do not fit in one request");
    }
    const std::uint32_t milliseconds = transport::milliseconds32(timeout);
    const auto result = m_interface->WritePipeTO(m_pipeOut, data, milliseconds, milliseconds);
    if (result != iokit::kIOReturnSuccess) {
        if (!m_closing.load()) {
            m_interface->ClearPipeStallBothEnds(m_pipeOut); // best effort: the next transaction starts clean
        }
        fail(result, "write");
    }
}

void IOUSBLibTransport::writeZeroLength(Seconds timeout) {
    std::lock_guard lock(m_lock);
    requireOpen();
    const std::uint32_t milliseconds = transport::milliseconds32(timeout);
    const auto result = m_interface->WritePipeTO(m_pipeOut, {}, milliseconds, milliseconds);
    if (result != iokit::kIOReturnSuccess) {
        fail(result, "write ZLP");
    }
}

std::size_t IOUSBLibTransport::read(std::span<std::byte> buffer, Seconds timeout) {
    std::lock_guard lock(m_lock);
    requireOpen();
    const std::size_t length = transport::readRequestLength(buffer.size(), m_maxPacketSize, readLimit);
    const std::uint32_t milliseconds = transport::milliseconds32(timeout);
    std::uint32_t count = 0;
    const auto result =
        m_interface->ReadPipeTO(m_pipeIn, buffer.first(length), count, milliseconds, milliseconds);
    if (result != iokit::kIOReturnSuccess) {
        if (!m_closing.load()) {
            m_interface->ClearPipeStallBothEnds(m_pipeIn); // best effort, as for a write
        }
        fail(result, "read");
    }
    return std::min<std::size_t>(count, length);
}

std::uint32_t IOUSBLibTransport::classRequest(std::uint8_t requestType, std::uint8_t request,
                                              std::span<std::byte> data, const char* operation) {
    iokit::IOUSBDevRequestTO setup;
    setup.bmRequestType = requestType;
    setup.bRequest = request;
    setup.wValue = 0;
    setup.wIndex = m_descriptor.interfaceNumber;
    setup.wLength = static_cast<std::uint16_t>(data.size());
    setup.pData = data;
    setup.noDataTimeout = 1000;
    setup.completionTimeout = 5000;
    const auto result = m_interface->ControlRequestTO(0, setup);
    if (result != iokit::kIOReturnSuccess) {
        fail(result, operation);
    }
    return setup.wLenDone;
}

void IOUSBLibTransport::resetDevice() {
    std::lock_guard lock(m_lock);
    requireOpen();
    classRequest(transport::classToInterface, transport::deviceResetRequest, {}, "device reset");
    // The reset leaves the bulk pipes halted on some devices; clearing them is harmless on the others.
    m_interface->ClearPipeStallBothEnds(m_pipeIn);
    m_interface->ClearPipeStallBothEnds(m_pipeOut);
}

void IOUSBLibTransport::cancelTransaction(std::uint32_t transactionID) {
    std::lock_guard lock(m_lock);
    requireOpen();
    auto data = transport::cancelData(transactionID);
    classRequest(transport::classToInterface, transport::cancelRequest, data, "cancel");
}

PTPDeviceStatus IOUSBLibTransport::deviceStatus() {
    std::lock_guard lock(m_lock);
    requireOpen();
    std::array<std::byte, transport::deviceStatusLength> stage{};
    const auto count =
        classRequest(transport::classFromInterface, transport::deviceStatusRequest, stage, "device status");
    return transport::parseDeviceStatus(std::span(stage).first(std::min<std::size_t>(count, stage.size())));
}

void IOUSBLibTransport::clearStalls() {
    std::lock_guard lock(m_lock);
    requireOpen();
    m_interface->ClearPipeStallBothEnds(m_pipeIn);
    m_interface->ClearPipeStallBothEnds(m_pipeOut);
}

void IOUSBLibTransport::close() noexcept {
    // Closing the interface ends a transfer that holds the lock at once, so close() does not wait out its
    // time-out; a transfer that starts later sees m_closing. Both then fail with "transport closed".
    m_closing.store(true);
    if (m_canceller) {
        m_canceller->USBInterfaceClose(); // kIOReturnNotOpen on a second close: nothing to do
    }
    std::lock_guard lock(m_lock);
    m_connected = false;
    m_interface.Release();
}

} // namespace corvane
