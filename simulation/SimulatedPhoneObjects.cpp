// The operations that move object data or change objects: reading, creating, deleting, moving, renaming
// and the Android edit operations.

#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPReader.h"
#include "simulation/SimulatedPhoneState.h"

#include <algorithm>

namespace simulation {

using corvane::PTPOperation;
using corvane::PTPResponseCode;

namespace {

/// A name the phone's file system can hold: not empty, not "." or "..", without "/" or NUL.
bool isValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

/// Parent 0 and 0xFFFFFFFF both name the top of a storage in commands.
std::uint32_t normalisedParent(std::uint32_t parent) {
    return parent == 0xFFFFFFFF ? 0 : parent;
}

} // namespace

std::optional<std::uint16_t> SimulatedPhone::refuseBeforeDataLocked(Active& active) {
    if (const auto refusal = admissionLocked(active.code)) {
        return refusal;
    }
    switch (active.code) {
    case code(PTPOperation::sendObjectInfo): {
        const std::uint32_t storage = active.param(0);
        if (!storageVisibleLocked(storage) || !m_store.findStorage(storage)->hasLogicalStorage()) {
            return code(PTPResponseCode::invalidStorageID);
        }
        if (m_store.findStorage(storage)->isReadOnly()) {
            return code(PTPResponseCode::storeReadOnly);
        }
        const std::uint32_t parent = normalisedParent(active.param(1));
        if (parent != 0) {
            const PhoneObject* folder = visibleObjectLocked(parent);
            if (folder == nullptr || !folder->isFolder() || folder->storageID != storage) {
                return code(PTPResponseCode::invalidParentObject);
            }
        }
        return std::nullopt;
    }
    case code(PTPOperation::sendObject):
        if (!m_pendingSend || m_store.find(m_pendingSend->handle) == nullptr) {
            return code(PTPResponseCode::noValidObjectInfo);
        }
        return std::nullopt;
    case code(PTPOperation::setObjectPropValue): {
        const PhoneObject* object = visibleObjectLocked(active.param(0));
        if (object == nullptr) {
            return code(PTPResponseCode::invalidObjectHandle);
        }
        const std::uint32_t property = active.param(1);
        const bool settable =
            property == corvane::MTPObjectProperty::objectFileName ||
            (property == corvane::MTPObjectProperty::dateModified && m_modificationDatesSettable);
        if (!settable) {
            // The other properties the phone knows are read-only; the rest it does not know.
            const bool known = property == corvane::MTPObjectProperty::storageID ||
                               (property >= corvane::MTPObjectProperty::objectFormat &&
                                property <= corvane::MTPObjectProperty::objectSize) ||
                               property == corvane::MTPObjectProperty::dateCreated ||
                               property == corvane::MTPObjectProperty::dateModified ||
                               property == corvane::MTPObjectProperty::parentObject ||
                               property == corvane::MTPObjectProperty::persistentUID ||
                               property == corvane::MTPObjectProperty::name;
            return code(known ? PTPResponseCode::accessDenied : PTPResponseCode::objectPropNotSupported);
        }
        if (m_store.findStorage(object->storageID)->isReadOnly()) {
            return code(PTPResponseCode::storeReadOnly);
        }
        if (object->protectionStatus != 0) {
            return code(PTPResponseCode::objectWriteProtected);
        }
        return std::nullopt;
    }
    case code(PTPOperation::androidSendPartialObject): {
        const PhoneObject* object = visibleObjectLocked(active.param(0));
        if (object == nullptr) {
            return code(PTPResponseCode::invalidObjectHandle);
        }
        // Android refuses a write to an object without an open edit, and one that would leave a gap.
        if (std::find(m_edits.begin(), m_edits.end(), object->handle) == m_edits.end() ||
            active.param64(1) > object->content.size()) {
            return code(PTPResponseCode::generalError);
        }
        return std::nullopt;
    }
    default:
        // Operations the phone does not serve with a data phase: their data is taken and dropped.
        return code(PTPResponseCode::operationNotSupported);
    }
}

SimulatedPhone::Reply SimulatedPhone::getObjectLocked(const Active& active) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (object->isFolder()) {
        return Reply::error(PTPResponseCode::invalidParameter);
    }
    return Reply::objectRange(object->handle, 0, object->content.size());
}

SimulatedPhone::Reply SimulatedPhone::getPartialObjectLocked(const Active& active, bool wide) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (object->isFolder()) {
        return Reply::error(PTPResponseCode::invalidParameter);
    }
    const std::uint64_t offset = wide ? active.param64(1) : active.param(1);
    const std::uint32_t maxBytes = active.param(wide ? 3 : 2);
    const std::uint64_t size = object->content.size();
    if (offset > size) {
        return Reply::error(PTPResponseCode::invalidParameter);
    }
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(maxBytes, size - offset));
    return Reply::objectRange(object->handle, offset, length, {length});
}

SimulatedPhone::Reply SimulatedPhone::deleteObjectLocked(const Active& active) {
    const std::uint32_t handle = active.param(0);
    if (handle == 0xFFFFFFFF) {
        return Reply::error(PTPResponseCode::parameterNotSupported);
    }
    if (active.param(1) != 0) {
        return Reply::error(PTPResponseCode::specificationByFormatUnsupported);
    }
    const PhoneObject* object = visibleObjectLocked(handle);
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (!m_store.findStorage(object->storageID)->allowsDeletion()) {
        return Reply::error(PTPResponseCode::storeReadOnly);
    }
    if (object->protectionStatus != 0) {
        return Reply::error(PTPResponseCode::objectWriteProtected);
    }
    // A folder goes with everything below it, except protected objects and the folders that hold them.
    std::vector<std::uint32_t> subtree = m_store.subtree(handle);
    std::vector<std::uint32_t> kept;
    for (const std::uint32_t each : subtree) {
        if (m_store.find(each)->protectionStatus != 0) {
            for (const PhoneObject* up = m_store.find(each); up != nullptr && up->handle != handle;
                 up = up->parent == 0 ? nullptr : m_store.find(up->parent)) {
                kept.push_back(up->handle);
            }
            kept.push_back(handle);
        }
    }
    if (kept.empty()) {
        m_store.remove(handle);
    } else {
        // Children before parents, so that removing a folder never takes a kept object with it.
        std::reverse(subtree.begin(), subtree.end());
        for (const std::uint32_t each : subtree) {
            if (std::find(kept.begin(), kept.end(), each) == kept.end()) {
                m_store.remove(each);
            }
        }
    }
    std::erase_if(m_edits, [this](std::uint32_t edited) { return m_store.find(edited) == nullptr; });
    if (m_pendingSend && m_store.find(m_pendingSend->handle) == nullptr) {
        m_pendingSend.reset();
    }
    return kept.empty() ? Reply::ok() : Reply::error(PTPResponseCode::partialDeletion);
}

SimulatedPhone::Reply SimulatedPhone::sendObjectInfoLocked(Active& active) {
    if (active.bufferOverflowed) {
        return Reply::error(PTPResponseCode::invalidDataset);
    }
    corvane::ObjectInfo info;
    try {
        info = corvane::ObjectInfo::parse(active.buffer);
    } catch (const corvane::PTPError&) {
        return Reply::error(PTPResponseCode::invalidDataset);
    }
    if (!isValidName(info.filename)) {
        return Reply::error(PTPResponseCode::invalidDataset);
    }
    const std::uint32_t storage = active.param(0);
    const std::uint32_t parent = normalisedParent(active.param(1));
    if (m_store.childNamed(storage, parent, info.filename)) {
        return Reply::error(PTPResponseCode::generalError);
    }
    const bool folder = info.format == corvane::PTPObjectFormat::association;
    const PhoneStorage& target = *m_store.findStorage(storage);
    if (!folder && info.compressedSize != corvane::PTPConstants::sizeUnknown32 &&
        info.compressedSize > m_store.freeSpace(target)) {
        return Reply::error(PTPResponseCode::storeFull);
    }
    PhoneObject& object = m_store.create(storage, parent, info.filename, info.format, PhoneContent{});
    const auto announced = corvane::MTPDate::parse(info.modificationDate);
    object.modified = announced ? announced : std::optional(m_clock.wallNow());
    object.created = object.modified;
    if (!folder) {
        m_pendingSend = PendingSend{object.handle, info.compressedSize};
    }
    return Reply::ok({storage, active.param(1), object.handle});
}

SimulatedPhone::Reply SimulatedPhone::sendObjectLocked(Active& active) {
    PhoneObject* object = m_store.find(active.targetHandle);
    m_pendingSend.reset();
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::noValidObjectInfo);
    }
    object->reportedSize = object->content.size();
    const PhoneStorage& storage = *m_store.findStorage(object->storageID);
    if (!storage.freeSpace && m_store.usedBytes(storage.id) > storage.maxCapacity) {
        m_store.remove(object->handle);
        return Reply::error(PTPResponseCode::storeFull);
    }
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::moveObjectLocked(const Active& active) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    const std::uint32_t storage = active.param(1);
    if (!storageVisibleLocked(storage) || !m_store.findStorage(storage)->hasLogicalStorage()) {
        return Reply::error(PTPResponseCode::invalidStorageID);
    }
    if (m_store.findStorage(object->storageID)->isReadOnly() || m_store.findStorage(storage)->isReadOnly()) {
        return Reply::error(PTPResponseCode::storeReadOnly);
    }
    if (object->protectionStatus != 0) {
        return Reply::error(PTPResponseCode::objectWriteProtected);
    }
    const std::uint32_t parent = normalisedParent(active.param(2));
    if (parent != 0) {
        const PhoneObject* folder = visibleObjectLocked(parent);
        if (folder == nullptr || !folder->isFolder() || folder->storageID != storage ||
            m_store.isWithin(parent, object->handle)) {
            return Reply::error(PTPResponseCode::invalidParentObject);
        }
    }
    if (object->storageID == storage && object->parent == parent) {
        return Reply::ok();
    }
    if (m_store.childNamed(storage, parent, object->name)) {
        return Reply::error(PTPResponseCode::generalError);
    }
    m_store.move(object->handle, storage, parent);
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::setObjectPropValueLocked(Active& active) {
    if (active.bufferOverflowed) {
        return Reply::error(PTPResponseCode::invalidObjectPropValue);
    }
    std::string newName;
    try {
        corvane::PTPReader reader(active.buffer);
        newName = reader.string();
    } catch (const corvane::PTPError&) {
        return Reply::error(PTPResponseCode::invalidObjectPropValue);
    }
    PhoneObject* object = m_store.find(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (active.param(1) == corvane::MTPObjectProperty::dateModified) {
        const auto date = corvane::MTPDate::parse(newName);
        if (!date) {
            return Reply::error(PTPResponseCode::invalidObjectPropValue);
        }
        object->modified = date;
        object->modificationText.reset();
        return Reply::ok();
    }
    if (!isValidName(newName)) {
        return Reply::error(PTPResponseCode::invalidObjectPropValue);
    }
    if (const auto other = m_store.childNamed(object->storageID, object->parent, newName);
        other && *other != object->handle) {
        return Reply::error(PTPResponseCode::generalError);
    }
    object->name = std::move(newName);
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::sendPartialObjectLocked(Active& active) {
    const std::uint32_t announced = active.param(3);
    if (active.received != announced) {
        violationLocked("SendPartialObject announced " + std::to_string(announced) + " bytes and sent " +
                        std::to_string(active.received));
    }
    return Reply::ok({static_cast<std::uint32_t>(active.received)});
}

SimulatedPhone::Reply SimulatedPhone::truncateObjectLocked(const Active& active) {
    PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (std::find(m_edits.begin(), m_edits.end(), object->handle) == m_edits.end()) {
        return Reply::error(PTPResponseCode::generalError);
    }
    object->content.resize(active.param64(1));
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::beginEditObjectLocked(const Active& active) {
    const PhoneObject* object = visibleObjectLocked(active.param(0));
    if (object == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (object->isFolder()) {
        return Reply::error(PTPResponseCode::invalidParameter);
    }
    if (m_store.findStorage(object->storageID)->isReadOnly()) {
        return Reply::error(PTPResponseCode::storeReadOnly);
    }
    if (object->protectionStatus != 0) {
        return Reply::error(PTPResponseCode::objectWriteProtected);
    }
    if (std::find(m_edits.begin(), m_edits.end(), object->handle) != m_edits.end()) {
        return Reply::error(PTPResponseCode::generalError);
    }
    m_edits.push_back(object->handle);
    return Reply::ok();
}

SimulatedPhone::Reply SimulatedPhone::endEditObjectLocked(const Active& active) {
    const std::uint32_t handle = active.param(0);
    if (visibleObjectLocked(handle) == nullptr) {
        return Reply::error(PTPResponseCode::invalidObjectHandle);
    }
    if (std::find(m_edits.begin(), m_edits.end(), handle) == m_edits.end()) {
        return Reply::error(PTPResponseCode::generalError);
    }
    endEditLocked(handle);
    return Reply::ok();
}

void SimulatedPhone::endEditLocked(std::uint32_t handle) {
    std::erase(m_edits, handle);
    if (PhoneObject* object = m_store.find(handle)) {
        // The phone's database learns the new size and date when the edit is committed.
        object->reportedSize = object->content.size();
        object->modified = m_clock.wallNow();
        object->modificationText.reset();
    }
}

void SimulatedPhone::endAllEditsLocked() {
    const std::vector<std::uint32_t> edits = m_edits;
    for (const std::uint32_t handle : edits) {
        endEditLocked(handle);
    }
}

} // namespace simulation
