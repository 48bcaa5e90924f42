// The test's side of the phone: settings, building and reading back the tree, faults, gates and the log.

#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/PTPConstants.h"
#include "platform/foundation/SHA256.h"
#include "simulation/SimulatedPhoneState.h"

#include <algorithm>
#include <stdexcept>

namespace simulation {

using corvane::PTPOperation;

namespace {

std::vector<std::string_view> pathComponents(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const auto component = path.substr(0, slash);
        if (!component.empty()) {
            components.push_back(component);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return components;
}

std::uint32_t normalisedParent(std::uint32_t parent) {
    return parent == SimulatedPhone::root ? 0 : parent;
}

constexpr std::uint64_t maxWholeContents = 1ull << 30;

} // namespace

std::vector<std::uint16_t> PhoneDeviceInfo::defaultOperations() {
    std::vector<std::uint16_t> operations;
    for (const PTPOperation operation : {PTPOperation::getDeviceInfo,
                                         PTPOperation::openSession,
                                         PTPOperation::closeSession,
                                         PTPOperation::getStorageIDs,
                                         PTPOperation::getStorageInfo,
                                         PTPOperation::getObjectHandles,
                                         PTPOperation::getObjectInfo,
                                         PTPOperation::getObject,
                                         PTPOperation::deleteObject,
                                         PTPOperation::sendObjectInfo,
                                         PTPOperation::sendObject,
                                         PTPOperation::getDevicePropDesc,
                                         PTPOperation::getDevicePropValue,
                                         PTPOperation::moveObject,
                                         PTPOperation::getPartialObject,
                                         PTPOperation::getObjectPropsSupported,
                                         PTPOperation::getObjectPropValue,
                                         PTPOperation::setObjectPropValue,
                                         PTPOperation::getObjectPropDesc,
                                         PTPOperation::getObjectPropList,
                                         PTPOperation::androidGetPartialObject64,
                                         PTPOperation::androidSendPartialObject,
                                         PTPOperation::androidTruncateObject,
                                         PTPOperation::androidBeginEditObject,
                                         PTPOperation::androidEndEditObject}) {
        operations.push_back(corvane::rawValue(operation));
    }
    return operations;
}

// Settings.

PhoneDeviceInfo SimulatedPhone::deviceInfo() const {
    std::lock_guard lock(m_sync->mutex);
    return m_info;
}

void SimulatedPhone::setDeviceInfo(PhoneDeviceInfo info) {
    std::lock_guard lock(m_sync->mutex);
    m_info = std::move(info);
}

void SimulatedPhone::setOperationSupported(PTPOperation operation, bool supported) {
    std::lock_guard lock(m_sync->mutex);
    auto& operations = m_info.operations;
    std::erase(operations, code(operation));
    if (supported) {
        operations.push_back(code(operation));
    }
}

void SimulatedPhone::setBattery(PhoneBattery battery) {
    std::lock_guard lock(m_sync->mutex);
    m_battery = std::move(battery);
}

void SimulatedPhone::setBatteryLevel(std::int64_t level) {
    std::lock_guard lock(m_sync->mutex);
    m_battery.current = level;
}

void SimulatedPhone::setAccessGranted(bool granted) {
    std::lock_guard lock(m_sync->mutex);
    m_accessGranted = granted;
}

void SimulatedPhone::setPropListDepthSupported(bool supported) {
    std::lock_guard lock(m_sync->mutex);
    m_propListDepthSupported = supported;
}

void SimulatedPhone::setLargeSizeInObjectInfo(LargeSizeInObjectInfo rule) {
    std::lock_guard lock(m_sync->mutex);
    m_largeSizeInObjectInfo = rule;
}

void SimulatedPhone::setSendObjectRule(SendObjectRule rule) {
    std::lock_guard lock(m_sync->mutex);
    m_sendObjectRule = rule;
}

void SimulatedPhone::setKeepsPartialObjects(bool keeps) {
    std::lock_guard lock(m_sync->mutex);
    m_keepsPartialObjects = keeps;
}

void SimulatedPhone::setModificationDatesSettable(bool settable) {
    std::lock_guard lock(m_sync->mutex);
    m_modificationDatesSettable = settable;
}

void SimulatedPhone::setPacketSize(std::size_t packetSize) {
    if (packetSize != 64 && packetSize != 512) {
        throw std::invalid_argument("a bulk endpoint's packet size is 64 or 512 bytes");
    }
    std::lock_guard lock(m_sync->mutex);
    m_packetSize = packetSize;
}

std::size_t SimulatedPhone::packetSize() const {
    std::lock_guard lock(m_sync->mutex);
    return m_packetSize;
}

void SimulatedPhone::setLink(PhoneLink link) {
    std::lock_guard lock(m_sync->mutex);
    m_link = link;
}

// Storages.

std::uint32_t SimulatedPhone::addStorage(PhoneStorage storage) {
    std::lock_guard lock(m_sync->mutex);
    return m_store.addStorage(std::move(storage)).id;
}

void SimulatedPhone::removeStorage(std::uint32_t id) {
    std::lock_guard lock(m_sync->mutex);
    m_store.removeStorage(id);
    std::erase_if(m_edits, [this](std::uint32_t handle) { return m_store.find(handle) == nullptr; });
    if (m_pendingSend && m_store.find(m_pendingSend->handle) == nullptr) {
        m_pendingSend.reset();
    }
}

void SimulatedPhone::updateStorage(std::uint32_t id, const std::function<void(PhoneStorage&)>& change) {
    std::lock_guard lock(m_sync->mutex);
    PhoneStorage* storage = m_store.findStorage(id);
    if (storage == nullptr) {
        throw std::invalid_argument("the phone has no storage with this ID");
    }
    change(*storage);
    storage->id = id;
}

std::vector<PhoneStorage> SimulatedPhone::storages() const {
    std::lock_guard lock(m_sync->mutex);
    return m_store.storages();
}

// Building the tree.

std::uint32_t SimulatedPhone::addObjectLocked(std::uint32_t storage, std::uint32_t parent,
                                              std::string_view name, std::uint16_t format,
                                              PhoneContent content, const PhoneObjectOptions& options) {
    const PhoneStorage* target = m_store.findStorage(storage);
    if (target == nullptr || !target->hasLogicalStorage()) {
        throw std::invalid_argument("the phone has no storage with this ID that can hold objects");
    }
    parent = normalisedParent(parent);
    if (parent != 0) {
        const PhoneObject* folder = m_store.find(parent);
        if (folder == nullptr || !folder->isFolder() || folder->storageID != storage) {
            throw std::invalid_argument("the parent is not a folder on this storage");
        }
    }
    PhoneObject& object = m_store.create(storage, parent, std::string(name), format, std::move(content));
    object.protectionStatus = options.protectionStatus;
    object.modified = options.modified;
    object.created = options.created;
    return object.handle;
}

std::uint32_t SimulatedPhone::addFolder(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                        PhoneObjectOptions options) {
    std::lock_guard lock(m_sync->mutex);
    const std::uint16_t format = options.format != 0 ? options.format : corvane::PTPObjectFormat::association;
    return addObjectLocked(storage, parent, name, format, PhoneContent{}, options);
}

std::uint32_t SimulatedPhone::addFolders(std::uint32_t storage, std::string_view path) {
    std::lock_guard lock(m_sync->mutex);
    std::uint32_t parent = 0;
    for (const std::string_view component : pathComponents(path)) {
        const auto existing = m_store.childNamed(storage, parent, component);
        parent = existing ? *existing
                          : addObjectLocked(storage, parent, component, corvane::PTPObjectFormat::association,
                                            PhoneContent{}, {});
    }
    return parent == 0 ? root : parent;
}

std::uint32_t SimulatedPhone::addFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                      std::span<const std::byte> contents, PhoneObjectOptions options) {
    std::lock_guard lock(m_sync->mutex);
    const std::uint16_t format = options.format != 0 ? options.format : corvane::PTPObjectFormat::undefined;
    return addObjectLocked(storage, parent, name, format, PhoneContent::fromBytes(contents), options);
}

std::uint32_t SimulatedPhone::addFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                      std::string_view contents, PhoneObjectOptions options) {
    return addFile(storage, parent, name, std::as_bytes(std::span(contents.data(), contents.size())),
                   std::move(options));
}

std::uint32_t SimulatedPhone::addGeneratedFile(std::uint32_t storage, std::uint32_t parent,
                                               std::string_view name, std::uint64_t size,
                                               PhoneObjectOptions options) {
    std::lock_guard lock(m_sync->mutex);
    const std::uint16_t format = options.format != 0 ? options.format : corvane::PTPObjectFormat::undefined;
    const std::uint32_t handle = addObjectLocked(storage, parent, name, format, PhoneContent{}, options);
    PhoneObject& object = *m_store.find(handle);
    object.content = PhoneContent::generated(handle, size);
    object.reportedSize = size;
    return handle;
}

std::vector<std::byte> SimulatedPhone::generatedBytes(std::uint32_t handle, std::uint64_t offset,
                                                      std::size_t length) {
    return PhoneContent::generate(handle, offset, length);
}

void SimulatedPhone::removeObject(std::uint32_t handle) {
    std::lock_guard lock(m_sync->mutex);
    requireObjectLocked(handle);
    m_store.remove(handle);
    std::erase_if(m_edits, [this](std::uint32_t edited) { return m_store.find(edited) == nullptr; });
}

void SimulatedPhone::renameObject(std::uint32_t handle, std::string_view name) {
    std::lock_guard lock(m_sync->mutex);
    requireObjectLocked(handle);
    m_store.rename(handle, std::string(name));
}

void SimulatedPhone::setProtectionStatus(std::uint32_t handle, std::uint16_t status) {
    std::lock_guard lock(m_sync->mutex);
    requireObjectLocked(handle);
    m_store.find(handle)->protectionStatus = status;
}

void SimulatedPhone::setModified(std::uint32_t handle, std::optional<platform::Clock::WallTime> modified) {
    std::lock_guard lock(m_sync->mutex);
    requireObjectLocked(handle);
    m_store.find(handle)->modified = modified;
}

void SimulatedPhone::setModificationText(std::uint32_t handle, std::string text) {
    std::lock_guard lock(m_sync->mutex);
    requireObjectLocked(handle);
    m_store.find(handle)->modificationText = std::move(text);
}

// Reading the tree back.

const PhoneObject& SimulatedPhone::requireObjectLocked(std::uint32_t handle) const {
    const PhoneObject* object = m_store.find(handle);
    if (object == nullptr) {
        throw std::invalid_argument("the phone has no object with handle " + std::to_string(handle));
    }
    return *object;
}

PhoneObjectRecord SimulatedPhone::recordLocked(const PhoneObject& object) const {
    PhoneObjectRecord record;
    record.handle = object.handle;
    record.storageID = object.storageID;
    record.parent = object.parent;
    record.name = object.name;
    record.format = object.format;
    record.protectionStatus = object.protectionStatus;
    record.size = object.content.size();
    record.reportedSize = object.reportedSize;
    record.modified = object.modified;
    record.isFolder = object.isFolder();
    record.inEdit = std::find(m_edits.begin(), m_edits.end(), object.handle) != m_edits.end();
    return record;
}

std::optional<PhoneObjectRecord> SimulatedPhone::object(std::uint32_t handle) const {
    std::lock_guard lock(m_sync->mutex);
    const PhoneObject* object = m_store.find(handle);
    return object ? std::optional(recordLocked(*object)) : std::nullopt;
}

std::vector<PhoneObjectRecord> SimulatedPhone::children(std::uint32_t storage, std::uint32_t parent) const {
    std::lock_guard lock(m_sync->mutex);
    std::vector<PhoneObjectRecord> records;
    for (const std::uint32_t handle : m_store.children(storage, normalisedParent(parent))) {
        records.push_back(recordLocked(*m_store.find(handle)));
    }
    return records;
}

std::optional<std::uint32_t> SimulatedPhone::find(std::uint32_t storage, std::string_view path) const {
    std::lock_guard lock(m_sync->mutex);
    std::uint32_t parent = 0;
    for (const std::string_view component : pathComponents(path)) {
        const auto child = m_store.childNamed(storage, parent, component);
        if (!child) {
            return std::nullopt;
        }
        parent = *child;
    }
    return parent == 0 ? std::nullopt : std::optional(parent);
}

std::vector<std::byte> SimulatedPhone::contents(std::uint32_t handle) const {
    std::lock_guard lock(m_sync->mutex);
    const PhoneObject& object = requireObjectLocked(handle);
    if (object.content.size() > maxWholeContents) {
        throw std::length_error("the object is too large to read whole; read a range");
    }
    return object.content.read(0, static_cast<std::size_t>(object.content.size()));
}

std::vector<std::byte> SimulatedPhone::contents(std::uint32_t handle, std::uint64_t offset,
                                                std::size_t length) const {
    std::lock_guard lock(m_sync->mutex);
    return requireObjectLocked(handle).content.read(offset, length);
}

std::string SimulatedPhone::contentsText(std::uint32_t handle) const {
    const auto bytes = contents(handle);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string SimulatedPhone::sha256(std::uint32_t handle) const {
    const auto digest = platform::SHA256::hash(contents(handle));
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t byte : digest) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0F]);
    }
    return hex;
}

std::size_t SimulatedPhone::storedBytes(std::uint32_t handle) const {
    std::lock_guard lock(m_sync->mutex);
    return requireObjectLocked(handle).content.storedBytes();
}

std::string SimulatedPhone::tree(std::uint32_t storage) const {
    std::lock_guard lock(m_sync->mutex);
    std::string text;
    const auto walk = [&](const auto& self, std::uint32_t parent, const std::string& prefix) -> void {
        for (const std::uint32_t handle : m_store.children(storage, parent)) {
            const PhoneObject& object = *m_store.find(handle);
            if (object.isFolder()) {
                text += prefix + object.name + "/\n";
                self(self, handle, prefix + object.name + "/");
            } else {
                text += prefix + object.name + " " + std::to_string(object.content.size()) + "\n";
            }
        }
    };
    walk(walk, 0, "");
    return text;
}

// Faults and gates.

void SimulatedPhone::injectFault(PTPOperation operation, PhoneFault fault, std::uint32_t onCall,
                                 std::uint32_t times) {
    std::lock_guard lock(m_sync->mutex);
    if (times == 0) {
        return;
    }
    m_faults.push_back(ScheduledFault{code(operation), std::move(fault), onCall == 0 ? 1 : onCall, times});
}

void SimulatedPhone::clearFaults() {
    std::lock_guard lock(m_sync->mutex);
    m_faults.clear();
    m_failingResets = 0;
}

void SimulatedPhone::failResets(std::uint32_t count) {
    std::lock_guard lock(m_sync->mutex);
    m_failingResets = count;
}

std::shared_ptr<PhoneGate> SimulatedPhone::addGate(PTPOperation operation, std::uint32_t onCall) {
    auto gate = std::make_shared<PhoneGate>(m_sync, code(operation), onCall);
    std::lock_guard lock(m_sync->mutex);
    m_gates.push_back(gate);
    return gate;
}

// The log.

std::vector<PhoneTransaction> SimulatedPhone::transactions() const {
    std::lock_guard lock(m_sync->mutex);
    return m_log;
}

std::vector<std::uint16_t> SimulatedPhone::operations() const {
    std::lock_guard lock(m_sync->mutex);
    std::vector<std::uint16_t> codes;
    for (const PhoneTransaction& entry : m_log) {
        codes.push_back(entry.operation);
    }
    return codes;
}

std::size_t SimulatedPhone::count(PTPOperation operation) const {
    std::lock_guard lock(m_sync->mutex);
    return static_cast<std::size_t>(
        std::count_if(m_log.begin(), m_log.end(), [operation](const PhoneTransaction& entry) {
            return entry.operation == code(operation);
        }));
}

std::vector<std::string> SimulatedPhone::violations() const {
    std::lock_guard lock(m_sync->mutex);
    return m_violations;
}

std::size_t SimulatedPhone::resetCount() const {
    std::lock_guard lock(m_sync->mutex);
    return m_resets;
}

void SimulatedPhone::clearLog() {
    std::lock_guard lock(m_sync->mutex);
    // Entries are numbered for good: a transaction under way keeps writing to its own, now off the log.
    m_logBase += m_log.size();
    m_log.clear();
    m_violations.clear();
    m_resets = 0;
}

bool SimulatedPhone::isSessionOpen() const {
    std::lock_guard lock(m_sync->mutex);
    return m_sessionOpen;
}

std::vector<std::uint32_t> SimulatedPhone::objectsInEdit() const {
    std::lock_guard lock(m_sync->mutex);
    return m_edits;
}

bool SimulatedPhone::isAttached() const {
    std::lock_guard lock(m_sync->mutex);
    return m_attached;
}

} // namespace simulation
