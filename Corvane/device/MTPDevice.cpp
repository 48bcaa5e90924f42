#include "Corvane/device/MTPDevice.h"

#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"

#include <stdexcept>
#include <utility>

namespace corvane {

namespace {

constexpr std::uint16_t sessionAlreadyOpen = 0x201E;
constexpr std::uint16_t sessionNotOpen = 0x2003;

MTPTrace makeTrace(const MTPDevice::Context& context) {
    return MTPTrace(MTPTrace::isRequested(*context.environment), *context.environment, *context.logStore,
                    context.standardError);
}

} // namespace

// Holding the device

MTPDevice::Hold::Hold(MTPDevice& device) : Hold(device, Inside::refuse) {}

MTPDevice::Hold::Hold(MTPDevice& device, Inside inside) : m_device(device) {
    if (m_device.m_holder.load() == std::this_thread::get_id()) {
        // This thread already holds the device (an operation inside a longer hold): joining is safe
        // between transactions, but not from a sink or provider in the middle of one.
        if (inside == Inside::refuse && m_device.m_engine.isRunning()) {
            throw PTPError::deviceBusy("the device was called from inside its own data phase");
        }
        m_joined = true;
        return;
    }
    m_device.m_operation.lock();
    m_device.m_holder.store(std::this_thread::get_id());
}

MTPDevice::Hold::~Hold() {
    if (m_joined) {
        return;
    }
    m_device.m_holder.store(std::thread::id());
    m_device.m_operation.unlock();
}

MTPDevice::Hold MTPDevice::hold() {
    return Hold(*this);
}

TransactionEngine& MTPDevice::Session::engine() {
    if (m_device.m_holder.load() != std::this_thread::get_id()) {
        throw std::logic_error("an MTP operation ran on a thread that does not hold the device");
    }
    return m_device.m_engine;
}

// Creation

std::shared_ptr<MTPDevice> MTPDevice::connect(const USBDeviceDescriptor& descriptor,
                                              std::optional<TransportKind> transport, TakeOver takeOver,
                                              std::function<void()> onDisconnect, const Context& context) {
    const TransportKind kind = chooseTransportKind(transport, *context.environment);
    const TransportFactory factory =
        context.transportFactory != nullptr ? *context.transportFactory : TransportFactory::installed();
    std::unique_ptr<PTPTransport> opened = factory.make(kind, descriptor, takeOver, std::move(onDisconnect));
    return std::make_shared<MTPDevice>(std::move(opened), descriptor, context);
}

MTPDevice::MTPDevice(std::unique_ptr<PTPTransport> transport, USBDeviceDescriptor descriptor,
                     const Context& context)
    : m_descriptor(std::move(descriptor)),
      m_engine(std::move(transport), makeTrace(context), *context.clock) {
    m_engine.setSessionLostHandler([this] { reopenAfterReset(); });
}

MTPDevice::~MTPDevice() = default;

// Accessors

std::optional<DeviceInfo> MTPDevice::info() const {
    const auto snapshot = infoSnapshot();
    if (!snapshot) {
        return std::nullopt;
    }
    return *snapshot;
}

bool MTPDevice::isConnected() const {
    // The transport guards its own state; asking it does not need the device.
    return m_engine.transport().isConnected();
}

void MTPDevice::requireOperation(PTPOperation operation) const {
    const auto snapshot = infoSnapshot();
    if (snapshot && !snapshot->supports(operation)) {
        throw PTPError::notSupported(operation);
    }
}

void MTPDevice::storeInfo(DeviceInfo info) {
    auto stored = std::make_shared<const DeviceInfo>(std::move(info));
    std::lock_guard lock(m_infoMutex);
    m_info = std::move(stored);
}

std::shared_ptr<const DeviceInfo> MTPDevice::infoSnapshot() const {
    std::lock_guard lock(m_infoMutex);
    return m_info;
}

// Session lifecycle

void MTPDevice::openSessionExchange() {
    const std::uint32_t params[] = {PTPConstants::defaultSessionID};
    try {
        m_engine.exchange(PTPOperation::openSession, 0, params);
    } catch (const PTPError& error) {
        if (error.kind() != PTPError::Kind::responseError || error.code() != sessionAlreadyOpen) {
            throw;
        }
        // A session left open by an earlier host process: close it and open ours once more.
        try {
            m_engine.transaction(PTPOperation::closeSession, {});
        } catch (const PTPError&) {
            // Whatever the device says to the close, only the second OpenSession decides.
        }
        m_engine.setNextTransactionID(1);
        m_engine.exchange(PTPOperation::openSession, 0, params);
    }
}

void MTPDevice::reopenAfterReset() {
    // The engine reset the device to recover from a broken transaction, which ended the session; a session
    // that the caller had open is opened again so that the next operation finds it as it left it. When
    // that fails the recovery has failed, and the engine decides what it means.
    if (!m_sessionOpen) {
        return;
    }
    m_sessionOpen = false;
    m_engine.setNextTransactionID(1);
    openSessionExchange();
    m_sessionOpen = true;
}

DeviceInfo MTPDevice::Session::open() {
    MTPDevice& d = m_device;
    engine(); // the session's state is the holder's
    std::optional<DeviceInfo> info;
    try {
        const Response response =
            d.m_engine.transaction(PTPOperation::getDeviceInfo, {}, DataPhase::receive());
        info = DeviceInfo::parse(response.data);
        d.storeInfo(*info);
    } catch (const PTPError& error) {
        // PTP allows GetDeviceInfo outside a session, but some responders answer it only inside one:
        // open the session first and ask again.
        if (error.kind() != PTPError::Kind::responseError || error.code() != sessionNotOpen) {
            throw;
        }
    }
    d.m_engine.setNextTransactionID(1);
    d.openSessionExchange();
    d.m_sessionOpen = true;
    if (!info) {
        const Response response =
            d.m_engine.transaction(PTPOperation::getDeviceInfo, {}, DataPhase::receive());
        info = DeviceInfo::parse(response.data);
        d.storeInfo(*info);
    }
    return *info;
}

void MTPDevice::Session::resetDevice() {
    MTPDevice& d = m_device;
    engine().transport().resetDevice();
    d.m_engine.setNextTransactionID(0);
    d.m_sessionOpen = false;
}

MTPDevice::Response MTPDevice::Session::transaction(PTPOperation operation,
                                                    std::span<const std::uint32_t> params,
                                                    const DataPhase& phase) {
    return engine().transaction(operation, params, phase);
}

MTPDevice::Response MTPDevice::Session::received(PTPOperation operation,
                                                 std::initializer_list<std::uint32_t> params,
                                                 std::uint64_t limit) {
    return engine().transaction(operation, params, DataPhase::receive(limit));
}

void MTPDevice::close() noexcept {
    // Taking the mutex cannot fail in practice; a close from inside a data phase joins the hold.
    const Hold held(*this, Hold::Inside::allow);
    if (m_sessionOpen) {
        m_sessionOpen = false;
        // From inside a data phase the CloseSession would land in the middle of the transfer; the transport
        // is closed all the same, which ends the session on the device's side too.
        if (!m_engine.isRunning()) {
            try {
                m_engine.transaction(PTPOperation::closeSession, {});
            } catch (...) {
                // The transport is closed whatever the device answered.
            }
        }
    }
    m_engine.transport().close();
}

} // namespace corvane
