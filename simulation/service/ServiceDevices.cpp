#include "simulation/service/ServiceDevices.h"

#include "simulation/DemoPhone.h"
#include "simulation/PhoneUSBFunction.h"
#include "simulation/peer/RealPeer.h"
#include "simulation/peer/RealPeerError.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>

namespace simulation {

namespace {

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::optional<usb::Status> statusNamed(std::string_view text) {
    for (auto value = static_cast<int>(usb::Status::notFound); value <= static_cast<int>(usb::Status::error);
         ++value) {
        if (usb::name(static_cast<usb::Status>(value)) == text) {
            return static_cast<usb::Status>(value);
        }
    }
    return std::nullopt;
}

std::uint64_t numberArgument(std::string_view text, std::string_view what) {
    const auto value = parseUnsigned(text);
    if (!value) {
        throw DescriptionError(std::string(what) + " \"" + std::string(text) + "\" is not a number");
    }
    return *value;
}

/// The key=value settings after a command's fixed words; any other word, or another key, is refused.
std::map<std::string, std::string, std::less<>> settings(const busservice::CommandWords& words,
                                                         std::size_t from,
                                                         std::initializer_list<std::string_view> keys) {
    std::map<std::string, std::string, std::less<>> found;
    for (std::size_t index = from; index < words.size(); ++index) {
        const std::string_view word = words[index];
        const auto equals = word.find('=');
        const auto key = word.substr(0, equals);
        if (equals == std::string_view::npos || std::ranges::find(keys, key) == keys.end()) {
            throw DescriptionError("unknown setting \"" + std::string(word) + "\"");
        }
        found.insert_or_assign(std::string(key), std::string(word.substr(equals + 1)));
    }
    return found;
}

std::string valueOr(const std::map<std::string, std::string, std::less<>>& values, std::string_view key,
                    std::string fallback) {
    const auto found = values.find(key);
    return found == values.end() ? std::move(fallback) : found->second;
}

void requireWords(const busservice::CommandWords& words, std::size_t count, std::string_view usage) {
    if (words.size() < count) {
        throw DescriptionError("usage: " + std::string(usage));
    }
}

} // namespace

struct ServiceDevices::Device {
    DeviceDescription description;
    std::string serialNumber;
    std::string name; // what the commands call it: its serial number, unless another device has that one
    std::shared_ptr<SimulatedPhone> phone; // a phone's
    std::unique_ptr<RealPeer> peer;        // a peer's
    std::optional<PluggedDevice> plugged;  // a phone's place on the bus while plugged

    bool isPlugged() const { return peer ? peer->plugged().has_value() : plugged.has_value(); }
    std::optional<PluggedDevice> place() const { return peer ? peer->plugged() : plugged; }
};

ServiceDevices::ServiceDevices(std::shared_ptr<SimulatedBus> bus) : m_bus(std::move(bus)) {}

ServiceDevices::~ServiceDevices() {
    std::lock_guard guard(m_mutex);
    // Peers first: each takes its device off the bus and stops its program.
    m_devices.clear();
}

std::string_view ServiceDevices::commandHelp() {
    return "plug phone|peer [serial=S] [product=P] [vendor=V] [vendor-id=N] [product-id=N]\n"
           "     [interface=still-image|vendor-mtp] [adb=yes|no] [mode=file-transfer|charge-only]\n"
           "     [access=yes|no] [video-size=N[K|M|G]] [speed=MB/s] [turnaround=ms]\n"
           "                          plug a phone with the sample tree, or a real MTP responder\n"
           "                          a second device of a serial number already here is SERIAL#2\n"
           "unplug SERIAL             pull the device out, whatever it is doing\n"
           "replug SERIAL             put an unplugged device back, with what it held\n"
           "mode SERIAL file-transfer|charge-only\n"
           "                          switch the phone's USB mode; it re-enumerates\n"
           "access SERIAL yes|no      whether the phone lets the computer see its files\n"
           "fault SERIAL timeout|stall|disconnect|STATUS [endpoint=N] [count=N]\n"
           "                          fail the next transfers on an endpoint (default the bulk IN 0x81)\n"
           "refuse-open SERIAL STATUS [count=N]\n"
           "                          fail the next opens of the MTP interface\n"
           "hold SERIAL PID NAME      another process holds the MTP interface (\"hold S 312 ptpcamerad\")\n"
           "release SERIAL            that process lets go\n"
           "list                      every device, its state and holder\n"
           "STATUS is one of notFound unavailable exclusiveAccess notPermitted notOpen noDevice\n"
           "notResponding timeout stalled aborted overrun badArgument error.";
}

std::string ServiceDevices::plug(const std::vector<std::string>& description) {
    std::lock_guard guard(m_mutex);
    return plugLocked(description);
}

std::string ServiceDevices::plugLocked(const std::vector<std::string>& words) {
    auto device = std::make_unique<Device>();
    device->description = DeviceDescription::parse(words);
    const auto taken = [&](const std::string& name) {
        return std::ranges::any_of(
            m_devices, [&](const auto& each) { return each->serialNumber == name || each->name == name; });
    };
    if (device->description.serialNumber) {
        device->serialNumber = *device->description.serialNumber;
    } else {
        do {
            char serial[24];
            std::snprintf(serial, sizeof serial, "SIM%010u", m_nextSerial++);
            device->serialNumber = serial;
        } while (taken(device->serialNumber));
    }
    // Phones of some makers all report one serial number; each such phone sits at a place of its own on the
    // bus, and the commands name the second one "<serial>#2".
    device->name = device->serialNumber;
    for (unsigned number = 2; taken(device->name); ++number) {
        device->name = device->serialNumber + "#" + std::to_string(number);
    }
    auto& identity = device->description.identity;
    identity.serialNumber = device->serialNumber;
    if (device->description.kind == DeviceDescription::Kind::peer) {
        RealPeerOptions options;
        options.serialNumber = device->serialNumber;
        options.vendorID = identity.vendorID;
        options.productID = identity.productID;
        options.manufacturer = identity.vendorName.value_or(options.manufacturer);
        options.product = identity.productName.value_or(options.product);
        device->peer = RealPeer::start(*m_bus, options);
    } else {
        device->phone = std::make_shared<SimulatedPhone>();
        auto info = device->phone->deviceInfo();
        info.serialNumber = device->serialNumber;
        info.manufacturer = identity.vendorName.value_or(info.manufacturer);
        info.model = identity.productName.value_or(info.model);
        device->phone->setDeviceInfo(std::move(info));
        DemoPhone::addSampleTree(*device->phone, device->description.videoSize);
        device->phone->setLink(device->description.link);
        device->phone->setAccessGranted(device->description.accessGranted);
        connectLocked(*device);
    }
    m_devices.push_back(std::move(device));
    return m_devices.back()->name;
}

void ServiceDevices::connectLocked(Device& device) {
    if (device.isPlugged()) {
        throw DescriptionError(device.name + " is plugged in already");
    }
    if (device.peer) {
        device.peer->plugAgain();
        return;
    }
    device.plugged = plugPhone(*m_bus, device.phone, device.description.identity);
}

void ServiceDevices::disconnectLocked(Device& device) {
    if (!device.isPlugged()) {
        throw DescriptionError(device.name + " is not plugged in");
    }
    if (device.peer) {
        device.peer->unplug();
        return;
    }
    m_bus->unplug(device.plugged->deviceID);
    device.plugged.reset();
}

ServiceDevices::Device& ServiceDevices::deviceLocked(std::string_view name) {
    for (const auto& device : m_devices) {
        if (device->name == name) {
            return *device;
        }
    }
    throw DescriptionError("no device is called " + std::string(name));
}

usb::RegistryEntryID ServiceDevices::mtpInterfaceLocked(Device& device) {
    const auto place = device.place();
    if (!place || place->interfaceIDs.empty() ||
        device.description.identity.mode == PhoneUSBIdentity::Mode::chargeOnly) {
        throw DescriptionError(device.name + " shows no MTP interface now");
    }
    // Each device puts its MTP interface first.
    return place->interfaceIDs.front();
}

std::shared_ptr<SimulatedPhone> ServiceDevices::phone(std::string_view name) const {
    std::lock_guard guard(m_mutex);
    for (const auto& device : m_devices) {
        if (device->name == name) {
            return device->phone;
        }
    }
    return nullptr;
}

std::vector<std::string> ServiceDevices::names() const {
    std::lock_guard guard(m_mutex);
    std::vector<std::string> names;
    for (const auto& device : m_devices) {
        names.push_back(device->name);
    }
    return names;
}

std::string ServiceDevices::listLocked() const {
    std::string text;
    for (const auto& device : m_devices) {
        text += device->name + (device->peer ? " peer" : " phone");
        if (device->name != device->serialNumber) {
            text += " serial=" + device->serialNumber;
        }
        const auto place = device->place();
        if (!place) {
            text += " unplugged\n";
            continue;
        }
        text += device->description.identity.mode == PhoneUSBIdentity::Mode::fileTransfer ? " file-transfer"
                                                                                          : " charge-only";
        text += " device=" + hex(place->deviceID);
        if (!place->interfaceIDs.empty() &&
            device->description.identity.mode == PhoneUSBIdentity::Mode::fileTransfer) {
            const auto interface = place->interfaceIDs.front();
            text += " interface=" + hex(interface);
            if (const auto owner = m_bus->property(interface, usb::exclusiveOwnerKey)) {
                if (const auto* holder = std::get_if<std::string>(&*owner)) {
                    text += " held by \"" + *holder + "\"";
                }
            }
        }
        text += "\n";
    }
    return text;
}

busservice::CommandOutcome ServiceDevices::run(const busservice::CommandWords& words) {
    try {
        std::lock_guard guard(m_mutex);
        // A phone that left the bus by itself (a disconnect fault) is unplugged for the commands too, so
        // that it can be plugged in again.
        const auto present = m_bus->matchingEntries(usb::deviceClassName);
        for (const auto& device : m_devices) {
            if (!device->peer && device->plugged && std::ranges::none_of(present, [&](const auto& entry) {
                    return entry.id == device->plugged->deviceID;
                })) {
                device->plugged.reset();
            }
        }
        return {true, runLocked(words)};
    } catch (const DescriptionError& error) {
        return {false, error.what()};
    } catch (const RealPeerError& error) {
        return {false, std::string("the peer did not start: ") + error.what()};
    } catch (const usb::USBError& error) {
        return {false, error.what()};
    }
}

std::string ServiceDevices::runLocked(const busservice::CommandWords& words) {
    if (words.empty() || words[0] == "help") {
        return std::string(commandHelp()) + "\n";
    }
    const auto& command = words[0];
    if (command == "list") {
        return listLocked();
    }
    if (command == "plug") {
        const auto serial = plugLocked({words.begin() + 1, words.end()});
        return "plugged " + serial + "\n";
    }
    constexpr std::string_view onOneDevice[] = {"unplug", "replug",      "mode", "access",
                                                "fault",  "refuse-open", "hold", "release"};
    if (std::ranges::find(onOneDevice, command) == std::end(onOneDevice)) {
        throw DescriptionError("unknown command \"" + command + "\"; try help");
    }
    requireWords(words, 2, command + " SERIAL ...");
    Device& device = deviceLocked(words[1]);
    if (command == "unplug") {
        disconnectLocked(device);
        return "unplugged " + device.name + "\n";
    }
    if (command == "replug") {
        connectLocked(device);
        return "plugged " + device.name + " again\n";
    }
    if (command == "mode") {
        requireWords(words, 3, "mode SERIAL file-transfer|charge-only");
        if (device.peer) {
            throw DescriptionError("a peer stays in file transfer");
        }
        if (words[2] != "charge-only" && words[2] != "file-transfer") {
            throw DescriptionError("unknown mode \"" + words[2] + "\"");
        }
        const auto mode = words[2] == "charge-only" ? PhoneUSBIdentity::Mode::chargeOnly
                                                    : PhoneUSBIdentity::Mode::fileTransfer;
        // A phone that changes its USB mode leaves the bus and comes back as another configuration.
        if (device.isPlugged()) {
            disconnectLocked(device);
        }
        device.description.identity.mode = mode;
        connectLocked(device);
        return device.name + " is in " + words[2] + " mode\n";
    }
    if (command == "access") {
        requireWords(words, 3, "access SERIAL yes|no");
        if (!device.phone || (words[2] != "yes" && words[2] != "no")) {
            throw DescriptionError("usage: access SERIAL yes|no, for a phone");
        }
        device.phone->setAccessGranted(words[2] == "yes");
        return device.name + (words[2] == "yes" ? " allows access\n" : " refuses access\n");
    }
    if (command == "fault") {
        requireWords(words, 3, "fault SERIAL timeout|stall|disconnect|STATUS [endpoint=N] [count=N]");
        TransferFault fault;
        if (words[2] == "timeout") {
            fault = TransferFault::timeout();
        } else if (words[2] == "stall") {
            fault = TransferFault::stall();
        } else if (words[2] == "disconnect") {
            fault = TransferFault::disconnect();
        } else if (const auto status = statusNamed(words[2])) {
            fault = TransferFault::fail(*status);
        } else {
            throw DescriptionError("unknown fault \"" + words[2] + "\"");
        }
        const auto given = settings(words, 3, {"endpoint", "count"});
        const auto endpoint = numberArgument(valueOr(given, "endpoint", "0x81"), "endpoint");
        const auto count = numberArgument(valueOr(given, "count", "1"), "count");
        if (endpoint > 0xFF || count == 0) {
            throw DescriptionError("the endpoint is a byte and the count at least 1");
        }
        const auto interface = mtpInterfaceLocked(device);
        // A fault on an endpoint the interface does not have would wait for a transfer that never comes,
        // and the test that set it would take the device's carrying on for its answer to the fault.
        std::string known = "0x0";
        bool found = endpoint == usb::controlEndpoint;
        for (const auto& each : m_bus->endpoints(interface)) {
            known += ", " + hex(each.address);
            found = found || each.address == endpoint;
        }
        if (!found) {
            throw DescriptionError(device.name + " has no endpoint " + hex(endpoint) +
                                   "; its MTP interface has " + known);
        }
        m_bus->injectTransferFault(interface, static_cast<std::uint8_t>(endpoint), fault, count);
        return "the next " + std::to_string(count) + " transfers on endpoint " + hex(endpoint) + " of " +
               device.name + " meet " + words[2] + "\n";
    }
    if (command == "refuse-open") {
        requireWords(words, 3, "refuse-open SERIAL STATUS [count=N]");
        const auto status = statusNamed(words[2]);
        if (!status) {
            throw DescriptionError("unknown status \"" + words[2] + "\"");
        }
        const auto count = numberArgument(valueOr(settings(words, 3, {"count"}), "count", "1"), "count");
        if (count == 0) {
            throw DescriptionError("the count is at least 1");
        }
        m_bus->refuseOpens(mtpInterfaceLocked(device), *status, count);
        return "the next " + std::to_string(count) + " opens of " + device.name + " fail with " + words[2] +
               "\n";
    }
    if (command == "hold") {
        requireWords(words, 4, "hold SERIAL PID NAME");
        const auto pid = numberArgument(words[2], "pid");
        if (pid == 0 || pid > 0x7FFFFFFF) {
            throw DescriptionError("the pid must be a positive 32-bit number");
        }
        std::string name = words[3];
        for (std::size_t index = 4; index < words.size(); ++index) {
            name += " " + words[index];
        }
        const usb::ProcessIdentity holder{static_cast<std::int32_t>(pid), name};
        m_bus->holdExclusively(mtpInterfaceLocked(device), holder);
        return device.name + " is held by \"" + holder.ownerText() + "\"\n";
    }
    // What is left of the commands on one device: release.
    m_bus->releaseHold(mtpInterfaceLocked(device));
    return device.name + " is free of its foreign holder\n";
}

} // namespace simulation
