#pragma once

#include "Corvane/usb/PTPTransport.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iousbhost/IOUSBHostError.h"
#include "platform/iousbhost/IOUSBHostInterface.h"
#include "platform/iousbhost/IOUSBHostPipe.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace corvane {

/// The second USB transport: drives one MTP interface through IOUSBHost interface and pipe objects. It
/// cannot take an interface over, and it is the one that reports the device's removal through a callback.
/// Owns the interface and its pipes until close() or destruction.
///
/// Threads. One lock serialises every transfer, the reset, close() and isConnected(). close() may come
/// from any thread and ends a transfer in progress first. onDisconnect runs on the interface's own
/// queue, never under the lock; it must be safe to call from any thread and must not wait for this
/// transport to close.
class IOUSBHostTransport final : public PTPTransport {
public:
    /// Opens the interface the descriptor names and copies its bulk pipes (and its interrupt pipe when it
    /// has one). onDisconnect, when given, is called once for each termination of the interface's
    /// service, until the transport is closed. Throws PTPError: deviceNotFound, deviceBusy when another
    /// process holds the interface, usb otherwise.
    static std::unique_ptr<IOUSBHostTransport> open(const USBDeviceDescriptor& descriptor,
                                                    std::function<void()> onDisconnect = {},
                                                    const iokit::MainPort& port = iokit::kIOMainPortDefault);
    /// Runs close().
    ~IOUSBHostTransport() override;
    IOUSBHostTransport(const IOUSBHostTransport&) = delete;
    IOUSBHostTransport& operator=(const IOUSBHostTransport&) = delete;

    const USBDeviceDescriptor& descriptor() const noexcept { return m_descriptor; }

    // PTPTransport. Time-outs go to the pipes in seconds, at least 1 ms.
    std::size_t maxPacketSize() const override { return m_maxPacketSize; }
    bool isConnected() const override;
    void write(std::span<const std::byte> data, Seconds timeout) override;
    void writeZeroLength(Seconds timeout) override;
    using PTPTransport::read;
    std::size_t read(std::span<std::byte> buffer, Seconds timeout) override;
    void resetDevice() override;
    void cancelTransaction(std::uint32_t transactionID) override;
    PTPDeviceStatus deviceStatus() override;
    void clearStalls() override;
    void close() noexcept override;

private:
    struct Pipes {
        std::shared_ptr<iousbhost::IOUSBHostPipe> bulkIn;
        std::shared_ptr<iousbhost::IOUSBHostPipe> bulkOut;
        std::shared_ptr<iousbhost::IOUSBHostPipe> interrupt;
    };

    IOUSBHostTransport(USBDeviceDescriptor descriptor,
                       std::shared_ptr<iousbhost::IOUSBHostInterface> interface, Pipes pipes,
                       std::size_t maxPacketSize);

    // One class request to the interface, under the held lock; returns the bytes of the data stage that
    // moved. Throws the converted error under the operation's name.
    std::size_t classRequest(std::uint8_t requestType, std::uint8_t request, std::span<std::byte> data,
                             const char* operation);
    // Clears both bulk pipes, best effort, under the held lock.
    void clearStallsLocked();
    // Throws the error for a failed request: "transport closed" when close() cut it short.
    [[noreturn]] void fail(const iousbhost::IOUSBHostError& error, const char* operation) const;

    const USBDeviceDescriptor m_descriptor;
    const std::size_t m_maxPacketSize;
    // The interface again, fixed at creation: close() destroys it without the lock that a transfer holds.
    const std::shared_ptr<iousbhost::IOUSBHostInterface> m_canceller;
    std::atomic<bool> m_closing{false};

    mutable std::mutex m_lock; // guards the fields below; held for each whole transfer, reset, close and
                               // isConnected
    std::shared_ptr<iousbhost::IOUSBHostInterface> m_interface;
    Pipes m_pipes;
    bool m_connected = true;
    std::vector<std::byte> m_writeBuffer; // the mutable copy a write hands the pipe, kept between writes
};

} // namespace corvane
