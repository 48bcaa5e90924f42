#pragma once

#include "Corvane/usb/PTPTransport.h"
#include "Corvane/usb/TakeOver.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "platform/foundation/Clock.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/IOUSBLib.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace corvane {

/// The default USB transport: drives one MTP interface through the IOKit USB interface plug-in, and is the
/// only transport that can take an interface over from the process that holds it. Owns the opened
/// interface and closes and releases it once, at close() or destruction.
///
/// Threads. One lock serialises every transfer, the reset, close() and isConnected(), so transfers never
/// overlap; the session is the only regular caller. close() may come from any thread: it first ends a
/// transfer in progress (which then fails with "transport closed") and so returns without waiting out
/// that transfer's time-out.
class IOUSBLibTransport final : public PTPTransport {
public:
    /// Opens the interface the descriptor names, taking it over when allowed, and finds its bulk pipes.
    /// The take-over's waits run on `clock`. Throws PTPError: deviceNotFound for an unknown interface,
    /// deviceBusy when another process holds it and no take-over is allowed or possible, usb otherwise.
    /// Blocks: a take-over takes up to 24 s.
    static std::unique_ptr<IOUSBLibTransport> open(const USBDeviceDescriptor& descriptor,
                                                   TakeOver takeOver = TakeOver::never,
                                                   platform::Clock& clock = platform::Clock::system(),
                                                   const iokit::MainPort& port = iokit::kIOMainPortDefault);
    /// Runs close().
    ~IOUSBLibTransport() override;
    IOUSBLibTransport(const IOUSBLibTransport&) = delete;
    IOUSBLibTransport& operator=(const IOUSBLibTransport&) = delete;

    const USBDeviceDescriptor& descriptor() const noexcept { return m_descriptor; }

    // PTPTransport. Time-outs are whole milliseconds on the bus, clamped to 1 .. 2^32-1 ms.
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
    IOUSBLibTransport(USBDeviceDescriptor descriptor, iokit::IOUSBInterfaceRef interface, std::uint8_t pipeIn,
                      std::uint8_t pipeOut, std::size_t maxPacketSize);

    // Checks, under the held lock, that the transport is open; throws "transport closed" when not.
    void requireOpen() const;
    // One class request to the interface on the control pipe, under the held lock; returns the bytes of
    // the data stage that moved. Throws the converted error under the operation's name.
    std::uint32_t classRequest(std::uint8_t requestType, std::uint8_t request, std::span<std::byte> data,
                               const char* operation);
    // Throws the error for a failed call: "transport closed" when close() cut it short.
    [[noreturn]] void fail(iokit::IOReturn code, const char* operation) const;

    const USBDeviceDescriptor m_descriptor;
    const std::size_t m_maxPacketSize;
    const std::uint8_t m_pipeIn;
    const std::uint8_t m_pipeOut;
    // A second reference to the interface, fixed at creation: close() ends a transfer in progress
    // through it without taking the lock that the transfer holds.
    const iokit::IOUSBInterfaceRef m_canceller;
    std::atomic<bool> m_closing{false};

    mutable std::mutex m_lock; // guards m_interface, m_connected; held for each whole transfer, reset,
                               // close and isConnected
    iokit::IOUSBInterfaceRef m_interface;
    bool m_connected = true;
};

} // namespace corvane
