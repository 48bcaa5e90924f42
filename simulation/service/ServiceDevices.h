#pragma once

#include "platform/busservice/BusProtocol.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"
#include "simulation/service/DeviceDescription.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace simulation {

/// The devices the bus service hosts on its simulated bus, named by serial number ("<serial>#2" and on for
/// further devices of a serial number already here, each at its own place on the bus), and the commands that
/// change them while clients watch: plug and unplug, a switch to charge-only, faults, foreign holders.
/// Owns the phones and the real peers; the peers leave the bus before it does.
///
/// Every member may be called from any thread; commands run one at a time.
class ServiceDevices {
public:
    explicit ServiceDevices(std::shared_ptr<SimulatedBus> bus);
    ~ServiceDevices();
    ServiceDevices(const ServiceDevices&) = delete;
    ServiceDevices& operator=(const ServiceDevices&) = delete;

    /// Plugs the device that the words describe (DeviceDescription) and returns its name. Throws
    /// DescriptionError for a description that cannot be read, and RealPeerError for a peer that does not
    /// start.
    std::string plug(const std::vector<std::string>& description);
    /// Carries out a command from a client, e.g. {"unplug", "R58N123"}; "help" lists them all. Never
    /// throws: what goes wrong is the outcome's text.
    busservice::CommandOutcome run(const busservice::CommandWords& words);

    /// The phone of that name; null for a peer or an unknown name.
    std::shared_ptr<SimulatedPhone> phone(std::string_view name) const;
    /// The names of every device, plugged or not, in the order they were added.
    std::vector<std::string> names() const;

    /// The commands and what they do, for "help" and the programs' usage texts.
    static std::string_view commandHelp();

private:
    struct Device;

    Device& deviceLocked(std::string_view name);
    std::string plugLocked(const std::vector<std::string>& description);
    void connectLocked(Device& device);
    void disconnectLocked(Device& device);
    /// The device's MTP interface on the bus; throws DescriptionError while it shows none.
    usb::RegistryEntryID mtpInterfaceLocked(Device& device);
    std::string listLocked() const;
    std::string runLocked(const busservice::CommandWords& words);

    const std::shared_ptr<SimulatedBus> m_bus;
    mutable std::mutex m_mutex; // guards m_devices and m_nextSerial; held across calls into the bus
    std::vector<std::unique_ptr<Device>> m_devices;
    unsigned m_nextSerial = 1;
};

} // namespace simulation
