#include "PhoneScenario.h"

#include "PassingTime.h"

#include "Corvane/usb/IOUSBHostTransport.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "Corvane/usb/PTPTransport.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Corvane/wire/PTPError.h"
#include "platform/iokit/IOKitLib.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace testsupport {

namespace {

std::filesystem::path uniqueFolder() {
    static std::atomic<int> counter{0};
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("tandalo-phone-scenario-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)));
    std::filesystem::create_directories(folder);
    return folder;
}

/// Splits "a/b/c" into "a/b" and "c".
std::pair<std::string_view, std::string_view> splitLast(std::string_view path) {
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {std::string_view{}, path};
    }
    return {path.substr(0, slash), path.substr(slash + 1)};
}

/// The scenario's bus as the IOKit layer names it; a transport opened after the scenario ended finds no
/// device.
iokit::MainPort portOf(const std::weak_ptr<usb::USBBus>& bus) {
    const std::shared_ptr<usb::USBBus> alive = bus.lock();
    if (!alive) {
        throw corvane::PTPError::deviceNotFound();
    }
    return iokit::MainPort::forBus(alive);
}

} // namespace

PhoneScenario::PhoneScenario(Options options)
    : m_clock(options.autoAdvance), m_scratch(uniqueFolder()), m_preferences(m_scratch / "preferences"),
      m_logStore(m_clock), m_phone(std::make_shared<simulation::SimulatedPhone>(m_clock)),
      m_bus(std::make_shared<simulation::SimulatedBus>(m_clock)) {
    std::filesystem::create_directories(m_preferences);
    // Preferences (the trace switch among them) come from the scenario's own folder, never the user's.
    m_environment.set("TANDALO_PREFERENCES_DIR", m_preferences.string());
    m_context.clock = &m_clock;
    m_context.environment = &m_environment;
    m_context.logStore = &m_logStore;
    m_context.standardError = [](std::string_view) {};
    const std::weak_ptr<usb::USBBus> bus = m_bus;
    platform::Clock& clock = m_clock;
    m_transports.makeIOUSBLib = [bus, &clock](const corvane::USBDeviceDescriptor& descriptor,
                                              corvane::TakeOver takeOver) {
        return std::unique_ptr<corvane::PTPTransport>(
            corvane::IOUSBLibTransport::open(descriptor, takeOver, clock, portOf(bus)));
    };
    m_transports.makeIOUSBHost = [bus](const corvane::USBDeviceDescriptor& descriptor,
                                       std::function<void()> onDisconnect) {
        return std::unique_ptr<corvane::PTPTransport>(
            corvane::IOUSBHostTransport::open(descriptor, std::move(onDisconnect), portOf(bus)));
    };
    m_context.transportFactory = &m_transports;

    if (options.withStorage) {
        m_storage = m_phone->addStorage();
    }
    if (options.prepare) {
        options.prepare(*m_phone);
    }
    m_plugged = simulation::plugPhone(*m_bus, m_phone, options.identity);
    if (m_plugged.interfaceIDs.empty()) {
        throw std::logic_error("the phone was plugged without an MTP interface");
    }
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces(iokit::MainPort::forBus(m_bus));
    const auto mine = std::find_if(found.begin(), found.end(), [&](const corvane::USBDeviceDescriptor& each) {
        return each.registryEntryID == m_plugged.interfaceIDs.front();
    });
    if (mine == found.end()) {
        throw std::logic_error("discovery does not see the phone's MTP interface");
    }
    m_descriptor = *mine;
    if (!options.connectDevice) {
        return;
    }
    m_device =
        corvane::MTPDevice::connect(m_descriptor, std::nullopt, corvane::TakeOver::never, {}, m_context);
    if (options.openSession) {
        m_device->hold()->open();
        m_phone->clearLog();
    }
}

PhoneScenario::~PhoneScenario() {
    m_device.reset();
    m_bus.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_scratch, ignored);
}

corvane::MTPDevice& PhoneScenario::device() const {
    return *sharedDevice();
}

const std::shared_ptr<corvane::MTPDevice>& PhoneScenario::sharedDevice() const {
    if (!m_device) {
        throw std::logic_error("this scenario connects no device of its own");
    }
    return m_device;
}

std::uint32_t PhoneScenario::addFolder(std::string_view path) {
    return m_phone->addFolders(m_storage, path);
}

std::uint32_t PhoneScenario::addFile(std::string_view path, std::string_view contents) {
    return addFile(path, std::as_bytes(std::span(contents.data(), contents.size())));
}

std::uint32_t PhoneScenario::addFile(std::string_view path, std::span<const std::byte> contents) {
    const auto [folder, name] = splitLast(path);
    return m_phone->addFile(m_storage, addFolder(folder), name, contents);
}

std::uint32_t PhoneScenario::addGeneratedFile(std::string_view path, std::uint64_t size) {
    const auto [folder, name] = splitLast(path);
    return m_phone->addGeneratedFile(m_storage, addFolder(folder), name, size);
}

std::uint32_t PhoneScenario::handle(std::string_view path) const {
    const auto found = m_phone->find(m_storage, path);
    if (!found) {
        throw std::out_of_range("the phone has nothing at " + std::string(path) + "; it holds:\n" + tree());
    }
    return *found;
}

bool PhoneScenario::exists(std::string_view path) const {
    return m_phone->find(m_storage, path).has_value();
}

std::string PhoneScenario::contents(std::string_view path) const {
    return m_phone->contentsText(handle(path));
}

std::string PhoneScenario::tree() const {
    return m_phone->tree(m_storage);
}

std::vector<std::uint16_t> PhoneScenario::operations() const {
    return m_phone->operations();
}

std::string PhoneScenario::operationNames() const {
    std::string names;
    for (const std::uint16_t code : m_phone->operations()) {
        if (!names.empty()) {
            names += ' ';
        }
        names += corvane::name(static_cast<corvane::PTPOperation>(code));
    }
    return names;
}

std::size_t PhoneScenario::count(corvane::PTPOperation operation) const {
    return m_phone->count(operation);
}

void PhoneScenario::clearLog() {
    m_phone->clearLog();
}

const std::filesystem::path& PhoneScenario::scratchFolder() {
    return m_scratch;
}

void PhoneScenario::unplug() {
    m_bus->unplug(m_plugged.deviceID);
}

platform::Clock::Duration PhoneScenario::passTimeWhile(const std::function<void()>& work) {
    return testsupport::passTimeWhile(m_clock, work);
}

} // namespace testsupport
