// The registry side of the simulated bus: reads, subscriptions, publication and termination of entries.
#include "simulation/SimulatedBus.h"

#include <algorithm>

namespace simulation {

// --- Registry reads ----------------------------------------------------------------------------------

void SimulatedBus::requireRegistryLocked(const char* request) const {
    if (!m_registryAvailable) {
        throw usb::USBError(usb::Status::unavailable, request);
    }
}

SimulatedBus::Entry& SimulatedBus::entryLocked(usb::RegistryEntryID id, const char* request) {
    const auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        throw usb::USBError(usb::Status::notFound, request);
    }
    return found->second;
}

std::vector<usb::RegistryEntry> SimulatedBus::matchingEntries(std::string_view className) {
    try {
        std::lock_guard guard(m_mutex);
        requireRegistryLocked("matchingEntries");
        std::vector<usb::RegistryEntry> matches;
        for (const auto& [id, entry] : m_entries) {
            if (entry.record.className == className) {
                matches.push_back(entry.record);
            }
        }
        log("matchingEntries", 0, std::string(className), std::to_string(matches.size()) + " entries");
        return matches;
    } catch (const usb::USBError& error) {
        log("matchingEntries", 0, std::string(className), std::string(usb::name(error.status())));
        throw;
    }
}

std::optional<usb::RegistryEntry> SimulatedBus::entry(usb::RegistryEntryID id) {
    try {
        std::lock_guard guard(m_mutex);
        requireRegistryLocked("entry");
        const auto found = m_entries.find(id);
        log("entry", id, "", found == m_entries.end() ? "none" : "ok");
        if (found == m_entries.end()) {
            return std::nullopt;
        }
        return found->second.record;
    } catch (const usb::USBError& error) {
        log("entry", id, "", std::string(usb::name(error.status())));
        throw;
    }
}

std::vector<usb::RegistryEntry> SimulatedBus::children(usb::RegistryEntryID id) {
    try {
        std::lock_guard guard(m_mutex);
        requireRegistryLocked("children");
        entryLocked(id, "children");
        std::vector<usb::RegistryEntry> found;
        for (const auto& [childID, child] : m_entries) {
            if (child.record.parentID == id) {
                found.push_back(child.record);
            }
        }
        log("children", id, "", std::to_string(found.size()) + " entries");
        return found;
    } catch (const usb::USBError& error) {
        log("children", id, "", std::string(usb::name(error.status())));
        throw;
    }
}

std::optional<usb::PropertyValue> SimulatedBus::property(usb::RegistryEntryID id, std::string_view key) {
    try {
        std::lock_guard guard(m_mutex);
        requireRegistryLocked("property");
        const Entry& entry = entryLocked(id, "property");
        const usb::PropertyValue* value = entry.record.property(key);
        log("property", id, std::string(key), value == nullptr ? "none" : "ok");
        if (value == nullptr) {
            return std::nullopt;
        }
        return *value;
    } catch (const usb::USBError& error) {
        log("property", id, std::string(key), std::string(usb::name(error.status())));
        throw;
    }
}

// --- Notifications -----------------------------------------------------------------------------------

usb::USBBus::Subscription SimulatedBus::subscribe(std::string_view className, Observer observer) {
    try {
        std::lock_guard guard(m_mutex);
        requireRegistryLocked("subscribe");
        Subscription subscription{m_nextSubscription++, {}};
        for (const auto& [id, entry] : m_entries) {
            if (entry.record.className == className) {
                subscription.existing.push_back(entry.record);
            }
        }
        m_subscribers.add(subscription.id, std::string(className), m_eventSequence, std::move(observer));
        log("subscribe", 0, std::string(className),
            std::to_string(subscription.existing.size()) + " existing");
        return subscription;
    } catch (const usb::USBError& error) {
        log("subscribe", 0, std::string(className), std::string(usb::name(error.status())));
        throw;
    }
}

void SimulatedBus::unsubscribe(usb::SubscriptionID id) noexcept {
    m_subscribers.remove(id);
}

void SimulatedBus::publishLocked(Entry entry) {
    const usb::RegistryEntryID id = entry.record.id;
    m_events.push_back({++m_eventSequence, {usb::RegistryEvent::Kind::published, entry.record}});
    m_entries.insert_or_assign(id, std::move(entry));
    m_workerWake.notify_all();
}

void SimulatedBus::terminateLocked(usb::RegistryEntryID id) {
    const auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        return;
    }
    Entry& entry = found->second;
    if (entry.isInterface) {
        if (const auto device = m_devices.find(entry.deviceID); device != m_devices.end()) {
            for (const auto& endpoint : entry.endpoints) {
                device->second.pipes.erase(endpoint.address);
            }
            std::erase(device->second.interfaces, id);
        }
    }
    m_events.push_back({++m_eventSequence, {usb::RegistryEvent::Kind::terminated, entry.record}});
    m_entries.erase(found);
    m_workerWake.notify_all();
    m_changed.notify_all();
}

} // namespace simulation
