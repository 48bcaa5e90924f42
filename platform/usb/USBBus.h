#pragma once

#include "platform/usb/Endpoint.h"
#include "platform/usb/RegistryEntry.h"
#include "platform/usb/USBError.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace usb {

/// A transfer's time-out on the bus's clock. noTimeout waits until the transfer ends some other way.
using Timeout = std::chrono::milliseconds;
inline constexpr Timeout noTimeout = Timeout::max();

/// An open of a registry entry, as the bus hands it out: an opaque token, never a pointer.
using HandleID = std::uint64_t;
using SubscriptionID = std::uint64_t;

enum class OpenMode {
    exclusive, // fails with exclusiveAccess while anyone else holds the entry
    seize,     // takes the entry from its holder, who loses it (unless the holder refuses)
};

/// The one USB bus interface under the IOKit and IOUSBHost layers.
///
/// Every request is shaped as a message: it names registry entries by ID and opens by handle, and it
/// returns self-contained values, so the same interface fits the in-process simulated bus, a bus in
/// another process reached over sockets, and a Linux usbfs backend. The bus learns who opens an entry
/// from the connection itself (peer credentials), never from an argument, and publishes the holder in
/// the entry's "UsbExclusiveOwner" property ("pid 123, name").
///
/// Every call may come from any thread. Failures throw USBError. Blocking calls (transfers) end at their
/// time-out, or at once when their handle is closed or their device goes away.
class USBBus {
public:
    virtual ~USBBus() = default;

    // Registry. Entries come in registry order: the order in which they were published.

    /// Every entry of the class (exact class name). Throws `unavailable` when the registry cannot be
    /// queried.
    virtual std::vector<RegistryEntry> matchingEntries(std::string_view className) = 0;
    /// The entry with the ID, or nothing when there is none (any more).
    virtual std::optional<RegistryEntry> entry(RegistryEntryID id) = 0;
    /// The entry's children in the service plane. Throws `notFound` when the entry is gone.
    virtual std::vector<RegistryEntry> children(RegistryEntryID id) = 0;
    /// One property, read live; nothing when the entry has no such property. Throws `notFound` when the
    /// entry is gone.
    virtual std::optional<PropertyValue> property(RegistryEntryID id, std::string_view key) = 0;

    /// Subscribes to publications and terminations of entries of the class. Atomically with the
    /// subscription, it returns the entries that exist now, so every entry is either in that list or
    /// reported later, never both and never neither. Events come in registry order, on a thread of the
    /// bus, one at a time; the observer must not block for long. It may unsubscribe itself.
    struct Subscription {
        SubscriptionID id = 0;
        std::vector<RegistryEntry> existing;
    };
    using Observer = std::function<void(const RegistryEvent&)>;
    virtual Subscription subscribe(std::string_view className, Observer observer) = 0;
    /// After it returns, the observer is not running and is never called again. Unknown IDs are ignored.
    virtual void unsubscribe(SubscriptionID id) noexcept = 0;

    // Opening. A device (IOUSBHostDevice) or an interface (IOUSBHostInterface) entry is opened on its own;
    // opening a device does not hold its interfaces and the other way round.

    /// Throws exclusiveAccess when held (exclusive mode) or when the holder refuses a seize; notFound
    /// for an unknown entry; notPermitted or another status when the bus refuses the open.
    virtual HandleID open(RegistryEntryID id, OpenMode mode) = 0;
    /// Ends the open; transfers still running on it end with `aborted`. Unknown handles are ignored.
    virtual void close(HandleID handle) noexcept = 0;

    // Endpoints and transfers, on an open interface. Endpoints are named by bEndpointAddress.

    /// The interface's endpoint descriptors in their declared order. Throws notFound when it is gone.
    virtual std::vector<EndpointDescriptor> endpoints(RegistryEntryID interfaceID) = 0;

    /// One host read on a bulk-IN or interrupt-IN endpoint into the caller's buffer: at most
    /// buffer.size() bytes, ending at a short packet, a zero-length packet or a full buffer (see
    /// InTransfer). Returns the number of bytes read. An empty buffer reads a ZLP. A packet larger than
    /// the room left fails with `overrun`. The bytes land where the caller wants them, so a 1 MiB read
    /// is neither allocated nor copied on its way up.
    virtual std::size_t readPipe(HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                                 Timeout timeout) = 0;
    /// The same read into a new vector of at most maxLength bytes, for callers that want the bytes.
    std::vector<std::byte> readPipe(HandleID handle, std::uint8_t endpoint, std::size_t maxLength,
                                    Timeout timeout);
    /// One host write on a bulk-OUT endpoint; an empty span sends a zero-length packet. Returns the
    /// number of bytes the device took.
    virtual std::size_t writePipe(HandleID handle, std::uint8_t endpoint, std::span<const std::byte> data,
                                  Timeout timeout) = 0;
    /// A request on the default control pipe of the device behind the handle (device or interface).
    /// Returns the data stage of a device-to-host request (at most setup.length bytes).
    virtual std::vector<std::byte> controlRequest(HandleID handle, const ControlSetup& setup,
                                                  std::span<const std::byte> data, Timeout timeout) = 0;
    /// Clears a halt on both ends: the host side and, with Clear Feature, the device's endpoint.
    virtual void clearStall(HandleID handle, std::uint8_t endpoint) = 0;
    /// Ends the transfers running on the endpoint with `aborted`.
    virtual void abortPipe(HandleID handle, std::uint8_t endpoint) = 0;

    // Configuration, on an open device.

    /// The current configuration value; 0 when the device is deconfigured.
    virtual std::uint8_t configuration(HandleID device) = 0;
    /// Sets the configuration. Every interface of the old configuration is terminated at once; the
    /// interfaces of a non-zero configuration are published again, under new registry IDs, when the
    /// device has re-enumerated them (which takes the device a moment).
    virtual void setConfiguration(HandleID device, std::uint8_t value) = 0;
};

/// The bus that platform code uses when it is not told otherwise (IOKit's default main port, the
/// IOUSBHost objects). Programs and tests set it; empty until then, and then every call through the
/// default reports that the registry cannot be queried.
std::shared_ptr<USBBus> defaultBus();
void setDefaultBus(std::shared_ptr<USBBus> bus);

/// Sets the default bus for a scope and restores the previous one at its end.
class ScopedDefaultBus {
public:
    explicit ScopedDefaultBus(std::shared_ptr<USBBus> bus);
    ~ScopedDefaultBus();
    ScopedDefaultBus(const ScopedDefaultBus&) = delete;
    ScopedDefaultBus& operator=(const ScopedDefaultBus&) = delete;

private:
    std::shared_ptr<USBBus> m_previous;
};

} // namespace usb
