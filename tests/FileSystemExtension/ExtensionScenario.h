#pragma once

// A simulated phone on a simulated bus (PhoneScenario), with what the extension needs around it: a
// preferences folder of its own, volumes made over the scenario's own device, and file systems whose
// connects open the phone's interface on the bus (for those, the scenario connects no device itself).

#include "FileSystemExtension/AndroidVolume.h"
#include "FileSystemExtension/TandaloFileSystem.h"
#include "FileSystemExtensionTestSupport.h"
#include "PhoneScenario.h"

#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/usb/TransportFactory.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tandalo::testing {

class ExtensionScenario {
public:
    explicit ExtensionScenario(testsupport::PhoneScenario::Options options = {});
    /// Shuts down the volumes it made, which it holds until then, so that no poller or operation outlives
    /// the phone and the clock.
    ~ExtensionScenario();
    ExtensionScenario(const ExtensionScenario&) = delete;
    ExtensionScenario& operator=(const ExtensionScenario&) = delete;

    testsupport::PhoneScenario& scenario() { return m_scenario; }
    simulation::SimulatedPhone& phone() { return m_scenario.phone(); }
    platform::VirtualClock& clock() { return m_scenario.clock(); }
    TemporaryPreferences& preferences() { return m_preferences; }
    oslog::LogStore& logStore() { return m_scenario.logStore(); }
    /// The messages the extension logged, oldest first.
    std::vector<std::string> extensionLog();
    const corvane::USBDeviceDescriptor& descriptor() const { return m_scenario.descriptor(); }
    std::string deviceKey() const { return AndroidVolume::deviceKey(descriptor()); }

    /// The surroundings of a volume: the scenario's clock and log, the test's preferences.
    AndroidVolume::Context volumeContext();
    /// A volume over the scenario's own device, its file system opened.
    std::shared_ptr<AndroidVolume> makeVolume(VolumeAccess access = VolumeAccess::readWrite);

    /// Options for a scenario whose device the file system connects itself.
    static testsupport::PhoneScenario::Options connectedByFileSystem(
        platform::VirtualClock::AutoAdvance autoAdvance = platform::VirtualClock::AutoAdvance::never);

    /// The surroundings of a file system: the scenario's clock, log and bus, the test's preferences, and
    /// connects that open the phone's interface on the bus (through the scenario's transport makers,
    /// recorded and made to fail on request).
    TandaloFileSystem::Context fileSystemContext();

    /// The take-over each connect asked for, in order.
    std::vector<corvane::TakeOver> connectTakeOvers() const;
    /// The next count connects fail with the error before they open anything.
    void failConnects(std::size_t count, corvane::PTPError error);
    /// Runs before each connect opens anything, with the connect's number (1 for the first).
    void beforeConnect(std::function<void(std::size_t)> hook);
    /// Takes the phone off the bus and plugs it in again: its interface comes back under a new registry ID.
    void replug();

private:
    testsupport::PhoneScenario m_scenario;
    TemporaryPreferences m_preferences;
    corvane::TransportFactory m_factory;

    std::vector<std::shared_ptr<AndroidVolume>> m_volumes;

    mutable std::mutex m_mutex; // guards the fields below
    std::vector<corvane::TakeOver> m_takeOvers;
    std::size_t m_failingConnects = 0;
    std::function<void(std::size_t)> m_beforeConnect;
    std::optional<corvane::PTPError> m_connectError;
};

} // namespace tandalo::testing
