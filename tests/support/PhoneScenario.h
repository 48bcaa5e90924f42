#pragma once

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Corvane/wire/PTPOperation.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"
#include "tests/support/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

/// How a PhoneScenario sets its phone up before plugging it in.
struct PhoneScenarioOptions {
    /// Adds one storage, PhoneStorage's default ("Internal shared storage", ID 0x00010001).
    bool withStorage = true;
    /// Connects the scenario's own device. Tests of code that connects by itself (through
    /// MTPDevice::connect with deviceContext()) turn it off: the interface admits one holder at a time.
    bool connectDevice = true;
    /// Opens the MTP session (GetDeviceInfo, OpenSession) on the device and then clears the phone's log.
    bool openSession = false;
    /// AutoAdvance::sleeps lets plain sleeps on the scenario's clock move time by themselves.
    platform::VirtualClock::AutoAdvance autoAdvance = platform::VirtualClock::AutoAdvance::never;
    simulation::PhoneUSBIdentity identity{};
    /// Runs on the phone before it is plugged in: device information, more storages, operations.
    std::function<void(simulation::SimulatedPhone&)> prepare{};
};

/// A simulated phone plugged into a simulated USB bus, and an MTPDevice connected to its MTP interface,
/// all on one virtual clock. Tests build the phone's tree through it, hold the phone inside an operation
/// with its gates, inject its faults and read its transaction log.
///
/// Paths given to the tree helpers are "/"-separated below the top of the main storage ("DCIM/a.jpg"),
/// compared byte for byte as the phone stores them.
///
/// Threads: the scenario is built and destroyed on the test's thread. The phone, the bus, the clock and
/// the device may be used from any thread meanwhile.
class PhoneScenario {
public:
    using Options = PhoneScenarioOptions;

    explicit PhoneScenario(Options options = {});
    ~PhoneScenario();
    PhoneScenario(const PhoneScenario&) = delete;
    PhoneScenario& operator=(const PhoneScenario&) = delete;

    // The pieces.

    platform::VirtualClock& clock() noexcept { return m_clock; }
    simulation::SimulatedBus& bus() const noexcept { return *m_bus; }
    const std::shared_ptr<simulation::SimulatedBus>& sharedBus() const noexcept { return m_bus; }
    simulation::SimulatedPhone& phone() const noexcept { return *m_phone; }
    const std::shared_ptr<simulation::SimulatedPhone>& sharedPhone() const noexcept { return m_phone; }
    /// The phone's MTP interface as discovery reports it.
    const corvane::USBDeviceDescriptor& descriptor() const noexcept { return m_descriptor; }
    /// The scenario's own device, connected to the phone through MTPDevice::connect; throws
    /// std::logic_error when the options said not to connect one.
    corvane::MTPDevice& device() const;
    const std::shared_ptr<corvane::MTPDevice>& sharedDevice() const;
    /// What MTPDevice::connect needs to reach the phone: the scenario's clock, an environment without the
    /// trace switch, the log store below and transport makers that open the phone's interface on the
    /// scenario's bus. MTPDevice::connect(scenario.descriptor(), {}, TakeOver::never, {}, context) works.
    const corvane::MTPDevice::Context& deviceContext() const noexcept { return m_context; }
    oslog::LogStore& logStore() noexcept { return m_logStore; }
    /// The main storage's ID; 0 when the scenario was made without one.
    std::uint32_t storage() const noexcept { return m_storage; }

    // The tree of the main storage.

    /// Creates the folders of the path that are missing; returns the last one's handle.
    std::uint32_t addFolder(std::string_view path);
    /// Adds a file, creating its folders; returns its handle.
    std::uint32_t addFile(std::string_view path, std::string_view contents);
    std::uint32_t addFile(std::string_view path, std::span<const std::byte> contents);
    /// A file of size bytes of the phone's generated pattern, free of memory even beyond 4 GiB.
    std::uint32_t addGeneratedFile(std::string_view path, std::uint64_t size);
    /// The handle at the path; throws std::out_of_range when there is nothing.
    std::uint32_t handle(std::string_view path) const;
    bool exists(std::string_view path) const;
    /// The file's content as text.
    std::string contents(std::string_view path) const;
    /// simulation::SimulatedPhone::tree of the main storage, for failure messages.
    std::string tree() const;

    // The phone's log.

    /// The operations the phone has seen since the last clearLog(), in order.
    std::vector<std::uint16_t> operations() const;
    /// The same as case names, blank-separated ("getObjectPropList getObjectInfo"), for messages.
    std::string operationNames() const;
    std::size_t count(corvane::PTPOperation operation) const;
    void clearLog();

    /// A folder on the local disk for the test's files, removed with the scenario.
    const std::filesystem::path& scratchFolder();

    /// Takes the phone off the bus: transfers in flight and later ones fail as on a real unplug.
    void unplug();

    /// testsupport::passTimeWhile on the scenario's clock: the work's time-outs pass in virtual time, and
    /// what it returns is the virtual time the work took.
    platform::Clock::Duration passTimeWhile(const std::function<void()>& work);

private:
    platform::VirtualClock m_clock;
    std::filesystem::path m_scratch;
    std::filesystem::path m_preferences;
    platform::MemoryEnvironment m_environment;
    oslog::LogStore m_logStore;
    corvane::TransportFactory m_transports;
    corvane::MTPDevice::Context m_context;
    std::shared_ptr<simulation::SimulatedPhone> m_phone;
    std::shared_ptr<simulation::SimulatedBus> m_bus;
    simulation::PluggedDevice m_plugged;
    corvane::USBDeviceDescriptor m_descriptor;
    std::uint32_t m_storage = 0;
    std::shared_ptr<corvane::MTPDevice> m_device; // last: it goes first, while the bus is still there
};

} // namespace testsupport
