#include "Corvane/device/MTPDevice.h"

#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"

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

MTPDevice::Hold::Hold(MTPDevice& device, Inside inside) : m_device(device) {
    if (m_device.m_holder.load() == std::this_thread::get_id()) {
        // This thread already holds the device (an operation called inside exclusive()): joining is safe
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
    // that the caller had open is opened again so that the next operation finds it as it left it.
    if (!m_sessionOpen) {
        return;
    }
    m_sessionOpen = false;
    m_engine.setNextTransactionID(1);
    try {
        openSessionExchange();
        m_sessionOpen = true;
    } catch (const PTPError&) {
        // The session stays closed; the next operation reports what the device then says.
    }
}

DeviceInfo MTPDevice::Session::open() {
    MTPDevice& d = m_device;
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

void MTPDevice::Session::close() noexcept {
    MTPDevice& d = m_device;
    if (d.m_sessionOpen) {
        d.m_sessionOpen = false;
        // From inside a data phase the CloseSession would land in the middle of the transfer; the transport
        // is closed all the same, which ends the session on the device's side too.
        if (!d.m_engine.isRunning()) {
            try {
                d.m_engine.transaction(PTPOperation::closeSession, {});
            } catch (...) {
                // The transport is closed whatever the device answered.
            }
        }
    }
    d.m_engine.transport().close();
}

void MTPDevice::Session::resetDevice() {
    MTPDevice& d = m_device;
    d.m_engine.transport().resetDevice();
    d.m_engine.setNextTransactionID(0);
    d.m_sessionOpen = false;
}

MTPDevice::Response MTPDevice::Session::transaction(PTPOperation operation,
                                                    std::span<const std::uint32_t> params,
                                                    const DataPhase& phase) {
    return m_device.m_engine.transaction(operation, params, phase);
}

MTPDevice::Response MTPDevice::Session::received(PTPOperation operation,
                                                 std::initializer_list<std::uint32_t> params,
                                                 std::uint64_t limit) {
    return m_device.m_engine.transaction(operation, params, DataPhase::receive(limit));
}

// The device's own operations: each takes the device for its run and does what the session does.

DeviceInfo MTPDevice::open() {
    const Hold hold(*this);
    return m_session.open();
}

void MTPDevice::close() noexcept {
    // Taking the mutex cannot fail in practice; a close from inside a data phase joins the hold.
    const Hold hold(*this, Hold::Inside::allow);
    m_session.close();
}

void MTPDevice::resetDevice() {
    const Hold hold(*this);
    m_session.resetDevice();
}

MTPDevice::Response MTPDevice::transaction(PTPOperation operation, std::span<const std::uint32_t> params,
                                           const DataPhase& phase) {
    const Hold hold(*this);
    return m_session.transaction(operation, params, phase);
}

MTPDevice::Response MTPDevice::transaction(PTPOperation operation,
                                           std::initializer_list<std::uint32_t> params,
                                           const DataPhase& phase) {
    const Hold hold(*this);
    return m_session.transaction(operation, params, phase);
}

DeviceInfo MTPDevice::getDeviceInfo() {
    return exclusive([&](Session& s) { return s.getDeviceInfo(); });
}

std::vector<std::uint32_t> MTPDevice::getStorageIDs() {
    return exclusive([&](Session& s) { return s.getStorageIDs(); });
}

StorageInfo MTPDevice::getStorageInfo(std::uint32_t storageID) {
    return exclusive([&](Session& s) { return s.getStorageInfo(storageID); });
}

std::vector<StorageInfo> MTPDevice::getStorages() {
    return exclusive([&](Session& s) { return s.getStorages(); });
}

std::vector<std::byte> MTPDevice::getDevicePropValue(std::uint16_t property) {
    return exclusive([&](Session& s) { return s.getDevicePropValue(property); });
}

std::optional<int> MTPDevice::batteryLevel() {
    return exclusive([&](Session& s) { return s.batteryLevel(); });
}

std::vector<std::uint32_t> MTPDevice::getObjectHandles(std::uint32_t storageID, std::uint32_t format,
                                                       std::uint32_t parent) {
    return exclusive([&](Session& s) { return s.getObjectHandles(storageID, format, parent); });
}

ObjectInfo MTPDevice::getObjectInfo(std::uint32_t handle) {
    return exclusive([&](Session& s) { return s.getObjectInfo(handle); });
}

std::vector<std::byte> MTPDevice::getObjectPropValue(std::uint32_t handle, std::uint16_t property) {
    return exclusive([&](Session& s) { return s.getObjectPropValue(handle, property); });
}

std::uint64_t MTPDevice::getObjectSize64(std::uint32_t handle) {
    return exclusive([&](Session& s) { return s.getObjectSize64(handle); });
}

std::vector<std::uint16_t> MTPDevice::getObjectPropsSupported(std::uint16_t format) {
    return exclusive([&](Session& s) { return s.getObjectPropsSupported(format); });
}

std::vector<MTPPropertyElement> MTPDevice::getObjectPropList(std::uint32_t handle, std::uint32_t format,
                                                             std::uint32_t property, std::uint32_t group,
                                                             std::uint32_t depth) {
    return exclusive([&](Session& s) { return s.getObjectPropList(handle, format, property, group, depth); });
}

std::vector<MTPObject> MTPDevice::listDirectory(std::uint32_t storageID, std::uint32_t parent) {
    return exclusive([&](Session& s) { return s.listDirectory(storageID, parent); });
}

MTPObject MTPDevice::object(std::uint32_t handle) {
    return exclusive([&](Session& s) { return s.object(handle); });
}

void MTPDevice::getObject(std::uint32_t handle, const DataSink& sink) {
    exclusive([&](Session& s) { s.getObject(handle, sink); });
}

std::vector<std::byte> MTPDevice::readPartial(std::uint32_t handle, std::uint64_t offset,
                                              std::uint32_t length) {
    return exclusive([&](Session& s) { return s.readPartial(handle, offset, length); });
}

std::uint32_t MTPDevice::sendObjectInfo(const ObjectInfo& info) {
    return exclusive([&](Session& s) { return s.sendObjectInfo(info); });
}

void MTPDevice::sendObject(std::span<const std::byte> data) {
    exclusive([&](Session& s) { s.sendObject(data); });
}

void MTPDevice::sendObject(std::uint64_t length, const DataProvider& provider) {
    exclusive([&](Session& s) { s.sendObject(length, provider); });
}

std::uint32_t MTPDevice::createFolder(std::uint32_t storageID, std::uint32_t parent, std::string_view name) {
    return exclusive([&](Session& s) { return s.createFolder(storageID, parent, name); });
}

std::uint32_t MTPDevice::createFile(std::uint32_t storageID, std::uint32_t parent, std::string_view name,
                                    std::uint64_t size, std::optional<MTPObject::TimePoint> modified) {
    return exclusive([&](Session& s) { return s.createFile(storageID, parent, name, size, modified); });
}

void MTPDevice::deleteObject(std::uint32_t handle) {
    exclusive([&](Session& s) { s.deleteObject(handle); });
}

void MTPDevice::moveObject(std::uint32_t handle, std::uint32_t storageID, std::uint32_t parent) {
    exclusive([&](Session& s) { s.moveObject(handle, storageID, parent); });
}

void MTPDevice::rename(std::uint32_t handle, std::string_view name) {
    exclusive([&](Session& s) { s.rename(handle, name); });
}

void MTPDevice::beginEdit(std::uint32_t handle) {
    exclusive([&](Session& s) { s.beginEdit(handle); });
}

void MTPDevice::endEdit(std::uint32_t handle) {
    exclusive([&](Session& s) { s.endEdit(handle); });
}

void MTPDevice::truncate(std::uint32_t handle, std::uint64_t size) {
    exclusive([&](Session& s) { s.truncate(handle, size); });
}

void MTPDevice::writePartial(std::uint32_t handle, std::uint64_t offset, std::span<const std::byte> data) {
    exclusive([&](Session& s) { s.writePartial(handle, offset, data); });
}

} // namespace corvane
