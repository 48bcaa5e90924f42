#include "simulation/SimulatedBus.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <unistd.h>
#include <utility>

namespace simulation {

namespace {

constexpr std::size_t logLimit = 100'000;

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

usb::ProcessIdentity thisProcess() {
    return {static_cast<std::int32_t>(::getpid()), program_invocation_short_name};
}

void applyOverrides(usb::Properties& properties, const usb::Properties& extra,
                    const std::vector<std::string>& omitted) {
    for (const auto& [key, value] : extra) {
        properties.insert_or_assign(key, value);
    }
    for (const auto& key : omitted) {
        properties.erase(key);
    }
}

usb::Properties deviceProperties(const DeviceSpec& spec) {
    usb::Properties properties{
        {"idVendor", std::int64_t{spec.vendorID}},
        {"idProduct", std::int64_t{spec.productID}},
        {"locationID", std::int64_t{spec.locationID}},
        {"bNumConfigurations", std::int64_t{1}},
    };
    if (spec.vendorName) {
        properties.emplace("USB Vendor Name", *spec.vendorName);
    }
    if (spec.productName) {
        properties.emplace("USB Product Name", *spec.productName);
    }
    if (spec.serialNumber) {
        properties.emplace("USB Serial Number", *spec.serialNumber);
    }
    applyOverrides(properties, spec.extraProperties, spec.omittedProperties);
    return properties;
}

usb::Properties interfaceProperties(const DeviceSpec& device, const InterfaceSpec& spec) {
    usb::Properties properties{
        {"bInterfaceClass", std::int64_t{spec.interfaceClass}},
        {"bInterfaceSubClass", std::int64_t{spec.interfaceSubClass}},
        {"bInterfaceProtocol", std::int64_t{spec.interfaceProtocol}},
        {"bInterfaceNumber", std::int64_t{spec.number}},
        {"bAlternateSetting", std::int64_t{0}},
        {"bConfigurationValue", std::int64_t{device.configuration}},
        {"bNumEndpoints", static_cast<std::int64_t>(spec.endpoints.size())},
        {"idVendor", std::int64_t{device.vendorID}},
        {"idProduct", std::int64_t{device.productID}},
        {"locationID", std::int64_t{device.locationID}},
    };
    if (spec.name) {
        properties.emplace("USB Interface Name", *spec.name);
    }
    if (spec.usbString) {
        properties.emplace("kUSBString", *spec.usbString);
    }
    applyOverrides(properties, spec.extraProperties, spec.omittedProperties);
    return properties;
}

std::vector<usb::EndpointDescriptor> imagingEndpoints(std::uint16_t packetSize) {
    return {usb::EndpointDescriptor::bulkIn(1, packetSize), usb::EndpointDescriptor::bulkOut(2, packetSize),
            usb::EndpointDescriptor::interruptIn(3, 64, 6)};
}

} // namespace

// --- Specs and log records ---------------------------------------------------------------------------

InterfaceSpec InterfaceSpec::stillImage(std::uint8_t number, std::uint16_t packetSize) {
    InterfaceSpec spec;
    spec.number = number;
    spec.interfaceClass = 6;
    spec.interfaceSubClass = 1;
    spec.interfaceProtocol = 1;
    spec.endpoints = imagingEndpoints(packetSize);
    return spec;
}

InterfaceSpec InterfaceSpec::vendorMTP(std::uint8_t number, std::uint16_t packetSize) {
    InterfaceSpec spec;
    spec.number = number;
    spec.interfaceClass = 255;
    spec.interfaceSubClass = 255;
    spec.interfaceProtocol = 0;
    spec.name = "MTP";
    spec.endpoints = imagingEndpoints(packetSize);
    return spec;
}

InterfaceSpec InterfaceSpec::adb(std::uint8_t number, std::uint16_t packetSize) {
    InterfaceSpec spec;
    spec.number = number;
    spec.interfaceClass = 255;
    spec.interfaceSubClass = 66;
    spec.interfaceProtocol = 1;
    spec.name = "ADB Interface";
    spec.endpoints = {usb::EndpointDescriptor::bulkIn(4, packetSize),
                      usb::EndpointDescriptor::bulkOut(5, packetSize)};
    return spec;
}

std::string BusCall::text() const {
    std::string text = operation;
    if (entryID != 0) {
        text += " " + hex(entryID);
    }
    if (!detail.empty()) {
        text += " " + detail;
    }
    return text + " -> " + outcome;
}

// --- Link --------------------------------------------------------------------------------------------

// The function's way back to the bus. It outlives the device, and the bus detaches it on destruction, so
// a function thread that calls it late reaches nothing rather than freed memory.
class SimulatedBus::Link final : public usb::FunctionLink {
public:
    Link(SimulatedBus* bus, usb::RegistryEntryID deviceID) : m_bus(bus), m_deviceID(deviceID) {}

    void dataReady() override {
        std::lock_guard guard(m_mutex);
        if (m_bus != nullptr && m_attached) {
            m_bus->wakeDevice(m_deviceID);
        }
    }

    void disconnect() override {
        std::lock_guard guard(m_mutex);
        if (m_bus != nullptr && m_attached) {
            m_bus->unplug(m_deviceID);
        }
    }

    bool isAttached() const override { return m_attached; }
    void markDetached() { m_attached = false; }

    void detachFromBus() {
        std::lock_guard guard(m_mutex);
        m_bus = nullptr;
    }

private:
    std::mutex m_mutex; // guards m_bus; held across the call into the bus, so the bus cannot go meanwhile
    SimulatedBus* m_bus;
    const usb::RegistryEntryID m_deviceID;
    std::atomic<bool> m_attached{true};
};

// --- Construction ------------------------------------------------------------------------------------

SimulatedBus::SimulatedBus(platform::Clock& clock) : m_clock(clock), m_localProcess(thisProcess()) {
    m_worker = std::jthread([this](std::stop_token stop) { runWorker(stop); });
}

SimulatedBus::~SimulatedBus() {
    m_worker.request_stop();
    if (m_worker.joinable()) {
        m_worker.join();
    }
    std::set<std::shared_ptr<Link>> links;
    {
        std::lock_guard guard(m_mutex);
        links = m_links;
    }
    for (const auto& link : links) {
        link->markDetached();
        link->detachFromBus();
    }
}

void SimulatedBus::runWorker(std::stop_token stop) {
    std::unique_lock lock(m_mutex);
    m_workerThread = std::this_thread::get_id();
    while (!stop.stop_requested()) {
        if (!m_events.empty()) {
            const PendingEvent event = std::move(m_events.front());
            m_events.pop_front();
            ++m_delivering;
            lock.unlock();
            m_subscribers.deliver(event.sequence, event.event);
            lock.lock();
            --m_delivering;
            if (m_events.empty()) {
                m_idle.notify_all();
            }
            continue;
        }
        const auto now = m_clock.now();
        while (!m_scheduled.empty() && m_scheduled.begin()->first <= now) {
            const auto [deviceID, generation] = m_scheduled.begin()->second;
            m_scheduled.erase(m_scheduled.begin());
            const auto device = m_devices.find(deviceID);
            // A later configuration change or an unplug overtook this re-enumeration.
            if (device != m_devices.end() && device->second.configurationGeneration == generation &&
                device->second.configuration != 0) {
                terminateInterfacesLocked(device->second);
                publishInterfacesLocked(device->second);
            }
        }
        if (!m_events.empty()) {
            continue;
        }
        if (m_scheduled.empty()) {
            m_workerWake.wait(lock, stop, [&] { return !m_events.empty() || !m_scheduled.empty(); });
        } else {
            // Only a scheduled re-enumeration makes the worker wait on the clock, so an idle bus never
            // shows up among a virtual clock's waiters.
            const auto due = m_scheduled.begin()->first;
            m_clock.waitUntil(lock, m_workerWake, due, stop, [&] {
                return !m_events.empty() || (!m_scheduled.empty() && m_scheduled.begin()->first < due);
            });
        }
    }
}

bool SimulatedBus::waitUntilIdle(std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(m_mutex);
    if (std::this_thread::get_id() == m_workerThread) {
        return true; // an observer waiting for its own delivery would wait forever
    }
    return m_idle.wait_for(lock, realLimit, [&] { return m_events.empty() && m_delivering == 0; });
}

// --- Devices -----------------------------------------------------------------------------------------

PluggedDevice SimulatedBus::plug(DeviceSpec spec) {
    usb::RegistryEntryID deviceID = 0;
    std::shared_ptr<Link> link;
    {
        std::lock_guard guard(m_mutex);
        deviceID = m_nextID++;
        link = std::make_shared<Link>(this, deviceID);
        m_links.insert(link);
        if (spec.locationID == 0) {
            spec.locationID = m_nextLocation;
            m_nextLocation += 0x00100000;
        }
    }
    auto functionMutex = std::make_shared<std::mutex>();
    if (spec.function) {
        // Before publication, so no host transfer can reach the function ahead of it.
        std::lock_guard guard(*functionMutex);
        spec.function->attached(link);
    }

    std::lock_guard guard(m_mutex);
    Device device;
    device.id = deviceID;
    device.functionMutex = std::move(functionMutex);
    device.link = std::move(link);
    device.configuration = spec.configuration;
    Pipe control;
    control.descriptor = {usb::controlEndpoint, 0x00, 64, 0};
    control.serial = m_nextPipeSerial++;
    device.pipes.emplace(usb::controlEndpoint, std::move(control));
    device.spec = std::move(spec);

    Entry entry;
    entry.record = {deviceID, std::string(usb::deviceClassName), 0, deviceProperties(device.spec)};
    entry.deviceID = deviceID;
    Device& stored = m_devices.emplace(deviceID, std::move(device)).first->second;
    publishLocked(std::move(entry));
    PluggedDevice plugged{deviceID, publishInterfacesLocked(stored)};
    log("plug", deviceID, "", std::to_string(plugged.interfaceIDs.size()) + " interfaces");
    return plugged;
}

std::vector<usb::RegistryEntryID> SimulatedBus::publishInterfacesLocked(Device& device) {
    std::vector<usb::RegistryEntryID> ids;
    for (const auto& spec : device.spec.interfaces) {
        ids.push_back(publishInterfaceLocked(device, spec));
    }
    return ids;
}

usb::RegistryEntryID SimulatedBus::publishInterfaceLocked(Device& device, const InterfaceSpec& spec) {
    const usb::RegistryEntryID id = m_nextID++;
    Entry entry;
    entry.record = {id, std::string(usb::interfaceClassName), device.id,
                    interfaceProperties(device.spec, spec)};
    entry.deviceID = device.id;
    entry.isInterface = true;
    entry.endpoints = spec.endpoints;
    for (const auto& endpoint : spec.endpoints) {
        Pipe pipe;
        pipe.descriptor = endpoint;
        pipe.serial = m_nextPipeSerial++;
        device.pipes.insert_or_assign(endpoint.address, std::move(pipe));
    }
    device.interfaces.push_back(id);
    publishLocked(std::move(entry));
    return id;
}

void SimulatedBus::terminateInterfacesLocked(Device& device) {
    const auto interfaces = device.interfaces;
    for (const auto id : interfaces) {
        terminateLocked(id);
    }
}

void SimulatedBus::unplug(usb::RegistryEntryID deviceID) {
    std::lock_guard guard(m_mutex);
    const bool known = m_devices.contains(deviceID);
    unplugLocked(deviceID);
    log("unplug", deviceID, "", known ? "ok" : "unknown");
}

void SimulatedBus::unplugLocked(usb::RegistryEntryID deviceID) {
    const auto found = m_devices.find(deviceID);
    if (found == m_devices.end()) {
        return;
    }
    terminateInterfacesLocked(found->second);
    terminateLocked(deviceID);
    found->second.link->markDetached();
    m_devices.erase(found);
    m_changed.notify_all();
}

usb::RegistryEntryID SimulatedBus::addInterface(usb::RegistryEntryID deviceID, InterfaceSpec spec) {
    std::lock_guard guard(m_mutex);
    const auto found = m_devices.find(deviceID);
    if (found == m_devices.end()) {
        log("addInterface", deviceID, "", "notFound");
        throw usb::USBError(usb::Status::notFound, "addInterface");
    }
    const auto id = publishInterfaceLocked(found->second, spec);
    log("addInterface", deviceID, "", hex(id));
    return id;
}

void SimulatedBus::removeInterface(usb::RegistryEntryID interfaceID) {
    std::lock_guard guard(m_mutex);
    const auto found = m_entries.find(interfaceID);
    const bool known = found != m_entries.end() && found->second.isInterface;
    if (known) {
        terminateLocked(interfaceID);
    }
    log("removeInterface", interfaceID, "", known ? "ok" : "unknown");
}

std::vector<usb::RegistryEntryID> SimulatedBus::publishInterfaces(usb::RegistryEntryID deviceID) {
    std::lock_guard guard(m_mutex);
    const auto found = m_devices.find(deviceID);
    if (found == m_devices.end()) {
        log("publishInterfaces", deviceID, "", "notFound");
        throw usb::USBError(usb::Status::notFound, "publishInterfaces");
    }
    Device& device = found->second;
    terminateInterfacesLocked(device);
    if (device.configuration == 0) {
        device.configuration = device.spec.configuration;
    }
    ++device.configurationGeneration; // a scheduled re-enumeration is now moot
    auto ids = publishInterfacesLocked(device);
    log("publishInterfaces", deviceID, "", std::to_string(ids.size()) + " interfaces");
    return ids;
}

std::vector<usb::RegistryEntryID> SimulatedBus::interfacesOf(usb::RegistryEntryID deviceID) const {
    std::lock_guard guard(m_mutex);
    const auto found = m_devices.find(deviceID);
    return found == m_devices.end() ? std::vector<usb::RegistryEntryID>{} : found->second.interfaces;
}

void SimulatedBus::setProperty(usb::RegistryEntryID id, const std::string& key, usb::PropertyValue value) {
    std::lock_guard guard(m_mutex);
    entryLocked(id, "setProperty").record.properties.insert_or_assign(key, std::move(value));
}

void SimulatedBus::removeProperty(usb::RegistryEntryID id, const std::string& key) {
    std::lock_guard guard(m_mutex);
    entryLocked(id, "removeProperty").record.properties.erase(key);
}

SimulatedBus::Device* SimulatedBus::deviceOfLocked(usb::RegistryEntryID id) {
    const auto entry = m_entries.find(id);
    const usb::RegistryEntryID deviceID = entry == m_entries.end() ? id : entry->second.deviceID;
    const auto device = m_devices.find(deviceID);
    return device == m_devices.end() ? nullptr : &device->second;
}

void SimulatedBus::wakeDevice(usb::RegistryEntryID deviceID) {
    std::lock_guard guard(m_mutex);
    if (const auto found = m_devices.find(deviceID); found != m_devices.end()) {
        ++found->second.wakeGeneration;
        m_changed.notify_all();
    }
}

// --- Opening and holders -----------------------------------------------------------------------------

void SimulatedBus::setOwnerLocked(Entry& entry) {
    auto& properties = entry.record.properties;
    const std::string key(usb::exclusiveOwnerKey);
    if (entry.holderHandle != 0) {
        const auto& opener = m_handles.at(entry.holderHandle).opener;
        properties.insert_or_assign(key, opener.value_or(m_localProcess).ownerText());
    } else if (entry.foreignHolder) {
        properties.insert_or_assign(key, entry.foreignHolder->ownerText());
    } else {
        properties.erase(key);
    }
}

usb::HandleID SimulatedBus::open(usb::RegistryEntryID id, usb::OpenMode mode) {
    return openFor(id, mode, std::nullopt);
}

usb::HandleID SimulatedBus::open(usb::RegistryEntryID id, usb::OpenMode mode, usb::ProcessIdentity opener) {
    return openFor(id, mode, std::move(opener));
}

usb::HandleID SimulatedBus::openFor(usb::RegistryEntryID id, usb::OpenMode mode,
                                    std::optional<usb::ProcessIdentity> opener) {
    std::string detail = mode == usb::OpenMode::exclusive ? "exclusive" : "seize";
    if (opener) {
        detail += " for " + opener->ownerText();
    }
    try {
        std::lock_guard guard(m_mutex);
        Entry& entry = entryLocked(id, "open");
        if (entry.refusalsLeft > 0) {
            if (entry.refusalsLeft != SIZE_MAX) {
                --entry.refusalsLeft;
            }
            throw usb::USBError(entry.refusal, "open");
        }
        const bool held = entry.foreignHolder.has_value() || entry.holderHandle != 0;
        if (mode == usb::OpenMode::exclusive && held) {
            throw usb::USBError(usb::Status::exclusiveAccess, "open");
        }
        if (mode == usb::OpenMode::seize) {
            if (entry.foreignHolder && entry.holderPolicy == HolderPolicy::refusesSeize) {
                throw usb::USBError(usb::Status::exclusiveAccess, "open");
            }
            entry.foreignHolder.reset();
            if (entry.holderHandle != 0) {
                m_handles.at(entry.holderHandle).seized = true;
                m_changed.notify_all();
            }
        }
        const usb::HandleID handle = m_nextHandle++;
        m_handles.emplace(handle, Handle{id, entry.deviceID, false, std::move(opener)});
        entry.holderHandle = handle;
        setOwnerLocked(entry);
        log("open", id, detail, "handle " + std::to_string(handle));
        return handle;
    } catch (const usb::USBError& error) {
        log("open", id, detail, std::string(usb::name(error.status())));
        throw;
    }
}

void SimulatedBus::close(usb::HandleID handle) noexcept {
    std::lock_guard guard(m_mutex);
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) {
        log("close", 0, "handle " + std::to_string(handle), "unknown");
        return;
    }
    const usb::RegistryEntryID id = found->second.entryID;
    m_handles.erase(found);
    if (const auto entry = m_entries.find(id);
        entry != m_entries.end() && entry->second.holderHandle == handle) {
        entry->second.holderHandle = 0;
        setOwnerLocked(entry->second);
    }
    m_changed.notify_all();
    log("close", id, "handle " + std::to_string(handle), "ok");
}

void SimulatedBus::setLocalProcess(usb::ProcessIdentity identity) {
    std::lock_guard guard(m_mutex);
    m_localProcess = std::move(identity);
    for (auto& [id, entry] : m_entries) {
        setOwnerLocked(entry);
    }
}

usb::ProcessIdentity SimulatedBus::localProcess() const {
    std::lock_guard guard(m_mutex);
    return m_localProcess;
}

void SimulatedBus::holdExclusively(usb::RegistryEntryID id, usb::ProcessIdentity holder,
                                   HolderPolicy policy) {
    std::lock_guard guard(m_mutex);
    Entry& entry = entryLocked(id, "holdExclusively");
    if (entry.holderHandle != 0) {
        throw usb::USBError(usb::Status::exclusiveAccess, "holdExclusively");
    }
    log("holdExclusively", id, holder.ownerText(), "ok");
    entry.foreignHolder = std::move(holder);
    entry.holderPolicy = policy;
    setOwnerLocked(entry);
}

void SimulatedBus::releaseHold(usb::RegistryEntryID id) {
    std::lock_guard guard(m_mutex);
    if (const auto found = m_entries.find(id); found != m_entries.end()) {
        found->second.foreignHolder.reset();
        setOwnerLocked(found->second);
    }
}

// --- Faults and log ----------------------------------------------------------------------------------

void SimulatedBus::setRegistryAvailable(bool available) {
    std::lock_guard guard(m_mutex);
    m_registryAvailable = available;
}

void SimulatedBus::refuseOpens(usb::RegistryEntryID id, usb::Status status, std::size_t count) {
    std::lock_guard guard(m_mutex);
    Entry& entry = entryLocked(id, "refuseOpens");
    entry.refusal = status;
    entry.refusalsLeft = count;
}

void SimulatedBus::injectTransferFault(usb::RegistryEntryID id, std::uint8_t endpoint, TransferFault fault,
                                       std::size_t count) {
    std::lock_guard guard(m_mutex);
    Device* device = deviceOfLocked(id);
    if (device == nullptr) {
        throw usb::USBError(usb::Status::notFound, "injectTransferFault");
    }
    if (count > 0) {
        device->faults[endpoint].emplace_back(fault, count);
    }
}

void SimulatedBus::log(std::string operation, usb::RegistryEntryID id, std::string detail,
                       std::string outcome) const {
    std::lock_guard guard(m_logMutex);
    m_log.push_back({std::move(operation), id, std::move(detail), std::move(outcome)});
    if (m_log.size() > logLimit) {
        m_log.pop_front();
    }
}

std::vector<BusCall> SimulatedBus::callLog() const {
    std::lock_guard guard(m_logMutex);
    return {m_log.begin(), m_log.end()};
}

void SimulatedBus::clearCallLog() {
    std::lock_guard guard(m_logMutex);
    m_log.clear();
}

} // namespace simulation
