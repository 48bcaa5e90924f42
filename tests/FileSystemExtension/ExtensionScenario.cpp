#include "ExtensionScenario.h"

#include "ReplyCapture.h"

#include "Corvane/usb/USBDeviceDiscovery.h"
#include "FileSystemExtension/ExtensionLog.h"
#include "platform/iokit/IOKitLib.h"

#include <chrono>

namespace tandalo::testing {

ExtensionScenario::ExtensionScenario(testsupport::PhoneScenario::Options options)
    : m_scenario(std::move(options)) {
    m_factory.makeIOUSBLib = [this](const corvane::USBDeviceDescriptor& descriptor,
                                    corvane::TakeOver takeOver) {
        std::function<void(std::size_t)> hook;
        std::size_t number = 0;
        {
            std::lock_guard guard(m_mutex);
            m_takeOvers.push_back(takeOver);
            number = m_takeOvers.size();
            hook = m_beforeConnect;
        }
        if (hook) {
            hook(number);
        }
        {
            std::lock_guard guard(m_mutex);
            if (m_failingConnects > 0) {
                --m_failingConnects;
                throw *m_connectError;
            }
        }
        return m_scenario.deviceContext().transportFactory->makeIOUSBLib(descriptor, takeOver);
    };
}

ExtensionScenario::~ExtensionScenario() {
    for (const auto& volume : m_volumes) {
        volume->shutdown();
        // A task started after the shutdown (a test's late activation) may still hold the volume; it
        // must not be the one to end it while the phone goes away.
        EXPECT_TRUE(eventually([&] { return volume.use_count() == 1; }));
    }
}

std::vector<std::string> ExtensionScenario::extensionLog() {
    std::vector<std::string> messages;
    for (const auto& entry :
         m_scenario.logStore().recentEntries(extensionBundleIdentifier, std::chrono::hours(24))) {
        messages.push_back(entry.message);
    }
    return messages;
}

AndroidVolume::Context ExtensionScenario::volumeContext() {
    return AndroidVolume::Context{.clock = &m_scenario.clock(),
                                  .environment = &m_preferences.environment(),
                                  .logStore = &m_scenario.logStore()};
}

std::shared_ptr<AndroidVolume> ExtensionScenario::makeVolume(VolumeAccess access) {
    auto fs = std::make_shared<corvane::MTPFileSystem>(m_scenario.sharedDevice(), m_scenario.clock());
    fs->open();
    auto volume = AndroidVolume::make(std::move(fs), descriptor(), access, volumeContext());
    m_volumes.push_back(volume);
    return volume;
}

testsupport::PhoneScenario::Options
ExtensionScenario::connectedByFileSystem(platform::VirtualClock::AutoAdvance autoAdvance) {
    testsupport::PhoneScenario::Options options;
    options.connectDevice = false;
    options.autoAdvance = autoAdvance;
    return options;
}

TandaloFileSystem::Context ExtensionScenario::fileSystemContext() {
    TandaloFileSystem::Context context;
    context.clock = &m_scenario.clock();
    context.findMTPInterfaces = [bus = m_scenario.sharedBus()] {
        return corvane::USBDeviceDiscovery::findMTPInterfaces(iokit::MainPort::forBus(bus));
    };
    context.deviceContext = m_scenario.deviceContext();
    context.deviceContext.transportFactory = &m_factory;
    context.environment = &m_preferences.environment();
    context.logStore = &m_scenario.logStore();
    return context;
}

std::vector<corvane::TakeOver> ExtensionScenario::connectTakeOvers() const {
    std::lock_guard guard(m_mutex);
    return m_takeOvers;
}

void ExtensionScenario::beforeConnect(std::function<void(std::size_t)> hook) {
    std::lock_guard guard(m_mutex);
    m_beforeConnect = std::move(hook);
}

void ExtensionScenario::replug() {
    m_scenario.unplug();
    simulation::plugPhone(m_scenario.bus(), m_scenario.sharedPhone());
}

void ExtensionScenario::failConnects(std::size_t count, corvane::PTPError error) {
    std::lock_guard guard(m_mutex);
    m_failingConnects = count;
    m_connectError = std::move(error);
}

} // namespace tandalo::testing
