#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/usb/Subscribers.h"
#include "platform/usb/USBBus.h"
#include "platform/usbfs/HolderRelease.h"
#include "platform/usbfs/ProcessTable.h"
#include "platform/usbfs/SysfsTree.h"
#include "platform/usbfs/UsbfsDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace usbfs {

/// Where a LinuxBus finds the kernel's USB stack, and whom it asks to let go of a device. The defaults
/// are the real ones; tests hand in trees and sockets of their own.
struct LinuxBusOptions {
    std::filesystem::path sysfsRoot = "/sys/bus/usb/devices";
    std::filesystem::path deviceRoot = "/dev/bus/usb";
    std::filesystem::path procRoot = "/proc";
    /// A process's command name; by default the real one.
    ProcessTable::NameOf nameOf;
    /// Where hot-plug events come from, one uevent per datagram; by default the kernel's uevent socket.
    platform::UniqueFd uevents;
    /// Asked before an interface is taken from another program; by default GVfs. Null asks nobody.
    std::shared_ptr<HolderRelease> holderRelease = gvfsHolderRelease();
    /// How long a holder that agreed to let go is given to do so before the interface is taken anyway.
    std::chrono::milliseconds releaseWait = std::chrono::seconds(5);
    platform::Clock* clock = &platform::Clock::system();
};

/// The USB bus of the Linux kernel: the registry is read from sysfs and kept current by the kernel's
/// uevents (no udevd needed), opens are interface claims through usbfs, transfers are asynchronous URBs.
///
/// Registry entries keep their ID while the kernel keeps the device's (or interface's) sysfs folder;
/// an unplug and plug, or a configuration change, gives new IDs. Devices hang under the registry root and
/// interfaces under their device. A device open takes no claim: Linux has no exclusive open of a whole
/// device, so two programs may both open one. An interface open claims the interface: it fails with
/// exclusiveAccess while a kernel driver or another program (or another open in this process) holds it,
/// and "UsbExclusiveOwner" names the holder ("pid 123, gvfsd-mtp"; "pid 0, kernel driver usb-storage").
///
/// Seizing, which only a caller with the user's take-over choice asks for, first asks the holder to let
/// go politely (HolderRelease) and then takes the interface with USBDEVFS_DISCONNECT_CLAIM, which drops
/// the other program's claim and cancels its transfers on it. A seized device keeps every interface of
/// the device, and those a configuration change re-creates, reserved for this process until an interface
/// open of this process takes them or the device open ends.
///
/// Owns a monitor thread that reads the uevents and delivers registry events, and one usbfs node per
/// device with opens. Every member may be called from any thread.
class LinuxBus final : public usb::USBBus {
public:
    /// Reads the registry and starts listening to the kernel. Throws usb::USBError (unavailable) when the
    /// uevent socket cannot be opened.
    static std::shared_ptr<LinuxBus> create(LinuxBusOptions options = {});
    ~LinuxBus() override;
    LinuxBus(const LinuxBus&) = delete;
    LinuxBus& operator=(const LinuxBus&) = delete;

    // usb::USBBus
    std::vector<usb::RegistryEntry> matchingEntries(std::string_view className) override;
    std::optional<usb::RegistryEntry> entry(usb::RegistryEntryID id) override;
    std::vector<usb::RegistryEntry> children(usb::RegistryEntryID id) override;
    std::optional<usb::PropertyValue> property(usb::RegistryEntryID id, std::string_view key) override;
    Subscription subscribe(std::string_view className, Observer observer) override;
    void unsubscribe(usb::SubscriptionID id) noexcept override;
    usb::HandleID open(usb::RegistryEntryID id, usb::OpenMode mode) override;
    void close(usb::HandleID handle) noexcept override;
    std::vector<usb::EndpointDescriptor> endpoints(usb::RegistryEntryID interfaceID) override;
    using USBBus::readPipe;
    std::size_t readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                         usb::Timeout timeout) override;
    std::size_t writePipe(usb::HandleID handle, std::uint8_t endpoint, std::span<const std::byte> data,
                          usb::Timeout timeout) override;
    std::vector<std::byte> controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                          std::span<const std::byte> data, usb::Timeout timeout) override;
    void clearStall(usb::HandleID handle, std::uint8_t endpoint) override;
    void abortPipe(usb::HandleID handle, std::uint8_t endpoint) override;
    std::uint8_t configuration(usb::HandleID device) override;
    void setConfiguration(usb::HandleID device, std::uint8_t value) override;

    /// The usbfs node of a device entry ("/dev/bus/usb/001/004"); nothing for other entries.
    std::optional<std::filesystem::path> deviceNode(usb::RegistryEntryID deviceID) const;
    /// Blocks (in real time, at most realLimit) until every uevent received so far has been acted on and
    /// every registry event delivered. False when the limit passed first. For tests.
    bool waitUntilIdle(std::chrono::milliseconds realLimit = std::chrono::seconds(20));

private:
    struct Entry {
        usb::RegistryEntry record;
        SysfsEntry source;
    };
    // A device's usbfs node, shared by every open of the device and of its interfaces.
    struct Connection {
        std::shared_ptr<UsbfsDevice> device;
        std::size_t opens = 0;
    };
    struct Handle {
        usb::RegistryEntryID entryID = 0;
        usb::RegistryEntryID deviceID = 0;
        std::string deviceName;
        std::optional<std::uint8_t> interfaceNumber; // set for interface opens
        std::vector<usb::EndpointDescriptor> endpoints;
        std::shared_ptr<UsbfsDevice> device;
        bool seizing = false; // a device open that seized: it reserves the device's interfaces
        bool seized = false;  // another open of this process seized the interface: this one is dead
    };
    // Who in this process holds an interface number of a device: an interface open, or a seizing
    // device open that reserves it.
    struct Claim {
        usb::HandleID holder = 0;
        bool reserved = false;
    };
    struct PendingEvent {
        std::uint64_t sequence = 0;
        usb::RegistryEvent event;
    };

    explicit LinuxBus(LinuxBusOptions options, platform::UniqueFd uevents, platform::UniqueFd wake);

    // Registry (LinuxBus.cpp); the Locked ones with m_mutex held.
    void refreshLocked();
    usb::RegistryEntry recordLocked(const Entry& entry) const;
    std::optional<std::string> ownerLocked(const Entry& entry) const;
    const Entry& entryLocked(usb::RegistryEntryID id, const char* request) const;
    std::filesystem::path nodeOf(const SysfsEntry& device) const;
    void monitor(std::stop_token stop);
    void wakeMonitor() noexcept;

    // Opens and transfers (LinuxBusPipes.cpp).
    std::shared_ptr<UsbfsDevice> connectLocked(const Entry& device);
    void releaseConnectionLocked(usb::RegistryEntryID deviceID) noexcept;
    usb::HandleID openDevice(const Entry& device, usb::OpenMode mode, std::unique_lock<std::mutex>& lock);
    usb::HandleID openInterface(const Entry& interface, usb::OpenMode mode,
                                std::unique_lock<std::mutex>& lock);
    void askHoldersToLetGo(const std::vector<std::string>& interfaceNames, const std::filesystem::path& node);
    void reserveInterfacesLocked(Handle& device, usb::HandleID handle);
    void dropClaimsLocked(usb::HandleID handle);
    Handle& handleLocked(usb::HandleID handle, const char* request);
    std::pair<std::shared_ptr<UsbfsDevice>, UsbfsDevice::TransferType>
    pipeFor(usb::HandleID handle, std::uint8_t endpoint, bool in, const char* request);

    const LinuxBusOptions m_options;
    platform::Clock& m_clock;
    const SysfsTree m_sysfs;
    const ProcessTable m_processes;
    const usb::ProcessIdentity m_self;
    const platform::UniqueFd m_uevents;
    const platform::UniqueFd m_wake; // an eventfd that ends the monitor's poll

    mutable std::mutex m_mutex; // guards everything below; never held across an observer, a transfer or
                                // a request to another program
    std::condition_variable_any m_idle;
    usb::RegistryEntryID m_nextID = 0x100000000;
    usb::HandleID m_nextHandle = 1;
    usb::SubscriptionID m_nextSubscription = 1;
    std::map<usb::RegistryEntryID, Entry> m_entries; // in registry order: IDs only grow
    std::map<std::pair<std::string, std::uint64_t>, usb::RegistryEntryID> m_ids; // by (name, identity)
    std::map<usb::RegistryEntryID, Connection> m_connections;                    // by device ID
    std::map<usb::HandleID, Handle> m_handles;
    std::map<std::pair<usb::RegistryEntryID, std::uint8_t>, Claim> m_claims; // by (device ID, interface)
    usb::Subscribers m_subscribers;
    std::deque<PendingEvent> m_events;
    std::uint64_t m_eventSequence = 0;
    bool m_busy = false; // the monitor is acting on uevents or delivering events

    std::jthread m_monitor; // last: started after, and stopped before, everything above
};

} // namespace usbfs
