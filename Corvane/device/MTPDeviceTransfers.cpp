// The operations that move bytes and change objects: downloads, ranged reads, object creation, deletion,
// moves, renames, and Android's in-place edits.

#include "Corvane/device/MTPDevice.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPWriter.h"

#include <limits>
#include <string>

namespace corvane {

namespace {

constexpr std::uint32_t rootParent = 0xFFFFFFFF;

/// A 64-bit value as two command parameters, as the Android operations take it: low half first.
std::uint32_t low32(std::uint64_t value) {
    return static_cast<std::uint32_t>(value & 0xFFFFFFFF);
}

std::uint32_t high32(std::uint64_t value) {
    return static_cast<std::uint32_t>(value >> 32);
}

} // namespace

void MTPDevice::Session::getObject(std::uint32_t handle, const DataSink& sink) {
    m_device.requireOperation(PTPOperation::getObject);
    engine().transaction(PTPOperation::getObject, {handle}, DataPhase::receive(sink));
}

std::vector<std::byte> MTPDevice::Session::readPartial(std::uint32_t handle, std::uint64_t offset,
                                                       std::uint32_t length, std::vector<std::byte> storage) {
    const auto info = m_device.infoSnapshot();
    // More bytes than asked for would be a device fault; the limit keeps them out of the caller's result.
    if (info && info->supports(PTPOperation::androidGetPartialObject64)) {
        return engine()
            .transaction(PTPOperation::androidGetPartialObject64,
                         {handle, low32(offset), high32(offset), length}, DataPhase::receive(length, storage))
            .data;
    }
    if (offset > std::numeric_limits<std::uint32_t>::max()) {
        throw PTPError::notSupported(PTPOperation::androidGetPartialObject64);
    }
    m_device.requireOperation(PTPOperation::getPartialObject);
    return engine()
        .transaction(PTPOperation::getPartialObject, {handle, static_cast<std::uint32_t>(offset), length},
                     DataPhase::receive(length, storage))
        .data;
}

std::uint32_t MTPDevice::Session::sendObjectInfo(const ObjectInfo& info) {
    m_device.requireOperation(PTPOperation::sendObjectInfo);
    const std::vector<std::byte> dataset = info.encoded();
    const Response response = engine().transaction(
        PTPOperation::sendObjectInfo, {info.storageID, info.parentObject}, DataPhase::send(dataset));
    // The response carries storage, parent and the new handle; without the handle the object may exist
    // on the device but cannot be named.
    if (response.params.size() < 3) {
        throw PTPError::malformedContainer("SendObjectInfo returned no handle");
    }
    return response.params[2];
}

void MTPDevice::Session::sendObject(std::span<const std::byte> data) {
    m_device.requireOperation(PTPOperation::sendObject);
    engine().transaction(PTPOperation::sendObject, {}, DataPhase::send(data));
}

void MTPDevice::Session::sendObject(std::uint64_t length, const DataProvider& provider) {
    m_device.requireOperation(PTPOperation::sendObject);
    engine().transaction(PTPOperation::sendObject, {}, DataPhase::send(length, provider));
}

std::uint32_t MTPDevice::Session::createFolder(std::uint32_t storageID, std::uint32_t parent,
                                               std::string_view name) {
    const ObjectInfo info(storageID, parent, std::string(name), PTPObjectFormat::association, 0, 0);
    return sendObjectInfo(info);
}

std::uint32_t MTPDevice::Session::createFile(std::uint32_t storageID, std::uint32_t parent,
                                             std::string_view name, std::uint64_t size,
                                             std::optional<MTPObject::TimePoint> modified) {
    const std::uint32_t announced =
        size >= PTPConstants::sizeUnknown32 ? PTPConstants::sizeUnknown32 : static_cast<std::uint32_t>(size);
    ObjectInfo info(storageID, parent, std::string(name), PTPObjectFormat::undefined, announced, 0);
    if (modified) {
        info.modificationDate = MTPDate::format(*modified);
    }
    return sendObjectInfo(info);
}

void MTPDevice::Session::deleteObject(std::uint32_t handle) {
    m_device.requireOperation(PTPOperation::deleteObject);
    // The second parameter is the format filter: 0 deletes whatever the handle is.
    engine().transaction(PTPOperation::deleteObject, {handle, 0});
}

void MTPDevice::Session::moveObject(std::uint32_t handle, std::uint32_t storageID, std::uint32_t parent) {
    m_device.requireOperation(PTPOperation::moveObject);
    // MoveObject names a storage's root as parent 0, not as the 0xFFFFFFFF the library uses.
    engine().transaction(PTPOperation::moveObject, {handle, storageID, parent == rootParent ? 0 : parent});
}

void MTPDevice::Session::rename(std::uint32_t handle, std::string_view name) {
    m_device.requireOperation(PTPOperation::setObjectPropValue);
    PTPWriter writer;
    writer.string(name);
    engine().transaction(PTPOperation::setObjectPropValue, {handle, MTPObjectProperty::objectFileName},
                         DataPhase::send(writer.data()));
}

void MTPDevice::Session::beginEdit(std::uint32_t handle) {
    m_device.requireOperation(PTPOperation::androidBeginEditObject);
    engine().transaction(PTPOperation::androidBeginEditObject, {handle});
}

void MTPDevice::Session::endEdit(std::uint32_t handle) {
    m_device.requireOperation(PTPOperation::androidEndEditObject);
    engine().transaction(PTPOperation::androidEndEditObject, {handle});
}

void MTPDevice::Session::truncate(std::uint32_t handle, std::uint64_t size) {
    m_device.requireOperation(PTPOperation::androidTruncateObject);
    engine().transaction(PTPOperation::androidTruncateObject, {handle, low32(size), high32(size)});
}

void MTPDevice::Session::writePartial(std::uint32_t handle, std::uint64_t offset,
                                      std::span<const std::byte> data) {
    m_device.requireOperation(PTPOperation::androidSendPartialObject);
    // The byte count travels as one 32-bit parameter; a larger write would announce a wrong count.
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw PTPError::io("androidSendPartialObject: " + std::to_string(data.size()) +
                           " bytes do not fit in one partial write");
    }
    engine().transaction(PTPOperation::androidSendPartialObject,
                         {handle, low32(offset), high32(offset), static_cast<std::uint32_t>(data.size())},
                         DataPhase::send(data));
}

} // namespace corvane
