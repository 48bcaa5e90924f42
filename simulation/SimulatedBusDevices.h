#pragma once

#include "platform/foundation/Clock.h"
#include "platform/usb/DeviceFunction.h"
#include "platform/usb/Endpoint.h"
#include "platform/usb/RegistryEntry.h"
#include "platform/usb/USBError.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simulation {

/// One interface of a simulated device: the registry properties it publishes and its endpoints.
struct InterfaceSpec {
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::optional<std::string> name;      // "USB Interface Name"; absent when empty
    std::optional<std::string> usbString; // "kUSBString"; absent when empty
    std::vector<usb::EndpointDescriptor> endpoints;
    usb::Properties extraProperties;            // added last, replacing any property above
    std::vector<std::string> omittedProperties; // keys left out of the published entry

    /// The still-image class with the PTP protocol (6/1/1): bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83.
    static InterfaceSpec stillImage(std::uint8_t number = 0, std::uint16_t packetSize = 512);
    /// A vendor-specific interface (255/255/0) named "MTP", with the same endpoints.
    static InterfaceSpec vendorMTP(std::uint8_t number = 0, std::uint16_t packetSize = 512);
    /// An Android debugging interface (255/66/1) with its own bulk pair (0x84, 0x05).
    static InterfaceSpec adb(std::uint8_t number = 1, std::uint16_t packetSize = 512);
};

/// A simulated USB device: its registry properties, its interfaces and the function behind its pipes.
struct DeviceSpec {
    std::uint16_t vendorID = 0;
    std::uint16_t productID = 0;
    std::optional<std::string> vendorName;   // "USB Vendor Name"
    std::optional<std::string> productName;  // "USB Product Name"
    std::optional<std::string> serialNumber; // "USB Serial Number"
    std::uint32_t locationID = 0;            // 0: the bus picks a free one
    std::uint8_t configuration = 1;          // bConfigurationValue of the one configuration
    std::vector<InterfaceSpec> interfaces;
    usb::Properties extraProperties;
    std::vector<std::string> omittedProperties;
    /// After a non-zero configuration is set, the interfaces come back (under new IDs) this long later on
    /// the bus's clock. Nothing: they come back only when the test calls SimulatedBus::publishInterfaces.
    std::optional<platform::Clock::Duration> republishDelay = std::chrono::milliseconds(500);
    /// Serves the pipes; without one, every transfer waits until its time-out and control requests stall.
    std::shared_ptr<usb::DeviceFunction> function;
};

/// The IDs a plugged device got.
struct PluggedDevice {
    usb::RegistryEntryID deviceID = 0;
    std::vector<usb::RegistryEntryID> interfaceIDs;
};

/// Whether a simulated foreign holder gives the entry up when someone seizes it.
enum class HolderPolicy { yieldsToSeize, refusesSeize };

/// A fault the bus injects into the next transfers on one endpoint of a device (0 for the control pipe),
/// before the device function sees them.
struct TransferFault {
    enum class Kind {
        timeout,    // nothing happens until the transfer's time-out
        stall,      // the endpoint halts (the control pipe only fails the request)
        disconnect, // the device leaves the bus
        fail,       // the transfer fails with `status`
        shortWrite, // a write reports only `bytes` transferred, and the function gets only those
    };
    Kind kind = Kind::timeout;
    usb::Status status = usb::Status::error;
    std::size_t bytes = 0;

    static TransferFault timeout() { return {Kind::timeout, usb::Status::timeout, 0}; }
    static TransferFault stall() { return {Kind::stall, usb::Status::stalled, 0}; }
    static TransferFault disconnect() { return {Kind::disconnect, usb::Status::noDevice, 0}; }
    static TransferFault fail(usb::Status status) { return {Kind::fail, status, 0}; }
    static TransferFault shortWrite(std::size_t bytes) {
        return {Kind::shortWrite, usb::Status::error, bytes};
    }
};

/// One request that reached the bus, as the call log records it.
struct BusCall {
    std::string operation;            // the USBBus call: "open", "readPipe", "controlRequest"...
    usb::RegistryEntryID entryID = 0; // the entry it concerned, 0 for none
    std::string detail;               // its arguments: "ep=0x81 length=512 timeout=5000ms"
    std::string outcome;              // "ok", "24 bytes", or the failure's status name

    /// "readPipe 0x100000501 ep=0x81 length=512 timeout=5000ms -> 24 bytes"
    std::string text() const;
};

} // namespace simulation
