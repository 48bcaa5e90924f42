#include "platform/usbfs/LinuxBus.h"

#include "platform/foundation/ProcessInfo.h"
#include "platform/usbfs/Uevent.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usbfs {

namespace {

usb::ProcessIdentity thisProcess() {
    const pid_t pid = ::getpid();
    return {static_cast<std::int32_t>(pid),
            platform::processName(pid).value_or(program_invocation_short_name)};
}

std::string_view classNameOf(const SysfsEntry& entry) {
    return entry.kind == SysfsEntry::Kind::device ? usb::deviceClassName : usb::interfaceClassName;
}

// Only what appeared counts: what is gone on a second look belongs to a folder on its way out.
bool gainedSomething(const SysfsEntry& before, const SysfsEntry& now) {
    return std::ranges::any_of(now.properties,
                               [&](const auto& each) { return !before.properties.contains(each.first); }) ||
           (before.endpoints.empty() && !now.endpoints.empty());
}

} // namespace

std::shared_ptr<LinuxBus> LinuxBus::create(LinuxBusOptions options) {
    platform::UniqueFd uevents = std::move(options.uevents);
    if (!uevents) {
        uevents = openUeventSocket();
    }
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        throw usb::USBError(usb::Status::unavailable, "eventfd for the USB monitor");
    }
    return std::shared_ptr<LinuxBus>(new LinuxBus(std::move(options), std::move(uevents), std::move(wake)));
}

LinuxBus::LinuxBus(LinuxBusOptions options, platform::UniqueFd uevents, platform::UniqueFd wake)
    : m_options(std::move(options)), m_clock(*m_options.clock), m_sysfs(m_options.sysfsRoot),
      m_processes(m_options.procRoot, m_options.nameOf), m_self(thisProcess()), m_uevents(std::move(uevents)),
      m_wake(std::move(wake)) {
    {
        // The socket listens already, so nothing that changes after this scan goes unseen.
        std::lock_guard guard(m_mutex);
        refreshLocked();
        m_events.clear(); // what exists at the start is the registry, not news
    }
    m_monitor = std::jthread([this](std::stop_token stop) { monitor(stop); });
}

LinuxBus::~LinuxBus() {
    m_monitor.request_stop();
    wakeMonitor();
    m_monitor = std::jthread();
}

void LinuxBus::wakeMonitor() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

std::filesystem::path LinuxBus::nodeOf(const SysfsEntry& device) const {
    char bus[8];
    char address[8];
    std::snprintf(bus, sizeof bus, "%03u", device.busNumber % 1000);
    std::snprintf(address, sizeof address, "%03u", device.deviceNumber % 1000);
    return m_options.deviceRoot / bus / address;
}

// --- Registry ----------------------------------------------------------------------------------------

void LinuxBus::refreshLocked() {
    const auto scanned = m_sysfs.scan();
    std::map<std::pair<std::string, std::uint64_t>, const SysfsEntry*> present;
    for (const auto& each : scanned) {
        present.emplace(std::make_pair(each.name, each.identity), &each);
    }
    // What went: interfaces before their devices, as the kernel removes them.
    std::vector<usb::RegistryEntryID> gone;
    std::set<usb::RegistryEntryID> republished;
    for (auto& [id, entry] : m_entries) {
        const auto now = present.find({entry.source.name, entry.source.identity});
        if (now == present.end()) {
            gone.push_back(id);
        } else if (gainedSomething(entry.source, *now->second)) {
            // Read while the kernel was still adding it: the kernel writes an interface's class and name,
            // and a device's strings, after making the folder, with no event of their own. Published
            // anew, as a re-created entry is, so that whoever passed the incomplete one over looks again;
            // one in use keeps its ID and only gains the properties.
            const usb::RegistryEntryID device = entry.record.parentID == 0 ? id : entry.record.parentID;
            if (m_connections.contains(device)) {
                entry.source = *now->second;
                entry.record.properties = entry.source.properties;
            } else {
                republished.insert(id);
            }
        }
    }
    for (const auto& [id, entry] : m_entries) {
        if ((republished.contains(id) || republished.contains(entry.record.parentID)) &&
            std::ranges::find(gone, id) == gone.end()) {
            gone.push_back(id);
        }
    }
    std::stable_partition(gone.begin(), gone.end(), [&](usb::RegistryEntryID id) {
        return m_entries.at(id).source.kind == SysfsEntry::Kind::interface;
    });
    for (const auto id : gone) {
        auto found = m_entries.find(id);
        const Entry& entry = found->second;
        if (entry.source.kind == SysfsEntry::Kind::device) {
            // Transfers still running end now, with the device's own error, instead of at their time-out.
            if (const auto connection = m_connections.find(id); connection != m_connections.end()) {
                connection->second.device->markGone();
            }
            std::erase_if(m_claims, [&](const auto& claim) { return claim.first.first == id; });
        }
        m_events.push_back({++m_eventSequence, {usb::RegistryEvent::Kind::terminated, entry.record}});
        m_ids.erase({entry.source.name, entry.source.identity});
        m_entries.erase(found);
    }
    // What came: each device before its interfaces, as scanned.
    std::map<std::string, usb::RegistryEntryID> devices;
    for (const auto& [id, entry] : m_entries) {
        if (entry.source.kind == SysfsEntry::Kind::device) {
            devices.emplace(entry.source.name, id);
        }
    }
    for (const auto& each : scanned) {
        if (m_ids.contains({each.name, each.identity})) {
            continue;
        }
        usb::RegistryEntryID parent = 0;
        if (each.kind == SysfsEntry::Kind::interface) {
            const auto device = devices.find(each.deviceName);
            if (device == devices.end()) {
                continue; // its device could not be read; the next event brings both
            }
            parent = device->second;
        }
        const usb::RegistryEntryID id = m_nextID++;
        Entry entry{{id, std::string(classNameOf(each)), parent, each.properties}, each};
        if (each.kind == SysfsEntry::Kind::device) {
            devices.insert_or_assign(each.name, id);
        }
        m_ids.emplace(std::make_pair(each.name, each.identity), id);
        const auto& stored = m_entries.emplace(id, std::move(entry)).first->second;
        m_events.push_back({++m_eventSequence, {usb::RegistryEvent::Kind::published, stored.record}});
    }
}

std::optional<std::string> LinuxBus::ownerLocked(const Entry& entry) const {
    if (entry.source.kind != SysfsEntry::Kind::interface) {
        return std::nullopt; // Linux has no exclusive hold of a whole device
    }
    const auto number =
        static_cast<std::uint8_t>(std::get<std::int64_t>(entry.record.properties.at("bInterfaceNumber")));
    if (m_claims.contains({entry.record.parentID, number})) {
        return m_self.ownerText();
    }
    const std::string driver = m_sysfs.driver(entry.source.name);
    if (driver.empty()) {
        return std::nullopt;
    }
    if (driver != "usbfs") {
        return usb::ProcessIdentity{0, "kernel driver " + driver}.ownerText();
    }
    const auto device = m_entries.find(entry.record.parentID);
    if (device != m_entries.end()) {
        // usbfs does not say which of the programs that have the node open holds the claim; usually only
        // the holder has it open at all.
        const auto openers = m_processes.openersOf(nodeOf(device->second.source), m_self.pid);
        if (!openers.empty()) {
            return openers.front().ownerText();
        }
    }
    return usb::ProcessIdentity{0, "a program of another user"}.ownerText();
}

usb::RegistryEntry LinuxBus::recordLocked(const Entry& entry) const {
    usb::RegistryEntry record = entry.record;
    if (auto owner = ownerLocked(entry)) {
        record.properties.insert_or_assign(std::string(usb::exclusiveOwnerKey), std::move(*owner));
    }
    return record;
}

const LinuxBus::Entry& LinuxBus::entryLocked(usb::RegistryEntryID id, const char* request) const {
    const auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        throw usb::USBError(usb::Status::notFound, request);
    }
    return found->second;
}

std::vector<usb::RegistryEntry> LinuxBus::matchingEntries(std::string_view className) {
    std::lock_guard guard(m_mutex);
    std::vector<usb::RegistryEntry> found;
    for (const auto& [id, entry] : m_entries) {
        if (entry.record.className == className) {
            found.push_back(recordLocked(entry));
        }
    }
    return found;
}

std::optional<usb::RegistryEntry> LinuxBus::entry(usb::RegistryEntryID id) {
    std::lock_guard guard(m_mutex);
    const auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        return std::nullopt;
    }
    return recordLocked(found->second);
}

std::vector<usb::RegistryEntry> LinuxBus::children(usb::RegistryEntryID id) {
    std::lock_guard guard(m_mutex);
    entryLocked(id, "children");
    std::vector<usb::RegistryEntry> found;
    for (const auto& [childID, entry] : m_entries) {
        if (entry.record.parentID == id) {
            found.push_back(recordLocked(entry));
        }
    }
    return found;
}

std::optional<usb::PropertyValue> LinuxBus::property(usb::RegistryEntryID id, std::string_view key) {
    std::lock_guard guard(m_mutex);
    const Entry& entry = entryLocked(id, "property");
    if (key == usb::exclusiveOwnerKey) {
        if (auto owner = ownerLocked(entry)) {
            return usb::PropertyValue(std::move(*owner));
        }
        return std::nullopt;
    }
    if (const auto* value = entry.record.property(key)) {
        return *value;
    }
    return std::nullopt;
}

std::vector<usb::EndpointDescriptor> LinuxBus::endpoints(usb::RegistryEntryID interfaceID) {
    std::lock_guard guard(m_mutex);
    const Entry& entry = entryLocked(interfaceID, "endpoints");
    if (entry.source.kind != SysfsEntry::Kind::interface) {
        throw usb::USBError(usb::Status::badArgument, "endpoints of a device");
    }
    return entry.source.endpoints;
}

std::optional<std::filesystem::path> LinuxBus::deviceNode(usb::RegistryEntryID deviceID) const {
    std::lock_guard guard(m_mutex);
    const auto found = m_entries.find(deviceID);
    if (found == m_entries.end() || found->second.source.kind != SysfsEntry::Kind::device) {
        return std::nullopt;
    }
    return nodeOf(found->second.source);
}

// --- Subscriptions and the monitor -------------------------------------------------------------------

LinuxBus::Subscription LinuxBus::subscribe(std::string_view className, Observer observer) {
    std::lock_guard guard(m_mutex);
    Subscription subscription;
    subscription.id = m_nextSubscription++;
    for (const auto& [id, entry] : m_entries) {
        if (entry.record.className == className) {
            subscription.existing.push_back(recordLocked(entry));
        }
    }
    m_subscribers.add(subscription.id, std::string(className), m_eventSequence, std::move(observer));
    return subscription;
}

void LinuxBus::unsubscribe(usb::SubscriptionID id) noexcept {
    m_subscribers.remove(id);
}

void LinuxBus::monitor(std::stop_token stop) {
    std::array<std::byte, 8192> message{};
    while (!stop.stop_requested()) {
        pollfd descriptors[2] = {{m_wake.get(), POLLIN, 0}, {m_uevents.get(), POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0) {
            continue; // EINTR
        }
        if (descriptors[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto drained = ::read(m_wake.get(), &count, sizeof count);
        }
        {
            // Busy before the messages leave the socket, so that waitUntilIdle never sees neither.
            std::lock_guard guard(m_mutex);
            m_busy = true;
        }
        bool changed = false;
        while (true) {
            const ssize_t got = ::recv(m_uevents.get(), message.data(), message.size(), MSG_DONTWAIT);
            if (got < 0 && errno == ENOBUFS) {
                changed = true; // events were lost: the rescan below finds what they said
                continue;
            }
            if (got <= 0) {
                break;
            }
            if (const auto event = parseUevent(std::span(message.data(), static_cast<std::size_t>(got)))) {
                changed = changed || event->concernsUSB();
            }
        }
        std::unique_lock lock(m_mutex);
        if (changed) {
            // The event only says where to look: the tree itself is the truth, so lost or reordered events
            // cannot leave the registry wrong.
            refreshLocked();
        }
        while (!m_events.empty()) {
            const PendingEvent event = std::move(m_events.front());
            m_events.pop_front();
            lock.unlock();
            m_subscribers.deliver(event.sequence, event.event);
            lock.lock();
        }
        m_busy = false;
        m_idle.notify_all();
    }
}

bool LinuxBus::waitUntilIdle(std::chrono::milliseconds realLimit) {
    const auto limit = std::chrono::steady_clock::now() + realLimit;
    std::unique_lock lock(m_mutex);
    while (std::chrono::steady_clock::now() < limit) {
        int pending = 0;
        ::ioctl(m_uevents.get(), FIONREAD, &pending);
        if (pending == 0 && m_events.empty() && !m_busy) {
            return true;
        }
        // The monitor may not have woken for the last message yet; look again shortly.
        m_idle.wait_for(lock, std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace usbfs
