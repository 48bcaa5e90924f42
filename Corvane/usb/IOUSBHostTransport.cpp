#include "Corvane/usb/IOUSBHostTransport.h"

#include "Corvane/usb/TransportSupport.h"
#include "Corvane/wire/PTPError.h"
#include "platform/iousbhost/IOUSBHostError.h"

#include <array>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

namespace corvane {

namespace {

using iousbhost::IOUSBHostError;

std::uint32_t low32(std::int64_t code) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(code));
}

bool isCode(const IOUSBHostError& error, iokit::IOReturn code) {
    return low32(error.code()) == static_cast<std::uint32_t>(code);
}

PTPError convert(const IOUSBHostError& error, const std::string& operation) {
    if (isCode(error, iokit::kIOReturnTimeout)) {
        return PTPError::usb(operation + " timed out");
    }
    if (isCode(error, iokit::kIOReturnNotResponding) || isCode(error, iokit::kIOReturnNoDevice) ||
        isCode(error, iokit::kIOReturnNotAttached)) {
        return PTPError::usb(operation + ": device disconnected");
    }
    if (isCode(error, iokit::kIOReturnAborted)) {
        return PTPError::cancelled();
    }
    return PTPError::usb(operation + " failed: " + error.localizedDescription() + " (0x" +
                         transport::hex32(low32(error.code())) + ")");
}

// Grows the buffer to the length, or throws the library's error when there is no memory for it.
void reserveAtLeast(std::vector<std::byte>& buffer, std::size_t length) {
    try {
        if (buffer.size() < length) {
            buffer.resize(length);
        }
    } catch (const std::bad_alloc&) {
        throw PTPError::usb("allocation failed");
    } catch (const std::length_error&) {
        throw PTPError::usb("allocation failed");
    }
}

} // namespace

std::unique_ptr<IOUSBHostTransport> IOUSBHostTransport::open(const USBDeviceDescriptor& descriptor,
                                                             std::function<void()> onDisconnect,
                                                             const iokit::MainPort& port) {
    const auto service = iokit::IOServiceGetMatchingService(
        port, iokit::IORegistryEntryIDMatching(descriptor.registryEntryID));
    if (!service) {
        throw PTPError::deviceNotFound();
    }
    std::shared_ptr<iousbhost::IOUSBHostInterface> interface;
    try {
        // The handler holds the creator's closure only; it runs on the interface's queue and never
        // touches the transport, which may be closing meanwhile.
        interface = iousbhost::IOUSBHostInterface::initWithIOService(
            service, iousbhost::IOUSBHostObjectInitOptions::none, nullptr,
            [onDisconnect = std::move(onDisconnect)](std::uint32_t message) {
                if (message == iousbhost::kIOMessageServiceIsTerminated && onDisconnect) {
                    onDisconnect();
                }
            });
    } catch (const IOUSBHostError& error) {
        if (isCode(error, iokit::kIOReturnExclusiveAccess)) {
            throw PTPError::deviceBusy(transport::busyText);
        }
        throw PTPError::usb("open failed: " + error.localizedDescription() + " (0x" +
                            transport::hex32(low32(error.code())) + ")");
    }

    const auto& configuration = interface->configurationDescriptor();
    const auto& interfaceDescriptor = interface->interfaceDescriptor();
    std::optional<std::uint8_t> bulkIn;
    std::optional<std::uint8_t> bulkOut;
    std::optional<std::uint8_t> interruptIn;
    std::size_t packetSize = 512;
    std::optional<iousbhost::IOUSBEndpointDescriptor> endpoint;
    while (true) {
        auto next = iousbhost::IOUSBGetNextEndpointDescriptor(configuration, interfaceDescriptor,
                                                              endpoint ? &*endpoint : nullptr);
        if (!next) {
            break;
        }
        endpoint = next;
        const auto type = static_cast<usb::TransferType>(endpoint->bmAttributes & 0x03);
        const bool in = (endpoint->bEndpointAddress & 0x80) != 0;
        if (type == usb::TransferType::bulk && in) {
            bulkIn = endpoint->bEndpointAddress;
            packetSize = endpoint->wMaxPacketSize & 0x7FF;
        } else if (type == usb::TransferType::bulk) {
            bulkOut = endpoint->bEndpointAddress;
        } else if (type == usb::TransferType::interrupt && in) {
            interruptIn = endpoint->bEndpointAddress;
        }
    }
    if (!bulkIn || !bulkOut) {
        interface->destroy();
        throw PTPError::usb(transport::noBulkPairText);
    }
    Pipes pipes;
    try {
        pipes.bulkIn = interface->copyPipeWithAddress(*bulkIn);
        pipes.bulkOut = interface->copyPipeWithAddress(*bulkOut);
    } catch (const IOUSBHostError& error) {
        interface->destroy();
        throw PTPError::usb("pipe setup failed: " + error.localizedDescription());
    }
    if (interruptIn) {
        try {
            pipes.interrupt = interface->copyPipeWithAddress(*interruptIn);
        } catch (const IOUSBHostError&) {
            // The interrupt pipe carries only events, which the session does not read: it may be missing.
        }
    }
    return std::unique_ptr<IOUSBHostTransport>(new IOUSBHostTransport(
        descriptor, std::move(interface), std::move(pipes), std::max<std::size_t>(packetSize, 64)));
}

IOUSBHostTransport::IOUSBHostTransport(USBDeviceDescriptor descriptor,
                                       std::shared_ptr<iousbhost::IOUSBHostInterface> interface, Pipes pipes,
                                       std::size_t maxPacketSize)
    : m_descriptor(std::move(descriptor)), m_maxPacketSize(maxPacketSize), m_canceller(interface),
      m_interface(std::move(interface)), m_pipes(std::move(pipes)) {}

IOUSBHostTransport::~IOUSBHostTransport() {
    close();
}

void IOUSBHostTransport::fail(const IOUSBHostError& error, const char* operation) const {
    if (m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    throw convert(error, operation);
}

bool IOUSBHostTransport::isConnected() const {
    std::lock_guard lock(m_lock);
    return m_connected && m_interface && !m_closing.load();
}

void IOUSBHostTransport::write(std::span<const std::byte> data, Seconds timeout) {
    std::lock_guard lock(m_lock);
    if (!m_pipes.bulkOut || !m_connected || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    // The pipe takes a mutable buffer, as the framework's requests do; one is kept for every write.
    reserveAtLeast(m_writeBuffer, data.size());
    const std::span<std::byte> copy(m_writeBuffer.data(), data.size());
    std::copy(data.begin(), data.end(), copy.begin());
    std::size_t transferred = 0;
    try {
        transferred = m_pipes.bulkOut->sendIORequestWithData(copy, transport::requestSeconds(timeout));
    } catch (const IOUSBHostError& error) {
        if (!m_closing.load()) {
            try {
                m_pipes.bulkOut->clearStall();
            } catch (const IOUSBHostError&) {
                // Best effort: the write's own error is the one to report.
            }
        }
        fail(error, "write");
    }
    if (transferred != data.size()) {
        throw PTPError::usb("short write: " + std::to_string(transferred) + "/" +
                            std::to_string(data.size()));
    }
}

void IOUSBHostTransport::writeZeroLength(Seconds timeout) {
    std::lock_guard lock(m_lock);
    if (!m_pipes.bulkOut || !m_connected || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    try {
        m_pipes.bulkOut->sendIORequestWithData({}, transport::requestSeconds(timeout));
    } catch (const IOUSBHostError& error) {
        fail(error, "write ZLP");
    }
}

std::size_t IOUSBHostTransport::read(std::span<std::byte> buffer, Seconds timeout) {
    std::lock_guard lock(m_lock);
    if (!m_pipes.bulkIn || !m_connected || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    const std::size_t length =
        transport::readRequestLength(buffer.size(), m_maxPacketSize, std::numeric_limits<std::size_t>::max());
    std::size_t transferred = 0;
    try {
        transferred =
            m_pipes.bulkIn->sendIORequestWithData(buffer.first(length), transport::requestSeconds(timeout));
    } catch (const IOUSBHostError& error) {
        if (!m_closing.load()) {
            try {
                m_pipes.bulkIn->clearStall();
            } catch (const IOUSBHostError&) {
                // Best effort, as for a write.
            }
        }
        fail(error, "read");
    }
    return std::min(transferred, length);
}

std::size_t IOUSBHostTransport::classRequest(std::uint8_t requestType, std::uint8_t request,
                                             std::span<std::byte> data, const char* operation) {
    if (!m_interface || !m_connected || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    iousbhost::IOUSBDeviceRequest setup;
    setup.bmRequestType = requestType;
    setup.bRequest = request;
    setup.wValue = 0;
    setup.wIndex = m_descriptor.interfaceNumber;
    setup.wLength = static_cast<std::uint16_t>(data.size());
    try {
        return m_interface->sendDeviceRequest(setup, data, 5.0);
    } catch (const IOUSBHostError& error) {
        fail(error, operation);
    }
}

void IOUSBHostTransport::clearStallsLocked() {
    for (const auto& pipe : {m_pipes.bulkIn, m_pipes.bulkOut}) {
        if (pipe) {
            try {
                pipe->clearStall();
            } catch (const IOUSBHostError&) {
                // Best effort: a pipe that cannot be cleared fails its next transfer, which says why.
            }
        }
    }
}

void IOUSBHostTransport::resetDevice() {
    std::lock_guard lock(m_lock);
    classRequest(transport::classToInterface, transport::deviceResetRequest, {}, "device reset");
    clearStallsLocked();
}

void IOUSBHostTransport::cancelTransaction(std::uint32_t transactionID) {
    std::lock_guard lock(m_lock);
    auto data = transport::cancelData(transactionID);
    classRequest(transport::classToInterface, transport::cancelRequest, data, "cancel");
}

PTPDeviceStatus IOUSBHostTransport::deviceStatus() {
    std::lock_guard lock(m_lock);
    std::array<std::byte, transport::deviceStatusLength> stage{};
    const auto count =
        classRequest(transport::classFromInterface, transport::deviceStatusRequest, stage, "device status");
    return transport::parseDeviceStatus(std::span(stage).first(std::min(count, stage.size())));
}

void IOUSBHostTransport::clearStalls() {
    std::lock_guard lock(m_lock);
    if (!m_connected || m_closing.load()) {
        throw PTPError::usb(transport::closedText);
    }
    clearStallsLocked();
}

void IOUSBHostTransport::close() noexcept {
    // Destroying the interface ends a transfer that holds the lock at once and stops the interest
    // handler; it runs before the lock is taken, so a handler that asks isConnected() cannot deadlock.
    m_closing.store(true);
    if (m_canceller) {
        m_canceller->destroy();
    }
    std::lock_guard lock(m_lock);
    m_connected = false;
    m_interface.reset();
    m_pipes = {};
}

} // namespace corvane
