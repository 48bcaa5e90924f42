#pragma once

#include "platform/busservice/ServiceBus.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace simulation::testing {

/// A simulated bus with the service's devices, served on a socket in a private temporary folder, and
/// clients that reach it through the socket as other processes would.
struct ServedBus {
    explicit ServedBus(BusService::Limits limits = {}) {
        service = BusService::start(
            bus, folder.path() / "usb-bus.sock",
            [this](const busservice::CommandWords& words) { return devices.run(words); }, limits);
    }

    std::shared_ptr<busservice::ServiceBus> client(platform::Clock& clock = platform::Clock::system()) const {
        return std::make_shared<busservice::ServiceBus>(service->socketPath(), clock);
    }
    /// Plugs a phone with the serial number and returns its MTP interface.
    usb::RegistryEntryID plugPhone(const std::string& serialNumber) {
        devices.plug({"phone", "serial=" + serialNumber});
        return interfaceOf(serialNumber);
    }
    /// The MTP interface of the device with the serial number, as the bus shows it now.
    usb::RegistryEntryID interfaceOf(const std::string& serialNumber) const {
        for (const auto& entry : bus->matchingEntries(usb::interfaceClassName)) {
            const auto device = bus->entry(entry.parentID);
            const auto* serial = device ? device->property("USB Serial Number") : nullptr;
            if (serial != nullptr && *serial == usb::PropertyValue{serialNumber}) {
                return entry.id;
            }
        }
        throw std::runtime_error(serialNumber + " shows no interface");
    }
    std::optional<usb::PropertyValue> holderOf(usb::RegistryEntryID interface) const {
        return bus->property(interface, usb::exclusiveOwnerKey);
    }

    platform::testing::TemporaryFolder folder;
    std::shared_ptr<SimulatedBus> bus = std::make_shared<SimulatedBus>();
    ServiceDevices devices{bus};
    std::unique_ptr<BusService> service; // last: it goes first, while the devices are still there
};

/// Registry events as an observer hears them, with a wait for the next ones.
class EventLog {
public:
    usb::USBBus::Observer observer() {
        return [this](const usb::RegistryEvent& event) {
            std::lock_guard guard(m_mutex);
            m_events.push_back(event);
            m_changed.notify_all();
        };
    }
    /// The first count events, once they have come (in real time, at most 20 s); fewer when they did not.
    std::vector<usb::RegistryEvent> first(std::size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_events.size() >= count; });
        return {m_events.begin(),
                m_events.begin() + static_cast<std::ptrdiff_t>(std::min(count, m_events.size()))};
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<usb::RegistryEvent> m_events;
};

/// The status a failing call throws; USBError::error's opposite, success, is reported as "none".
inline std::string statusOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const usb::USBError& error) {
        return std::string(usb::name(error.status()));
    }
    return "none";
}

} // namespace simulation::testing
