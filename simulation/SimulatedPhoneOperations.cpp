// The operations that answer questions: device and storage information, device properties, object
// handles, information and properties. The operations that change objects are in
// SimulatedPhoneObjects.cpp.

#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPWriter.h"
#include "simulation/SimulatedPhoneState.h"

#include <algorithm>

namespace simulation {

namespace objectProperty = corvane::MTPObjectProperty;
using corvane::PTPOperation;
using corvane::PTPResponseCode;
using corvane::PTPWriter;

namespace {

constexpr std::uint32_t allHandles = 0xFFFFFFFF;

/// The object properties the phone serves, for every format.
constexpr std::array<std::uint16_t, 10> supportedProperties{
    objectProperty::storageID,    objectProperty::objectFormat,   objectProperty::protectionStatus,
    objectProperty::objectSize,   objectProperty::objectFileName, objectProperty::dateCreated,
    objectProperty::dateModified, objectProperty::parentObject,   objectProperty::persistentUID,
    objectProperty::name};

bool isSupportedProperty(std::uint32_t property) {
    return std::find(supportedProperties.begin(), supportedProperties.end(), property) !=
           supportedProperties.end();
}

/// The MTP data type of each property the phone serves.
std::uint16_t dataTypeOf(std::uint16_t property) {
    switch (property) {
    case objectProperty::storageID:
    case objectProperty::parentObject:
        return 0x0006;
    case objectProperty::objectFormat:
    case objectProperty::protectionStatus:
        return 0x0004;
    case objectProperty::objectSize:
        return 0x0008;
    case objectProperty::persistentUID:
        return 0x000A;
    default:
        return 0xFFFF;
    }
}

/// Writes an integer value in the width of an MTP integer data type.
void writeInteger(PTPWriter& writer, std::uint16_t dataType, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    switch (dataType) {
    case 0x0001:
    case 0x0002:
        writer.u8(static_cast<std::uint8_t>(bits));
        break;
    case 0x0003:
    case 0x0004:
        writer.u16(static_cast<std::uint16_t>(bits));
        break;
    case 0x0005:
    case 0x0006:
        writer.u32(static_cast<std::uint32_t>(bits));
        break;
    case 0x0009:
    case 0x000A:
        writer.u64(bits);
        writer.u64(value < 0 && dataType == 0x0009 ? ~std::uint64_t{0} : 0);
        break;
    default:
        writer.u64(bits);
        break;
    }
}

} // namespace

bool SimulatedPhone::storageVisibleLocked(std::uint32_t id) const {
    const PhoneStorage* storage = m_store.findStorage(id);
    return m_accessGranted && storage != nullptr && storage->hiddenForListings == 0;
}

PhoneObject* SimulatedPhone::visibleObjectLocked(std::uint32_t handle) {
    PhoneObject* object = m_store.find(handle);
    return object != nullptr && storageVisibleLocked(object->storageID) ? object : nullptr;
}

std::optional<std::uint16_t> SimulatedPhone::admissionLocked(std::uint16_t operation) const {
    const auto& served = m_info.operations;
    if (std::find(served.begin(), served.end(), operation) == served.end()) {
        return code(PTPResponseCode::operationNotSupported);
    }
    if (!m_sessionOpen && operation != code(PTPOperation::getDeviceInfo) &&
        operation != code(PTPOperation::openSession)) {
        return code(PTPResponseCode::sessionNotOpen);
    }
    return std::nullopt;
}

SimulatedPhone::Reply SimulatedPhone::performLocked(Active& active) {
    if (const auto refusal = admissionLocked(active.code)) {
        return Reply::error(*refusal);
    }
    switch (active.code) {
    case code(PTPOperation::getDeviceInfo):
        return getDeviceInfoLocked();
    case code(PTPOperation::openSession):
        return openSessionLocked(active);
    case code(PTPOperation::closeSession):
        return closeSessionLocked();
    case code(PTPOperation::getStorageIDs):
        return getStorageIDsLocked();
    case code(PTPOperation::getStorageInfo):
        return getStorageInfoLocked(active);
    case code(PTPOperation::getObjectHandles):
        return getObjectHandlesLocked(active);
    case code(PTPOperation::getObjectInfo):
        return getObjectInfoLocked(active);
    case code(PTPOperation::getObject):
        return getObjectLocked(active);
    case code(PTPOperation::getPartialObject):
        return getPartialObjectLocked(active, false);
    case code(PTPOperation::androidGetPartialObject64):
        return getPartialObjectLocked(active, true);
    case code(PTPOperation::deleteObject):
        return deleteObjectLocked(active);
    case code(PTPOperation::sendObjectInfo):
        return sendObjectInfoLocked(active);
    case code(PTPOperation::sendObject):
        return sendObjectLocked(active);
    case code(PTPOperation::moveObject):
        return moveObjectLocked(active);
    case code(PTPOperation::getDevicePropDesc):
        return getDevicePropDescLocked(active);
    case code(PTPOperation::getDevicePropValue):
        return getDevicePropValueLocked(active);
    case code(PTPOperation::getObjectPropsSupported):
        return getObjectPropsSupportedLocked(active);
    case code(PTPOperation::getObjectPropValue):
        return getObjectPropValueLocked(active);
    case code(PTPOperation::getObjectPropDesc):
        return getObjectPropDescLocked(active);
    case code(PTPOperation::setObjectPropValue):
        return setObjectPropValueLocked(active);
    case code(PTPOperation::getObjectPropList):
        return getObjectPropListLocked(active);
    case code(PTPOperation::androidSendPartialObject):
        return sendPartialObjectLocked(active);
    case code(PTPOperation::androidTruncateObject):
        return truncateObjectLocked(active);
    case code(PTPOperation::androidBeginEditObject):
        return beginEditObjectLocked(active);
    case code(PTPOperation::androidEndEditObject):
        return endEditObjectLocked(active);
    default:
        return Reply::error(PTPResponseCode::operationNotSupported);
    }
}

SimulatedPhone::Reply SimulatedPhone::getDeviceInfoLocked() {
    PTPWriter writer;
    writer.u16(m_info.standardVersion);
    writer.u32(m_info.vendorExtensionID);
    writer.u16(m_info.vendorExtensionVersion);
    writer.string(m_info.vendorExtensionDescription);
    writer.u16(m_info.functionalMode);
    writer.u16Array(m_info.operations);
    writer.u16Array(m_info.events);
    writer.u16Array(m_info.deviceProperties);
    writer.u16Array(m_info.captureFormats);
    writer.u16Array(m_info.playbackFormats);
    writer.string(m_info.manufacturer);
    writer.string(m_info.model);
    writer.string(m_info.deviceVersion);
    writer.string(m_info.serialNumber);
    return Reply::dataset(writer.take());
}

SimulatedPhone::Reply SimulatedPhone::openSessionLocked(const Active& active) {
    const std::uint32_t sessionID = active.param(0);
    if (active.transactionID != 0) {
        violationLocked("OpenSession came with transaction ID " + std::to_string(active.transactionID) +
                        "; it must be 0");
    }
    if (sessionID == 0) {
        return Reply::error(PTPResponseCode::invalidParameter);
    }
    if (m_sessionOpen) {
        Reply reply = Reply::error(PTPResponseCode::sessionAlreadyOpen);
        reply.params = {m_sessionID};
        return reply;
    }
    m_sessionOpen = true;
    m_sessionID = sessionID;
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::closeSessionLocked() {
    if (m_pendingSend) {
        m_store.remove(m_pendingSend->handle);
        m_pendingSend.reset();
    }
    endAllEditsLocked();
    m_sessionOpen = false;
    m_sessionID = 0;
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::getStorageIDsLocked() {
    std::vector<std::uint32_t> ids;
    if (m_accessGranted) {
        for (PhoneStorage& storage : m_store.storages()) {
            if (storage.hiddenForListings > 0) {
                --storage.hiddenForListings;
            } else {
                ids.push_back(storage.id);
            }
        }
    }
    PTPWriter writer;
    writer.u32Array(ids);
    return Reply::dataset(writer.take());
}

SimulatedPhone::Reply SimulatedPhone::getStorageInfoLocked(const Active& active) {
    const std::uint32_t id = active.param(0);
    if (!storageVisibleLocked(id)) {
        return Reply::error(PTPResponseCode::invalidStorageID);
    }
    const PhoneStorage& storage = *m_store.findStorage(id);
    if (!storage.hasLogicalStorage()) {
        return Reply::error(PTPResponseCode::storeNotAvailable);
    }
    PTPWriter writer;
    writer.u16(storage.storageType);
    writer.u16(storage.filesystemType);
    writer.u16(storage.accessCapability);
    writer.u64(storage.maxCapacity);
    writer.u64(m_store.freeSpace(storage));
    writer.u32(storage.freeSpaceObjects);
    writer.string(storage.description);
    writer.string(storage.volumeLabel);
    return Reply::dataset(writer.take());
}

SimulatedPhone::Reply SimulatedPhone::getObjectHandlesLocked(const Active& active) {
    const std::uint32_t storage = active.param(0);
    const std::uint32_t format = active.param(1);
    const std::uint32_t parent = active.param(2);
    if (storage != allHandles && !storageVisibleLocked(storage)) {
        return Reply::error(PTPResponseCode::invalidStorageID);
    }
    std::vector<std::uint32_t> candidates;
    if (parent == 0) {
        // No parent given: the whole hierarchy.
        candidates = m_store.objectsIn(storage);
    } else if (parent == allHandles) {
        for (const PhoneStorage& each : m_store.storages()) {
            if (storage == allHandles || each.id == storage) {
                const auto& top = m_store.children(each.id, 0);
                candidates.insert(candidates.end(), top.begin(), top.end());
            }
        }
    } else {
        const PhoneObject* folder = visibleObjectLocked(parent);
        if (folder == nullptr) {
            return Reply::error(PTPResponseCode::invalidObjectHandle);
        }
        if (!folder->isFolder()) {
            return Reply::error(PTPResponseCode::invalidParentObject);
        }
        if (storage == allHandles || folder->storageID == storage) {
            candidates = m_store.children(folder->storageID, folder->handle);
        }
    }
    std::vector<std::uint32_t> handles;
    for (const std::uint32_t handle : candidates) {
        const PhoneObject* object = visibleObjectLocked(handle);
        if (object != nullptr && (format == 0 || object->format == format)) {
            handles.push_back(handle);
        }
    }
    PTPWriter writer;
    writer.u32Array(handles);
    return Reply::dataset(writer.take());
}

std::string SimulatedPhone::dateTextLocked(const PhoneObject& object) const {
    if (object.modificationText) {
        return *object.modificationText;
    }
    return object.modified ? corvane::MTPDate::format(*object.modified) : std::string();
}

std::vector<std::byte> SimulatedPhone::objectInfoDatasetLocked(const PhoneObject& object) const {
    corvane::ObjectInfo info;
    info.storageID = object.storageID;
    info.format = object.format;
    info.protectionStatus = object.protectionStatus;
    info.compressedSize = object.reportedSize >= corvane::PTPConstants::sizeUnknown32 &&
                                  m_largeSizeInObjectInfo == LargeSizeInObjectInfo::unknown
                              ? corvane::PTPConstants::sizeUnknown32
                              : static_cast<std::uint32_t>(object.reportedSize & 0xFFFFFFFF);
    info.parentObject = object.parent;
    info.associationType = object.isFolder() ? 1 : 0;
    info.filename = object.name;
    info.captureDate = object.created ? corvane::MTPDate::format(*object.created) : std::string();
    info.modificationDate = dateTextLocked(object);
    return info.encoded();
}

SimulatedPhone::Reply SimulatedPhone::getObjectInfoLocked(const Active& active) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    return Reply::dataset(objectInfoDatasetLocked(*object));
}

SimulatedPhone::Reply SimulatedPhone::getDevicePropDescLocked(const Active& active) {
    const std::uint32_t property = active.param(0);
    const bool listed = std::find(m_info.deviceProperties.begin(), m_info.deviceProperties.end(), property) !=
                        m_info.deviceProperties.end();
    PTPWriter writer;
    if (listed && property == corvane::PTPDeviceProperty::batteryLevel) {
        writer.u16(corvane::PTPDeviceProperty::batteryLevel);
        writer.u16(m_battery.dataType);
        writer.u8(0); // get only
        if (m_battery.dataType == 0xFFFF) {
            writer.string(m_battery.text);
            writer.string(m_battery.text);
            writer.u8(0);
            return Reply::dataset(writer.take());
        }
        writeInteger(writer, m_battery.dataType, m_battery.factoryDefault);
        writeInteger(writer, m_battery.dataType, m_battery.current);
        writer.u8(static_cast<std::uint8_t>(m_battery.form));
        if (m_battery.form == PhoneBattery::Form::range) {
            writeInteger(writer, m_battery.dataType, m_battery.minimum);
            writeInteger(writer, m_battery.dataType, m_battery.maximum);
            writeInteger(writer, m_battery.dataType, m_battery.step);
        } else if (m_battery.form == PhoneBattery::Form::enumeration) {
            writer.u16(static_cast<std::uint16_t>(m_battery.enumeration.size()));
            for (const std::int64_t value : m_battery.enumeration) {
                writeInteger(writer, m_battery.dataType, value);
            }
        }
        return Reply::dataset(writer.take());
    }
    if (listed && property == 0xD402) { // Device Friendly Name
        writer.u16(0xD402);
        writer.u16(0xFFFF);
        writer.u8(1);
        writer.string(m_info.model);
        writer.string(m_info.model);
        writer.u8(0);
        return Reply::dataset(writer.take());
    }
    return Reply::error(PTPResponseCode::devicePropNotSupported);
}

SimulatedPhone::Reply SimulatedPhone::getDevicePropValueLocked(const Active& active) {
    const std::uint32_t property = active.param(0);
    const bool listed = std::find(m_info.deviceProperties.begin(), m_info.deviceProperties.end(), property) !=
                        m_info.deviceProperties.end();
    PTPWriter writer;
    if (listed && property == corvane::PTPDeviceProperty::batteryLevel) {
        if (m_battery.dataType == 0xFFFF) {
            writer.string(m_battery.text);
        } else {
            writeInteger(writer, m_battery.dataType, m_battery.current);
        }
        return Reply::dataset(writer.take());
    }
    if (listed && property == 0xD402) {
        writer.string(m_info.model);
        return Reply::dataset(writer.take());
    }
    return Reply::error(PTPResponseCode::devicePropNotSupported);
}

SimulatedPhone::Reply SimulatedPhone::getObjectPropsSupportedLocked(const Active& active) {
    const std::uint32_t format = active.param(0);
    const auto& formats = m_info.playbackFormats;
    const bool known = format == corvane::PTPObjectFormat::undefined ||
                       format == corvane::PTPObjectFormat::association ||
                       std::find(formats.begin(), formats.end(), format) != formats.end();
    if (!known) {
        return Reply::error(PTPResponseCode::invalidObjectFormatCode);
    }
    PTPWriter writer;
    writer.u16Array(supportedProperties);
    return Reply::dataset(writer.take());
}

void SimulatedPhone::appendPropertyLocked(std::vector<std::byte>& out, const PhoneObject& object,
                                          std::uint16_t code) const {
    PTPWriter writer;
    switch (code) {
    case objectProperty::storageID:
        writer.u32(object.storageID);
        break;
    case objectProperty::objectFormat:
        writer.u16(object.format);
        break;
    case objectProperty::protectionStatus:
        writer.u16(object.protectionStatus);
        break;
    case objectProperty::objectSize:
        writer.u64(object.reportedSize);
        break;
    case objectProperty::objectFileName:
        writer.string(object.name);
        break;
    case objectProperty::dateCreated:
        writer.string(object.created ? corvane::MTPDate::format(*object.created) : "");
        break;
    case objectProperty::dateModified:
        writer.string(dateTextLocked(object));
        break;
    case objectProperty::parentObject:
        writer.u32(object.parent);
        break;
    case objectProperty::persistentUID:
        // Unique per object and stable: the handle in the low word.
        writer.u32(object.handle);
        writer.u32(0);
        writer.u64(0x5441'4E44'414C'4F00ull);
        break;
    case objectProperty::name:
        writer.string(object.name);
        break;
    default:
        break;
    }
    const auto& bytes = writer.data();
    out.insert(out.end(), bytes.begin(), bytes.end());
}

SimulatedPhone::Reply SimulatedPhone::getObjectPropValueLocked(const Active& active) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (!isSupportedProperty(active.param(1))) {
        return Reply::error(PTPResponseCode::objectPropNotSupported);
    }
    std::vector<std::byte> bytes;
    appendPropertyLocked(bytes, *object, static_cast<std::uint16_t>(active.param(1)));
    return Reply::dataset(std::move(bytes));
}

SimulatedPhone::Reply SimulatedPhone::getObjectPropDescLocked(const Active& active) {
    const std::uint32_t property = active.param(0);
    if (!isSupportedProperty(property)) {
        return Reply::error(PTPResponseCode::objectPropNotSupported);
    }
    const auto code = static_cast<std::uint16_t>(property);
    const bool settable = code == objectProperty::objectFileName ||
                          (code == objectProperty::dateModified && m_modificationDatesSettable);
    PTPWriter writer;
    writer.u16(code);
    writer.u16(dataTypeOf(code));
    writer.u8(settable ? 1 : 0);
    if (dataTypeOf(code) == 0xFFFF) {
        writer.string("");
    } else {
        writeInteger(writer, dataTypeOf(code), 0);
    }
    writer.u32(0); // group
    const bool isDate = code == objectProperty::dateCreated || code == objectProperty::dateModified;
    writer.u8(isDate ? 0x03 : 0x00); // the date-time form, which carries nothing more
    return Reply::dataset(writer.take());
}

SimulatedPhone::Reply SimulatedPhone::getObjectPropListLocked(const Active& active) {
    std::uint32_t handle = active.param(0);
    const std::uint32_t format = active.param(1);
    const std::uint32_t property = active.param(2);
    const std::uint32_t group = active.param(3);
    std::uint32_t depth = active.param(4);

    // Android's rules: no group queries, depth 0 (the object) or 1 (its children, then the object).
    if (property == 0) {
        return Reply::error(group == 0 ? PTPResponseCode::parameterNotSupported
                                       : PTPResponseCode::specificationByGroupUnsupported);
    }
    if (property != corvane::MTPObjectProperty::all && !isSupportedProperty(property)) {
        return Reply::error(PTPResponseCode::objectPropNotSupported);
    }
    if (depth == 0xFFFFFFFF && (handle == 0 || handle == allHandles)) {
        handle = allHandles;
        depth = 0;
    }
    if (depth > 1 || (depth == 1 && !m_propListDepthSupported)) {
        return Reply::error(PTPResponseCode::specificationByDepthUnsupported);
    }
    auto matches = [format](const PhoneObject& object) { return format == 0 || object.format == format; };
    std::vector<const PhoneObject*> objects;
    const PhoneObject* self = nullptr;
    if (handle == allHandles) {
        for (const std::uint32_t each : m_store.objectsIn(allHandles)) {
            if (const PhoneObject* object = visibleObjectLocked(each); object && matches(*object)) {
                objects.push_back(object);
            }
        }
    } else if (handle != 0) {
        const PhoneObject* object = visibleObjectLocked(handle);
        if (object == nullptr) {
            return Reply::error(PTPResponseCode::invalidObjectHandle);
        }
        if (matches(*object)) {
            self = object;
        }
    }
    if (handle == 0 || (depth == 1 && handle != allHandles)) {
        std::vector<std::uint32_t> below;
        if (handle == 0) {
            for (const PhoneStorage& storage : m_store.storages()) {
                const auto& top = m_store.children(storage.id, 0);
                below.insert(below.end(), top.begin(), top.end());
            }
        } else {
            const PhoneObject* object = visibleObjectLocked(handle);
            below = m_store.children(object->storageID, object->handle);
        }
        for (const std::uint32_t each : below) {
            if (const PhoneObject* object = visibleObjectLocked(each); object && matches(*object)) {
                objects.push_back(object);
            }
        }
    }
    if (self != nullptr) {
        objects.push_back(self);
    }

    std::uint32_t count = 0;
    std::vector<std::byte> elements;
    for (const PhoneObject* object : objects) {
        for (const std::uint16_t p : supportedProperties) {
            if (property != corvane::MTPObjectProperty::all && p != property) {
                continue;
            }
            PTPWriter head;
            head.u32(object->handle);
            head.u16(p);
            head.u16(dataTypeOf(p));
            elements.insert(elements.end(), head.data().begin(), head.data().end());
            appendPropertyLocked(elements, *object, p);
            ++count;
        }
    }
    PTPWriter writer;
    writer.u32(count);
    writer.bytes(elements);
    return Reply::dataset(writer.take());
}

} // namespace simulation
