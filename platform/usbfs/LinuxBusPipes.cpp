#include "platform/usbfs/LinuxBus.h"

#include "platform/foundation/Logger.h"

#include <algorithm>
#include <set>

namespace usbfs {

namespace {

using namespace std::chrono_literals;

// How often a holder that agreed to let go is looked at again.
constexpr auto releasePoll = 50ms;

const oslog::Logger& log() {
    static const oslog::Logger logger("usbfs", "claims");
    return logger;
}

std::uint8_t interfaceNumberOf(const usb::RegistryEntry& record) {
    const auto* value = record.property("bInterfaceNumber");
    const auto* number = value == nullptr ? nullptr : std::get_if<std::int64_t>(value);
    return number == nullptr ? 0 : static_cast<std::uint8_t>(*number);
}

} // namespace

// --- Opening -----------------------------------------------------------------------------------------

std::shared_ptr<UsbfsDevice> LinuxBus::connectLocked(const Entry& device) {
    auto& connection = m_connections[device.record.id];
    if (!connection.device) {
        try {
            connection.device = UsbfsDevice::open(nodeOf(device.source), m_clock);
        } catch (const usb::USBError& error) {
            m_connections.erase(device.record.id);
            if (error.status() == usb::Status::notPermitted) {
                log().error("%{public}s", error.what());
            }
            throw;
        }
    }
    return connection.device;
}

void LinuxBus::releaseConnectionLocked(usb::RegistryEntryID deviceID) noexcept {
    const auto found = m_connections.find(deviceID);
    if (found != m_connections.end() && found->second.opens == 0) {
        m_connections.erase(found); // transfers still running keep the node open until they end
    }
}

usb::HandleID LinuxBus::open(usb::RegistryEntryID id, usb::OpenMode mode) {
    std::unique_lock lock(m_mutex);
    const Entry& entry = entryLocked(id, "open");
    if (entry.source.kind == SysfsEntry::Kind::device) {
        return openDevice(entry, mode, lock);
    }
    return openInterface(entry, mode, lock);
}

usb::HandleID LinuxBus::openDevice(const Entry& device, usb::OpenMode mode,
                                   std::unique_lock<std::mutex>& lock) {
    const usb::RegistryEntryID deviceID = device.record.id;
    const auto node = nodeOf(device.source);
    auto usbfs = connectLocked(device);
    const usb::HandleID handle = m_nextHandle++;
    Handle opened;
    opened.entryID = deviceID;
    opened.deviceID = deviceID;
    opened.deviceName = device.source.name;
    opened.device = usbfs;
    opened.seizing = mode == usb::OpenMode::seize;
    ++m_connections[deviceID].opens;
    m_handles.emplace(handle, std::move(opened));
    if (mode == usb::OpenMode::exclusive) {
        return handle; // no exclusive hold of a whole device exists on Linux
    }
    std::vector<std::string> held;
    for (const auto& [id, entry] : m_entries) {
        if (entry.record.parentID == deviceID &&
            !m_claims.contains({deviceID, interfaceNumberOf(entry.record)})) {
            held.push_back(entry.source.name);
        }
    }
    lock.unlock();
    askHoldersToLetGo(held, node);
    lock.lock();
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) {
        throw usb::USBError(usb::Status::notOpen, "open"); // closed by another thread meanwhile
    }
    reserveInterfacesLocked(found->second, handle);
    return handle;
}

usb::HandleID LinuxBus::openInterface(const Entry& interface, usb::OpenMode mode,
                                      std::unique_lock<std::mutex>& lock) {
    const usb::RegistryEntryID interfaceID = interface.record.id;
    const usb::RegistryEntryID deviceID = interface.record.parentID;
    const std::uint8_t number = interfaceNumberOf(interface.record);
    const std::string name = interface.source.name;
    const auto endpoints = interface.source.endpoints;
    const Entry& device = entryLocked(deviceID, "open");
    const std::string deviceName = device.source.name;
    const auto node = nodeOf(device.source);
    auto usbfs = connectLocked(device);
    const std::pair key{deviceID, number};

    if (const auto claim = m_claims.find(key); claim != m_claims.end() && !claim->second.reserved) {
        // Another open of this process holds it.
        if (mode == usb::OpenMode::exclusive) {
            releaseConnectionLocked(deviceID);
            throw usb::USBError(usb::Status::exclusiveAccess,
                                "open: interface " + name + " is held by " + m_self.ownerText());
        }
        const usb::HandleID previous = claim->second.holder;
        if (const auto taken = m_handles.find(previous); taken != m_handles.end()) {
            taken->second.seized = true;
            taken->second.device->abort(previous, std::nullopt, usb::Status::notOpen);
        }
        m_claims.erase(claim);
    } else if (claim != m_claims.end()) {
        m_claims.erase(claim); // reserved by a seizing device open of ours: the claim is handed over
    } else {
        try {
            usbfs->claimInterface(number);
        } catch (const usb::USBError& error) {
            if (error.status() != usb::Status::exclusiveAccess || mode == usb::OpenMode::exclusive) {
                const std::string holder = ownerLocked(interface).value_or("nobody");
                releaseConnectionLocked(deviceID);
                if (error.status() == usb::Status::exclusiveAccess) {
                    throw usb::USBError(usb::Status::exclusiveAccess,
                                        "open: interface " + name + " is held by " + holder);
                }
                throw;
            }
            lock.unlock();
            askHoldersToLetGo({name}, node);
            lock.lock();
            if (m_claims.contains(key) || !m_entries.contains(interfaceID)) {
                releaseConnectionLocked(deviceID);
                throw usb::USBError(usb::Status::exclusiveAccess,
                                    "open: interface " + name + " changed hands");
            }
            try {
                usbfs->claimInterface(number);
            } catch (const usb::USBError& again) {
                if (again.status() != usb::Status::exclusiveAccess) {
                    releaseConnectionLocked(deviceID);
                    throw;
                }
                // The holder would not let go: the user chose to take the interface anyway.
                log().notice("taking interface %{public}s from its holder", name);
                try {
                    usbfs->disconnectAndClaim(number);
                } catch (const usb::USBError&) {
                    releaseConnectionLocked(deviceID);
                    throw;
                }
            }
        }
    }
    const usb::HandleID handle = m_nextHandle++;
    Handle opened;
    opened.entryID = interfaceID;
    opened.deviceID = deviceID;
    opened.deviceName = deviceName;
    opened.interfaceNumber = number;
    opened.endpoints = endpoints;
    opened.device = std::move(usbfs);
    ++m_connections[deviceID].opens;
    m_handles.emplace(handle, std::move(opened));
    m_claims.insert_or_assign(key, Claim{handle, false});
    return handle;
}

void LinuxBus::askHoldersToLetGo(const std::vector<std::string>& interfaceNames,
                                 const std::filesystem::path& node) {
    const auto release = m_options.holderRelease;
    const auto heldByProgram = [&](const std::string& name) { return m_sysfs.driver(name) == "usbfs"; };
    if (!release || std::none_of(interfaceNames.begin(), interfaceNames.end(), heldByProgram)) {
        return;
    }
    bool asked = false;
    for (const auto& holder : m_processes.openersOf(node, m_self.pid)) {
        asked = release->requestRelease(holder) || asked;
    }
    if (!asked) {
        return;
    }
    const auto deadline = m_clock.deadlineAfter(m_options.releaseWait);
    while (std::any_of(interfaceNames.begin(), interfaceNames.end(), heldByProgram) &&
           m_clock.now() < deadline) {
        m_clock.sleepFor(releasePoll);
    }
}

void LinuxBus::reserveInterfacesLocked(Handle& device, usb::HandleID handle) {
    // The interfaces as the kernel has them now: after a configuration change the registry may not have
    // heard of them yet.
    std::set<std::uint8_t> numbers;
    for (const auto& entry : m_sysfs.scan()) {
        if (entry.kind == SysfsEntry::Kind::interface && entry.deviceName == device.deviceName) {
            numbers.insert(
                static_cast<std::uint8_t>(std::get<std::int64_t>(entry.properties.at("bInterfaceNumber"))));
        }
    }
    for (const auto number : numbers) {
        if (m_claims.contains({device.deviceID, number})) {
            continue; // an open of ours has it already
        }
        try {
            try {
                device.device->claimInterface(number);
            } catch (const usb::USBError& error) {
                if (error.status() != usb::Status::exclusiveAccess) {
                    throw;
                }
                device.device->disconnectAndClaim(number);
            }
            m_claims.insert_or_assign({device.deviceID, number}, Claim{handle, true});
        } catch (const usb::USBError& error) {
            log().error("could not reserve interface %u of %{public}s: %{public}s", number, device.deviceName,
                        error.what());
        }
    }
}

void LinuxBus::dropClaimsLocked(usb::HandleID handle) {
    for (auto claim = m_claims.begin(); claim != m_claims.end();) {
        if (claim->second.holder != handle) {
            ++claim;
            continue;
        }
        if (const auto connection = m_connections.find(claim->first.first);
            connection != m_connections.end()) {
            connection->second.device->releaseInterface(claim->first.second);
        }
        claim = m_claims.erase(claim);
    }
}

void LinuxBus::close(usb::HandleID handle) noexcept {
    std::lock_guard guard(m_mutex);
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) {
        return;
    }
    const Handle closing = std::move(found->second);
    m_handles.erase(found);
    closing.device->abort(handle, std::nullopt, usb::Status::aborted);
    dropClaimsLocked(handle);
    if (auto connection = m_connections.find(closing.deviceID); connection != m_connections.end()) {
        --connection->second.opens;
        releaseConnectionLocked(closing.deviceID);
    }
}

// --- Transfers ---------------------------------------------------------------------------------------

LinuxBus::Handle& LinuxBus::handleLocked(usb::HandleID handle, const char* request) {
    const auto found = m_handles.find(handle);
    if (found == m_handles.end() || found->second.seized) {
        throw usb::USBError(usb::Status::notOpen, request);
    }
    return found->second;
}

std::pair<std::shared_ptr<UsbfsDevice>, UsbfsDevice::TransferType>
LinuxBus::pipeFor(usb::HandleID handle, std::uint8_t endpoint, bool in, const char* request) {
    std::lock_guard guard(m_mutex);
    const Handle& opened = handleLocked(handle, request);
    const auto found = std::find_if(opened.endpoints.begin(), opened.endpoints.end(),
                                    [&](const auto& each) { return each.address == endpoint; });
    if (found == opened.endpoints.end() || (found->direction() == usb::Direction::in) != in) {
        throw usb::USBError(usb::Status::badArgument, request);
    }
    switch (found->transferType()) {
    case usb::TransferType::bulk:
        return {opened.device, UsbfsDevice::TransferType::bulk};
    case usb::TransferType::interrupt:
        return {opened.device, UsbfsDevice::TransferType::interrupt};
    default:
        throw usb::USBError(usb::Status::badArgument, request);
    }
}

std::size_t LinuxBus::readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                               usb::Timeout timeout) {
    const auto [device, type] = pipeFor(handle, endpoint, true, "readPipe");
    return device->transfer(type, endpoint, buffer, timeout, handle, "readPipe");
}

std::size_t LinuxBus::writePipe(usb::HandleID handle, std::uint8_t endpoint, std::span<const std::byte> data,
                                usb::Timeout timeout) {
    const auto [device, type] = pipeFor(handle, endpoint, false, "writePipe");
    // usbfs only reads an OUT transfer's buffer.
    const std::span<std::byte> buffer(const_cast<std::byte*>(data.data()), data.size());
    return device->transfer(type, endpoint, buffer, timeout, handle, "writePipe");
}

std::vector<std::byte> LinuxBus::controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                                std::span<const std::byte> data, usb::Timeout timeout) {
    const std::uint8_t recipient = setup.requestType & 0x1F;
    if (setup.isStandard() && !setup.isDeviceToHost()) {
        // The kernel must know about these, or its view of the device goes stale.
        if (setup.request == usb::requestSetConfiguration && recipient == 0) {
            setConfiguration(handle, static_cast<std::uint8_t>(setup.value & 0xFF));
            return {};
        }
        if (setup.request == usb::requestClearFeature && recipient == 2 &&
            setup.value == usb::featureEndpointHalt) {
            clearStall(handle, static_cast<std::uint8_t>(setup.index & 0xFF));
            return {};
        }
    }
    std::shared_ptr<UsbfsDevice> device;
    {
        std::lock_guard guard(m_mutex);
        device = handleLocked(handle, "controlRequest").device;
    }
    return device->control(setup, data, timeout, handle, "controlRequest");
}

void LinuxBus::clearStall(usb::HandleID handle, std::uint8_t endpoint) {
    std::shared_ptr<UsbfsDevice> device;
    {
        std::lock_guard guard(m_mutex);
        device = handleLocked(handle, "clearStall").device;
    }
    device->clearHalt(endpoint);
}

void LinuxBus::abortPipe(usb::HandleID handle, std::uint8_t endpoint) {
    std::lock_guard guard(m_mutex);
    handleLocked(handle, "abortPipe").device->abort(handle, endpoint, usb::Status::aborted);
}

std::uint8_t LinuxBus::configuration(usb::HandleID device) {
    std::lock_guard guard(m_mutex);
    return m_sysfs.configuration(handleLocked(device, "configuration").deviceName);
}

void LinuxBus::setConfiguration(usb::HandleID device, std::uint8_t value) {
    std::unique_lock lock(m_mutex);
    Handle& opened = handleLocked(device, "setConfiguration");
    if (opened.interfaceNumber) {
        throw usb::USBError(usb::Status::badArgument, "setConfiguration on an interface");
    }
    // The kernel refuses while any interface is claimed, our own reservations included: they go first.
    for (auto claim = m_claims.begin(); claim != m_claims.end();) {
        if (claim->second.holder == device && claim->second.reserved) {
            opened.device->releaseInterface(claim->first.second);
            claim = m_claims.erase(claim);
        } else {
            ++claim;
        }
    }
    const auto usbfs = opened.device;
    lock.unlock();
    usbfs->setConfiguration(value);
    lock.lock();
    if (const auto found = m_handles.find(device);
        found != m_handles.end() && found->second.seizing && value != 0) {
        // The re-created interfaces are ours before anyone else's claim can come between.
        reserveInterfacesLocked(found->second, device);
    }
    refreshLocked();
    lock.unlock();
    wakeMonitor();
}

} // namespace usbfs
