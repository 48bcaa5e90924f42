#pragma once

#include "platform/foundation/Clock.h"
#include "platform/usb/Subscribers.h"
#include "platform/usb/USBBus.h"
#include "simulation/SimulatedBusDevices.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace simulation {

/// An in-process USB bus: a registry of simulated devices and their interfaces, the pipes that connect
/// host transfers to each device's function, exclusive holders, configuration resets, notifications,
/// injected faults and a log of every request. Owns its devices' state and one worker thread that
/// delivers registry events and runs scheduled re-enumerations.
///
/// Every member may be called from any thread at any time. Waits (transfer time-outs, the delay before
/// interfaces come back after a configuration reset) run on the injected clock.
class SimulatedBus final : public usb::USBBus {
public:
    explicit SimulatedBus(platform::Clock& clock = platform::Clock::system());
    ~SimulatedBus() override;
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    // usb::USBBus
    std::vector<usb::RegistryEntry> matchingEntries(std::string_view className) override;
    std::optional<usb::RegistryEntry> entry(usb::RegistryEntryID id) override;
    std::vector<usb::RegistryEntry> children(usb::RegistryEntryID id) override;
    std::optional<usb::PropertyValue> property(usb::RegistryEntryID id, std::string_view key) override;
    Subscription subscribe(std::string_view className, Observer observer) override;
    void unsubscribe(usb::SubscriptionID id) noexcept override;
    usb::HandleID open(usb::RegistryEntryID id, usb::OpenMode mode) override;
    /// The same open made on behalf of another process, which the entry then names as its holder: how a
    /// bus shared by several processes opens for each of them.
    usb::HandleID open(usb::RegistryEntryID id, usb::OpenMode mode, usb::ProcessIdentity opener);
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

    // Devices.

    /// Publishes the device and its interfaces (device first) and attaches its function.
    PluggedDevice plug(DeviceSpec spec);
    /// Terminates the device's interfaces, then the device. Transfers on them end with noDevice at once.
    /// Unknown IDs are ignored.
    void unplug(usb::RegistryEntryID deviceID);
    /// Publishes one more interface on a plugged device (not part of its configuration: a reset drops it).
    usb::RegistryEntryID addInterface(usb::RegistryEntryID deviceID, InterfaceSpec spec);
    /// Terminates one interface. Unknown IDs are ignored.
    void removeInterface(usb::RegistryEntryID interfaceID);
    /// The device re-enumerates now: its current interfaces are terminated and its configuration's
    /// interfaces published again under new IDs, which it returns.
    std::vector<usb::RegistryEntryID> publishInterfaces(usb::RegistryEntryID deviceID);
    /// The device's interfaces as they are now, in registry order.
    std::vector<usb::RegistryEntryID> interfacesOf(usb::RegistryEntryID deviceID) const;
    void setProperty(usb::RegistryEntryID id, const std::string& key, usb::PropertyValue value);
    void removeProperty(usb::RegistryEntryID id, const std::string& key);

    // Holders.

    /// Who this process is on the bus (what peer credentials would tell), for opens made without naming
    /// their process; by default the real pid and program name.
    void setLocalProcess(usb::ProcessIdentity identity);
    usb::ProcessIdentity localProcess() const;
    /// Another process holds the entry open. Throws exclusiveAccess when this process holds it.
    void holdExclusively(usb::RegistryEntryID id, usb::ProcessIdentity holder,
                         HolderPolicy policy = HolderPolicy::yieldsToSeize);
    void releaseHold(usb::RegistryEntryID id);

    // Faults.

    /// While unavailable, every registry read and subscription fails with `unavailable`.
    void setRegistryAvailable(bool available);
    /// The next `count` opens of the entry fail with the status.
    void refuseOpens(usb::RegistryEntryID id, usb::Status status, std::size_t count = SIZE_MAX);
    /// The next `count` transfers on the endpoint (0: control requests) of the device, or of the device
    /// behind an interface ID, meet the fault.
    void injectTransferFault(usb::RegistryEntryID id, std::uint8_t endpoint, TransferFault fault,
                             std::size_t count = 1);

    // Observation.

    /// Every request so far, oldest first (the oldest are dropped beyond 100,000).
    std::vector<BusCall> callLog() const;
    void clearCallLog();
    /// Blocks (in real time, at most realLimit) until every registry event so far has been delivered to
    /// the subscribers. Returns false when the limit passed first.
    bool waitUntilIdle(std::chrono::milliseconds realLimit = std::chrono::seconds(20)) const;

private:
    class Link;

    // A published registry entry and who holds it.
    struct Entry {
        usb::RegistryEntry record; // "UsbExclusiveOwner" kept up to date inside it
        usb::RegistryEntryID deviceID = 0;
        bool isInterface = false;
        std::vector<usb::EndpointDescriptor> endpoints;
        std::optional<usb::ProcessIdentity> foreignHolder;
        HolderPolicy holderPolicy = HolderPolicy::yieldsToSeize;
        usb::HandleID holderHandle = 0; // the open through this bus that holds the entry, 0 for none
        std::size_t refusalsLeft = 0;
        usb::Status refusal = usb::Status::error;
    };

    // One endpoint of a device, with what is left of the IN transfer the function produced last.
    struct Pipe {
        usb::EndpointDescriptor descriptor;
        std::uint64_t serial = 0; // new for every pipe, so a transfer notices that its pipe was rebuilt
        bool halted = false;
        bool busy = false; // a host transfer runs on it; the next one waits
        std::uint64_t abortGeneration = 0;
        bool hasPending = false;
        std::vector<std::byte> pending;
        std::size_t offset = 0;
        bool zeroLengthPacketAfter = false;
    };

    struct Device {
        usb::RegistryEntryID id = 0;
        DeviceSpec spec;
        std::shared_ptr<std::mutex> functionMutex; // serialises calls into spec.function
        std::shared_ptr<Link> link;
        std::vector<usb::RegistryEntryID> interfaces;
        std::uint8_t configuration = 0;
        std::uint64_t configurationGeneration = 0;
        std::uint64_t wakeGeneration = 0;
        std::map<std::uint8_t, Pipe> pipes; // by endpoint address; 0 is the control pipe
        std::map<std::uint8_t, std::deque<std::pair<TransferFault, std::size_t>>> faults; // with counts left
    };

    struct Handle {
        usb::RegistryEntryID entryID = 0;
        usb::RegistryEntryID deviceID = 0;
        bool seized = false;                        // someone seized the entry: the handle is dead
        std::optional<usb::ProcessIdentity> opener; // nothing: this process (localProcess())
    };

    struct PendingEvent {
        std::uint64_t sequence = 0;
        usb::RegistryEvent event;
    };

    // What a running transfer needs to find its state again after it let go of m_mutex.
    struct Transfer {
        usb::HandleID handle = 0;
        usb::RegistryEntryID entryID = 0;
        usb::RegistryEntryID deviceID = 0;
        std::uint8_t endpoint = 0;
        std::uint64_t pipeSerial = 0;
        std::uint64_t abortGeneration = 0;
        std::size_t packetSize = 0; // never 0, so packet arithmetic cannot divide by it
        std::shared_ptr<usb::DeviceFunction> function;
        std::shared_ptr<std::mutex> functionMutex;
    };

    enum class PipeUse { readIn, writeOut, control };

    // Registry changes; all with m_mutex held.
    void publishLocked(Entry entry);
    void terminateLocked(usb::RegistryEntryID id);
    std::vector<usb::RegistryEntryID> publishInterfacesLocked(Device& device);
    usb::RegistryEntryID publishInterfaceLocked(Device& device, const InterfaceSpec& spec);
    void terminateInterfacesLocked(Device& device);
    void unplugLocked(usb::RegistryEntryID deviceID);
    void requireRegistryLocked(const char* request) const;
    Entry& entryLocked(usb::RegistryEntryID id, const char* request);
    void setOwnerLocked(Entry& entry);
    usb::HandleID openFor(usb::RegistryEntryID id, usb::OpenMode mode,
                          std::optional<usb::ProcessIdentity> opener);
    Device* deviceOfLocked(usb::RegistryEntryID id);
    std::uint8_t applyConfiguration(std::unique_lock<std::mutex>& lock, usb::HandleID handle,
                                    std::uint8_t value, const char* request);

    // Transfers (SimulatedBusTransfers.cpp); entered and left with m_mutex held.
    Transfer beginTransfer(std::unique_lock<std::mutex>& lock, usb::HandleID handle, std::uint8_t endpoint,
                           PipeUse use, platform::Clock::TimePoint deadline, const char* request);
    void finishTransfer(const Transfer& transfer) noexcept;
    /// The handle's open; throws notOpen when it was never made or has been closed, and noDevice when
    /// someone seized its entry, which ends its holder's claim as an unplug would.
    const Handle& openHandleLocked(usb::HandleID handle, const char* request) const;
    Pipe* pipeLocked(const Transfer& transfer);
    std::optional<usb::Status> transferEndLocked(const Transfer& transfer, bool started);
    void checkTransferLocked(const Transfer& transfer, const char* request);
    std::optional<TransferFault> takeFaultLocked(const Transfer& transfer);
    void applyFault(std::unique_lock<std::mutex>& lock, const Transfer& transfer, const TransferFault& fault,
                    platform::Clock::TimePoint deadline, const char* request);
    void waitForChange(std::unique_lock<std::mutex>& lock, const Transfer& transfer,
                       std::uint64_t wakeGeneration, platform::Clock::TimePoint deadline,
                       const char* request);
    [[noreturn]] void disconnectFromFunction(const Transfer& transfer, const char* request);
    std::uint64_t wakeGenerationLocked(const Transfer& transfer);
    void clearHalt(std::unique_lock<std::mutex>& lock, usb::HandleID handle, std::uint8_t endpoint,
                   const char* request);
    /// Runs a request on an open handle under m_mutex and logs it against the handle's entry: "ok", or
    /// the failure, which it rethrows.
    void runLoggedOnHandle(const char* request, usb::HandleID handle, const std::string& detail,
                           const std::function<void(std::unique_lock<std::mutex>&)>& body);
    platform::Clock::TimePoint deadlineFor(usb::Timeout timeout) const;
    void wakeDevice(usb::RegistryEntryID deviceID);

    // Worker thread and log.
    void runWorker(std::stop_token stop);
    void log(std::string operation, usb::RegistryEntryID id, std::string detail, std::string outcome) const;

    platform::Clock& m_clock;

    mutable std::mutex m_mutex; // guards everything below up to m_logMutex; taken after a Link's and
                                // a device's function mutex, before m_logMutex; never held across a
                                // call into a device function or an observer
    mutable std::condition_variable_any m_changed; // transfers wait on it: wake-ups, closes, unplugs
    std::condition_variable_any m_workerWake;      // the worker waits on it: events and scheduled work
    mutable std::condition_variable_any m_idle;    // waitUntilIdle waits on it
    usb::RegistryEntryID m_nextID = 0x100000500;
    usb::HandleID m_nextHandle = 1;
    usb::SubscriptionID m_nextSubscription = 1;
    std::uint32_t m_nextLocation = 0x14100000;
    std::uint64_t m_eventSequence = 0;
    std::uint64_t m_nextPipeSerial = 1;
    bool m_registryAvailable = true;
    usb::ProcessIdentity m_localProcess;
    std::map<usb::RegistryEntryID, Entry> m_entries; // in registry order: IDs only grow
    std::map<usb::RegistryEntryID, Device> m_devices;
    std::map<usb::HandleID, Handle> m_handles;
    usb::Subscribers m_subscribers;
    std::deque<PendingEvent> m_events;
    std::size_t m_delivering = 0;
    std::multimap<platform::Clock::TimePoint, std::pair<usb::RegistryEntryID, std::uint64_t>> m_scheduled;
    std::set<std::shared_ptr<Link>> m_links;
    std::thread::id m_workerThread;

    mutable std::mutex m_logMutex; // guards m_log only; taken last
    mutable std::deque<BusCall> m_log;

    std::jthread m_worker; // last: starts after, and stops before, everything above
};

} // namespace simulation
