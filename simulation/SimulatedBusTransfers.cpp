// The pipes of the simulated bus: host transfers meet the device function here.
#include "simulation/SimulatedBus.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>

namespace simulation {

namespace {

constexpr auto century = std::chrono::hours(24 * 365 * 100);

std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string timeoutText(usb::Timeout timeout) {
    return timeout == usb::noTimeout ? "none" : std::to_string(timeout.count()) + "ms";
}

std::string transferDetail(std::uint8_t endpoint, std::size_t length, usb::Timeout timeout) {
    return "ep=" + hexByte(endpoint) + " length=" + std::to_string(length) +
           " timeout=" + timeoutText(timeout);
}

std::string setupDetail(const usb::ControlSetup& setup, usb::Timeout timeout) {
    return "type=" + hexByte(setup.requestType) + " request=" + hexByte(setup.request) +
           " value=" + std::to_string(setup.value) + " index=" + std::to_string(setup.index) +
           " length=" + std::to_string(setup.length) + " timeout=" + timeoutText(timeout);
}

std::string failureText(const usb::USBError& error) {
    return std::string(usb::name(error.status()));
}

// Calls into a device function under its mutex. A function that throws is a broken device: the host
// sees an error, not a crash.
template <typename Call> auto callFunction(std::mutex& functionMutex, const char* request, Call&& call) {
    std::lock_guard guard(functionMutex);
    try {
        return call();
    } catch (const std::exception&) {
        throw usb::USBError(usb::Status::error, request);
    }
}

// Releases the pipe of a transfer however the transfer ends, re-taking m_mutex if a throw left it free.
class TransferScope {
public:
    TransferScope(std::unique_lock<std::mutex>& lock, std::function<void()> finish)
        : m_lock(lock), m_finish(std::move(finish)) {}
    ~TransferScope() {
        if (!m_lock.owns_lock()) {
            m_lock.lock();
        }
        m_finish();
    }
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

private:
    std::unique_lock<std::mutex>& m_lock;
    std::function<void()> m_finish;
};

} // namespace

platform::Clock::TimePoint SimulatedBus::deadlineFor(usb::Timeout timeout) const {
    if (timeout == usb::noTimeout || timeout >= century) {
        return platform::Clock::TimePoint::max();
    }
    return m_clock.deadlineAfter(std::chrono::duration_cast<platform::Clock::Duration>(timeout));
}

SimulatedBus::Transfer SimulatedBus::beginTransfer(std::unique_lock<std::mutex>& lock, usb::HandleID handle,
                                                   std::uint8_t endpoint, PipeUse use,
                                                   platform::Clock::TimePoint deadline, const char* request) {
    const Handle& opened = openHandleLocked(handle, request);
    const auto entry = m_entries.find(opened.entryID);
    const auto device = m_devices.find(opened.deviceID);
    if (entry == m_entries.end() || device == m_devices.end()) {
        throw usb::USBError(usb::Status::noDevice, request);
    }
    if (use == PipeUse::control) {
        endpoint = usb::controlEndpoint;
    } else {
        // Data pipes belong to an interface: the handle must be that interface's, and the endpoint one of
        // its own, of the right direction and kind.
        const auto& endpoints = entry->second.endpoints;
        const auto descriptor = std::find_if(endpoints.begin(), endpoints.end(),
                                             [&](const auto& each) { return each.address == endpoint; });
        if (!entry->second.isInterface || endpoint == usb::controlEndpoint || descriptor == endpoints.end()) {
            throw usb::USBError(usb::Status::badArgument, request);
        }
        const auto type = descriptor->transferType();
        const bool fits = use == PipeUse::readIn
                              ? descriptor->direction() == usb::Direction::in &&
                                    (type == usb::TransferType::bulk || type == usb::TransferType::interrupt)
                              : descriptor->direction() == usb::Direction::out &&
                                    type != usb::TransferType::isochronous &&
                                    type != usb::TransferType::control;
        if (!fits) {
            throw usb::USBError(usb::Status::badArgument, request);
        }
    }
    const auto pipe = device->second.pipes.find(endpoint);
    if (pipe == device->second.pipes.end()) {
        throw usb::USBError(usb::Status::noDevice, request);
    }

    Transfer transfer;
    transfer.handle = handle;
    transfer.entryID = opened.entryID;
    transfer.deviceID = opened.deviceID;
    transfer.endpoint = endpoint;
    transfer.pipeSerial = pipe->second.serial;
    transfer.packetSize = std::max<std::size_t>(1, pipe->second.descriptor.packetSize());
    transfer.function = device->second.spec.function;
    transfer.functionMutex = device->second.functionMutex;

    // One transfer at a time per pipe, as a host controller queues them.
    const bool free = m_clock.waitUntil(lock, m_changed, deadline, {}, [&] {
        return transferEndLocked(transfer, false).has_value() || !pipeLocked(transfer)->busy;
    });
    if (const auto end = transferEndLocked(transfer, false)) {
        throw usb::USBError(*end, request);
    }
    if (!free) {
        throw usb::USBError(usb::Status::timeout, request);
    }
    Pipe* current = pipeLocked(transfer);
    current->busy = true;
    transfer.abortGeneration = current->abortGeneration;
    return transfer;
}

void SimulatedBus::finishTransfer(const Transfer& transfer) noexcept {
    if (Pipe* pipe = pipeLocked(transfer)) {
        pipe->busy = false;
    }
    m_changed.notify_all();
}

const SimulatedBus::Handle& SimulatedBus::openHandleLocked(usb::HandleID handle, const char* request) const {
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) {
        throw usb::USBError(usb::Status::notOpen, request);
    }
    if (found->second.seized) {
        throw usb::USBError(usb::Status::noDevice, request);
    }
    return found->second;
}

SimulatedBus::Pipe* SimulatedBus::pipeLocked(const Transfer& transfer) {
    const auto device = m_devices.find(transfer.deviceID);
    if (device == m_devices.end()) {
        return nullptr;
    }
    const auto pipe = device->second.pipes.find(transfer.endpoint);
    if (pipe == device->second.pipes.end() || pipe->second.serial != transfer.pipeSerial) {
        return nullptr;
    }
    return &pipe->second;
}

std::optional<usb::Status> SimulatedBus::transferEndLocked(const Transfer& transfer, bool started) {
    const auto handle = m_handles.find(transfer.handle);
    if (handle == m_handles.end()) {
        return usb::Status::aborted; // closed while the transfer ran
    }
    if (handle->second.seized) {
        return usb::Status::noDevice; // to its holder, a seize by someone else is as good as an unplug
    }
    const Pipe* pipe = pipeLocked(transfer);
    if (!m_entries.contains(transfer.entryID) || pipe == nullptr) {
        return usb::Status::noDevice;
    }
    if (started && pipe->abortGeneration != transfer.abortGeneration) {
        return usb::Status::aborted;
    }
    return std::nullopt;
}

void SimulatedBus::checkTransferLocked(const Transfer& transfer, const char* request) {
    if (const auto end = transferEndLocked(transfer, true)) {
        throw usb::USBError(*end, request);
    }
}

std::uint64_t SimulatedBus::wakeGenerationLocked(const Transfer& transfer) {
    const auto device = m_devices.find(transfer.deviceID);
    return device == m_devices.end() ? 0 : device->second.wakeGeneration;
}

void SimulatedBus::waitForChange(std::unique_lock<std::mutex>& lock, const Transfer& transfer,
                                 std::uint64_t wakeGeneration, platform::Clock::TimePoint deadline,
                                 const char* request) {
    const bool changed = m_clock.waitUntil(lock, m_changed, deadline, {}, [&] {
        return transferEndLocked(transfer, true).has_value() ||
               wakeGenerationLocked(transfer) != wakeGeneration;
    });
    checkTransferLocked(transfer, request);
    if (!changed) {
        throw usb::USBError(usb::Status::timeout, request);
    }
}

std::optional<TransferFault> SimulatedBus::takeFaultLocked(const Transfer& transfer) {
    const auto device = m_devices.find(transfer.deviceID);
    if (device == m_devices.end()) {
        return std::nullopt;
    }
    auto queue = device->second.faults.find(transfer.endpoint);
    if (queue == device->second.faults.end() || queue->second.empty()) {
        return std::nullopt;
    }
    auto& [fault, left] = queue->second.front();
    const TransferFault taken = fault;
    if (left != SIZE_MAX && --left == 0) {
        queue->second.pop_front();
    }
    return taken;
}

void SimulatedBus::applyFault(std::unique_lock<std::mutex>& lock, const Transfer& transfer,
                              const TransferFault& fault, platform::Clock::TimePoint deadline,
                              const char* request) {
    switch (fault.kind) {
    case TransferFault::Kind::timeout:
        // Nothing but a close, an abort or an unplug ends the wait early.
        m_clock.waitUntil(lock, m_changed, deadline, {},
                          [&] { return transferEndLocked(transfer, true).has_value(); });
        checkTransferLocked(transfer, request);
        throw usb::USBError(usb::Status::timeout, request);
    case TransferFault::Kind::stall:
        if (transfer.endpoint != usb::controlEndpoint) {
            pipeLocked(transfer)->halted = true;
        }
        throw usb::USBError(usb::Status::stalled, request);
    case TransferFault::Kind::disconnect:
        unplugLocked(transfer.deviceID);
        throw usb::USBError(usb::Status::noDevice, request);
    case TransferFault::Kind::fail:
        throw usb::USBError(fault.status, request);
    case TransferFault::Kind::shortWrite:
        return; // the write itself applies it
    }
}

void SimulatedBus::disconnectFromFunction(const Transfer& transfer, const char* request) {
    unplugLocked(transfer.deviceID);
    throw usb::USBError(usb::Status::noDevice, request);
}

// --- Bulk and interrupt pipes ------------------------------------------------------------------------

namespace {

// Moves packets of the pipe's pending IN transfer into the host's buffer, as a host controller would:
// whole packets while they fit; a short packet or a zero-length packet ends the read, and so does a full
// buffer. Returns true when the read is complete, false when it needs the device's next transfer.
template <typename Pipe>
bool takePackets(Pipe& pipe, std::span<std::byte> out, std::size_t& filled, std::size_t packetSize,
                 const char* request) {
    while (pipe.hasPending) {
        const std::size_t room = out.size() - filled;
        const std::size_t left = pipe.pending.size() - pipe.offset;
        if (left == 0) {
            pipe.hasPending = false; // the zero-length packet that ends the transfer
            pipe.pending.clear();
            return true;
        }
        const std::size_t next = std::min(packetSize, left);
        if (next > room) {
            // A packet larger than the room left is babble: the host controller drops it and fails.
            pipe.offset += next;
            if (pipe.offset == pipe.pending.size() && !pipe.zeroLengthPacketAfter) {
                pipe.hasPending = false;
                pipe.pending.clear();
            }
            throw usb::USBError(usb::Status::overrun, request);
        }
        std::size_t take = std::min(left / packetSize, room / packetSize) * packetSize;
        if (take == 0) {
            take = next; // the short last packet, which fits
        }
        const auto begin = pipe.pending.begin() + static_cast<std::ptrdiff_t>(pipe.offset);
        std::copy(begin, begin + static_cast<std::ptrdiff_t>(take),
                  out.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += take;
        pipe.offset += take;
        const bool shortPacket = take % packetSize != 0;
        if (pipe.offset == pipe.pending.size() && !pipe.zeroLengthPacketAfter) {
            pipe.hasPending = false;
            pipe.pending.clear();
        }
        if (shortPacket || filled == out.size()) {
            return true;
        }
    }
    return false;
}

} // namespace

std::size_t SimulatedBus::readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                                   usb::Timeout timeout) {
    constexpr const char* request = "readPipe";
    const std::string detail = transferDetail(endpoint, buffer.size(), timeout);
    usb::RegistryEntryID entryID = 0;
    try {
        std::unique_lock lock(m_mutex);
        const auto deadline = deadlineFor(timeout);
        const Transfer transfer = beginTransfer(lock, handle, endpoint, PipeUse::readIn, deadline, request);
        TransferScope scope(lock, [&] { finishTransfer(transfer); });
        entryID = transfer.entryID;
        if (pipeLocked(transfer)->halted) {
            throw usb::USBError(usb::Status::stalled, request);
        }
        if (const auto fault = takeFaultLocked(transfer)) {
            applyFault(lock, transfer, *fault, deadline, request);
        }
        std::size_t filled = 0;
        while (!takePackets(*pipeLocked(transfer), buffer, filled, transfer.packetSize, request)) {
            const std::uint64_t wakeGeneration = wakeGenerationLocked(transfer);
            usb::InReply reply = usb::InReply::of(usb::Reply::notYet);
            if (transfer.function) {
                lock.unlock();
                reply = callFunction(*transfer.functionMutex, request, [&] {
                    return transfer.function->produceIn(endpoint, transfer.packetSize);
                });
                lock.lock();
                checkTransferLocked(transfer, request);
            }
            switch (reply.reply) {
            case usb::Reply::done: {
                Pipe& pipe = *pipeLocked(transfer);
                const std::size_t size = reply.transfer.data.size();
                pipe.pending = std::move(reply.transfer.data);
                pipe.offset = 0;
                pipe.hasPending = true;
                pipe.zeroLengthPacketAfter =
                    size == 0 ||
                    (size % transfer.packetSize == 0 &&
                     reply.transfer.zeroLengthPacket == usb::InTransfer::ZeroLengthPacket::whenAligned);
                break;
            }
            case usb::Reply::notYet:
                waitForChange(lock, transfer, wakeGeneration, deadline, request);
                break;
            case usb::Reply::stall:
                pipeLocked(transfer)->halted = true;
                throw usb::USBError(usb::Status::stalled, request);
            case usb::Reply::disconnect:
                disconnectFromFunction(transfer, request);
            }
        }
        log(request, entryID, detail, std::to_string(filled) + " bytes");
        return filled;
    } catch (const usb::USBError& error) {
        log(request, entryID, detail, failureText(error));
        throw;
    }
}

std::size_t SimulatedBus::writePipe(usb::HandleID handle, std::uint8_t endpoint,
                                    std::span<const std::byte> data, usb::Timeout timeout) {
    constexpr const char* request = "writePipe";
    const std::string detail = transferDetail(endpoint, data.size(), timeout);
    usb::RegistryEntryID entryID = 0;
    try {
        std::unique_lock lock(m_mutex);
        const auto deadline = deadlineFor(timeout);
        const Transfer transfer = beginTransfer(lock, handle, endpoint, PipeUse::writeOut, deadline, request);
        TransferScope scope(lock, [&] { finishTransfer(transfer); });
        entryID = transfer.entryID;
        if (pipeLocked(transfer)->halted) {
            throw usb::USBError(usb::Status::stalled, request);
        }
        std::span<const std::byte> sent = data;
        if (const auto fault = takeFaultLocked(transfer)) {
            applyFault(lock, transfer, *fault, deadline, request);
            sent = data.first(std::min(fault->bytes, data.size()));
        }
        while (true) {
            const std::uint64_t wakeGeneration = wakeGenerationLocked(transfer);
            usb::Reply reply = usb::Reply::notYet;
            if (transfer.function) {
                lock.unlock();
                reply = callFunction(*transfer.functionMutex, request,
                                     [&] { return transfer.function->receiveOut(endpoint, sent); });
                lock.lock();
                checkTransferLocked(transfer, request);
            }
            switch (reply) {
            case usb::Reply::done:
                log(request, entryID, detail, std::to_string(sent.size()) + " bytes");
                return sent.size();
            case usb::Reply::notYet:
                waitForChange(lock, transfer, wakeGeneration, deadline, request);
                break;
            case usb::Reply::stall:
                pipeLocked(transfer)->halted = true;
                throw usb::USBError(usb::Status::stalled, request);
            case usb::Reply::disconnect:
                disconnectFromFunction(transfer, request);
            }
        }
    } catch (const usb::USBError& error) {
        log(request, entryID, detail, failureText(error));
        throw;
    }
}

// --- Control pipe ------------------------------------------------------------------------------------

std::vector<std::byte> SimulatedBus::controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                                    std::span<const std::byte> data, usb::Timeout timeout) {
    constexpr const char* request = "controlRequest";
    const std::string detail = setupDetail(setup, timeout);
    usb::RegistryEntryID entryID = 0;
    try {
        std::unique_lock lock(m_mutex);
        if (const auto found = m_handles.find(handle); found != m_handles.end()) {
            entryID = found->second.entryID;
        }
        // The data stage is the host's for a host-to-device request and the device's otherwise.
        if (setup.isDeviceToHost() ? !data.empty() : data.size() != setup.length) {
            throw usb::USBError(usb::Status::badArgument, request);
        }
        if (setup.isStandard()) {
            const std::uint8_t recipient = setup.requestType & 0x1F;
            if (setup.request == usb::requestGetConfiguration && setup.isDeviceToHost() && recipient == 0) {
                const auto device = m_devices.find(openHandleLocked(handle, request).deviceID);
                if (device == m_devices.end()) {
                    throw usb::USBError(usb::Status::noDevice, request);
                }
                std::vector<std::byte> reply;
                if (setup.length > 0) {
                    reply.push_back(std::byte{device->second.configuration});
                }
                log(request, entryID, detail, std::to_string(reply.size()) + " bytes");
                return reply;
            }
            if (setup.request == usb::requestSetConfiguration && !setup.isDeviceToHost() && recipient == 0) {
                applyConfiguration(lock, handle, static_cast<std::uint8_t>(setup.value & 0xFF), request);
                log(request, entryID, detail, "0 bytes");
                return {};
            }
            if (setup.request == usb::requestClearFeature && recipient == 2 &&
                setup.value == usb::featureEndpointHalt) {
                clearHalt(lock, handle, static_cast<std::uint8_t>(setup.index & 0xFF), request);
                log(request, entryID, detail, "0 bytes");
                return {};
            }
        }
        const auto deadline = deadlineFor(timeout);
        const Transfer transfer =
            beginTransfer(lock, handle, usb::controlEndpoint, PipeUse::control, deadline, request);
        TransferScope scope(lock, [&] { finishTransfer(transfer); });
        if (const auto fault = takeFaultLocked(transfer)) {
            applyFault(lock, transfer, *fault, deadline, request);
        }
        while (true) {
            const std::uint64_t wakeGeneration = wakeGenerationLocked(transfer);
            usb::ControlReply reply = usb::ControlReply::of(usb::Reply::stall);
            if (transfer.function) {
                lock.unlock();
                reply = callFunction(*transfer.functionMutex, request,
                                     [&] { return transfer.function->handleControl(setup, data); });
                lock.lock();
                checkTransferLocked(transfer, request);
            }
            switch (reply.reply) {
            case usb::Reply::done:
                if (!setup.isDeviceToHost()) {
                    reply.data.clear();
                } else if (reply.data.size() > setup.length) {
                    reply.data.resize(setup.length);
                }
                log(request, entryID, detail, std::to_string(reply.data.size()) + " bytes");
                return std::move(reply.data);
            case usb::Reply::notYet:
                waitForChange(lock, transfer, wakeGeneration, deadline, request);
                break;
            case usb::Reply::stall:
                // A control pipe stall fails only this request; the next set-up packet clears it.
                throw usb::USBError(usb::Status::stalled, request);
            case usb::Reply::disconnect:
                disconnectFromFunction(transfer, request);
            }
        }
    } catch (const usb::USBError& error) {
        log(request, entryID, detail, failureText(error));
        throw;
    }
}

void SimulatedBus::clearHalt(std::unique_lock<std::mutex>& lock, usb::HandleID handle, std::uint8_t endpoint,
                             const char* request) {
    const Handle& opened = openHandleLocked(handle, request);
    const auto entry = m_entries.find(opened.entryID);
    const auto device = m_devices.find(opened.deviceID);
    if (entry == m_entries.end() || device == m_devices.end()) {
        throw usb::USBError(usb::Status::noDevice, request);
    }
    if (endpoint == usb::controlEndpoint) {
        return; // the control pipe never stays halted
    }
    const auto& endpoints = entry->second.endpoints;
    const bool own = std::any_of(endpoints.begin(), endpoints.end(),
                                 [&](const auto& each) { return each.address == endpoint; });
    const auto pipe = device->second.pipes.find(endpoint);
    if (!own || pipe == device->second.pipes.end()) {
        throw usb::USBError(usb::Status::badArgument, request);
    }
    // Clearing the halt resets the endpoint on both ends: what the device had queued is gone, and a
    // transfer still running on the pipe ends.
    pipe->second.halted = false;
    pipe->second.hasPending = false;
    pipe->second.pending.clear();
    pipe->second.offset = 0;
    ++pipe->second.abortGeneration;
    m_changed.notify_all();
    const auto function = device->second.spec.function;
    const auto functionMutex = device->second.functionMutex;
    if (function) {
        lock.unlock();
        callFunction(*functionMutex, request, [&] { function->haltCleared(endpoint); });
        lock.lock();
    }
}

void SimulatedBus::runLoggedOnHandle(const char* request, usb::HandleID handle, const std::string& detail,
                                     const std::function<void(std::unique_lock<std::mutex>&)>& body) {
    usb::RegistryEntryID entryID = 0;
    try {
        std::unique_lock lock(m_mutex);
        if (const auto found = m_handles.find(handle); found != m_handles.end()) {
            entryID = found->second.entryID;
        }
        body(lock);
        log(request, entryID, detail, "ok");
    } catch (const usb::USBError& error) {
        log(request, entryID, detail, failureText(error));
        throw;
    }
}

void SimulatedBus::clearStall(usb::HandleID handle, std::uint8_t endpoint) {
    constexpr const char* request = "clearStall";
    runLoggedOnHandle(request, handle, "ep=" + hexByte(endpoint), [&](std::unique_lock<std::mutex>& lock) {
        clearHalt(lock, handle, endpoint, request);
    });
}

void SimulatedBus::abortPipe(usb::HandleID handle, std::uint8_t endpoint) {
    constexpr const char* request = "abortPipe";
    runLoggedOnHandle(request, handle, "ep=" + hexByte(endpoint), [&](std::unique_lock<std::mutex>&) {
        const auto device = m_devices.find(openHandleLocked(handle, request).deviceID);
        if (device != m_devices.end()) {
            if (const auto pipe = device->second.pipes.find(endpoint); pipe != device->second.pipes.end()) {
                ++pipe->second.abortGeneration;
                m_changed.notify_all();
            }
        }
    });
}

// --- Endpoints and configuration ---------------------------------------------------------------------

std::vector<usb::EndpointDescriptor> SimulatedBus::endpoints(usb::RegistryEntryID interfaceID) {
    std::lock_guard guard(m_mutex);
    const auto found = m_entries.find(interfaceID);
    if (found == m_entries.end()) {
        log("endpoints", interfaceID, "", "notFound");
        throw usb::USBError(usb::Status::notFound, "endpoints");
    }
    log("endpoints", interfaceID, "", std::to_string(found->second.endpoints.size()) + " endpoints");
    return found->second.endpoints;
}

std::uint8_t SimulatedBus::configuration(usb::HandleID device) {
    constexpr const char* request = "configuration";
    std::lock_guard guard(m_mutex);
    usb::RegistryEntryID entryID = 0;
    try {
        const Handle& opened = openHandleLocked(device, request);
        entryID = opened.entryID;
        const auto state = m_devices.find(opened.deviceID);
        if (state == m_devices.end()) {
            throw usb::USBError(usb::Status::noDevice, request);
        }
        log(request, entryID, "", std::to_string(state->second.configuration));
        return state->second.configuration;
    } catch (const usb::USBError& error) {
        log(request, entryID, "", failureText(error));
        throw;
    }
}

void SimulatedBus::setConfiguration(usb::HandleID device, std::uint8_t value) {
    constexpr const char* request = "setConfiguration";
    runLoggedOnHandle(
        request, device, "value=" + std::to_string(value),
        [&](std::unique_lock<std::mutex>& lock) { applyConfiguration(lock, device, value, request); });
}

std::uint8_t SimulatedBus::applyConfiguration(std::unique_lock<std::mutex>& lock, usb::HandleID handle,
                                              std::uint8_t value, const char* request) {
    const Handle& opened = openHandleLocked(handle, request);
    if (opened.entryID != opened.deviceID) {
        throw usb::USBError(usb::Status::badArgument, request); // only the device's own open may
    }
    const auto state = m_devices.find(opened.deviceID);
    if (state == m_devices.end()) {
        throw usb::USBError(usb::Status::noDevice, request);
    }
    Device& device = state->second;
    if (value != 0 && value != device.spec.configuration) {
        throw usb::USBError(usb::Status::stalled, request); // the device refuses a configuration it lacks
    }
    terminateInterfacesLocked(device);
    device.configuration = value;
    const std::uint64_t generation = ++device.configurationGeneration;
    if (value != 0 && device.spec.republishDelay) {
        m_scheduled.emplace(m_clock.now() + *device.spec.republishDelay,
                            std::make_pair(device.id, generation));
        m_workerWake.notify_all();
    }
    const auto function = device.spec.function;
    const auto functionMutex = device.functionMutex;
    if (function) {
        lock.unlock();
        callFunction(*functionMutex, request, [&] { function->configurationChanged(value); });
        lock.lock();
    }
    return value;
}

} // namespace simulation
