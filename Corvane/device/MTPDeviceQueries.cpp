// The device's read-only questions: device and storage information, device properties and the battery
// level, object handles, information and properties, and folder listings.

#include "Corvane/device/MTPDevice.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPReader.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace corvane {

namespace {

constexpr std::uint32_t rootParent = 0xFFFFFFFF;
constexpr std::uint16_t specificationByDepthUnsupported = 0xA808;
constexpr std::uint16_t operationNotSupported = 0x2005;

/// An integer of a property's data type, or nothing (and nothing read) for a type that is not one of
/// the six integer types up to 32 bits.
std::optional<std::int64_t> readInteger(PTPReader& reader, std::uint16_t type) {
    switch (type) {
    case 0x0001:
        return reader.i8();
    case 0x0002:
        return reader.u8();
    case 0x0003:
        return reader.i16();
    case 0x0004:
        return reader.u16();
    case 0x0005:
        return reader.i32();
    case 0x0006:
        return reader.u32();
    default:
        return std::nullopt;
    }
}

/// The battery level from a device property description: the current value placed on the range the
/// description gives, or on 0 to 100. Throws truncatedData for a description that ends too early.
std::optional<int> levelFromDescription(std::span<const std::byte> data) {
    PTPReader reader(data);
    reader.u16(); // the property code; devices are trusted to describe what was asked
    const std::uint16_t type = reader.u16();
    reader.u8(); // get/set
    if (!readInteger(reader, type)) {
        return std::nullopt; // the factory default tells whether the type is an integer at all
    }
    const std::int64_t current = *readInteger(reader, type);
    double low = 0;
    double high = 100;
    if (reader.u8() == 1) { // range form
        const std::int64_t minimum = *readInteger(reader, type);
        const std::int64_t maximum = *readInteger(reader, type);
        if (minimum < maximum) {
            low = static_cast<double>(minimum);
            high = static_cast<double>(maximum);
        }
    }
    const double level = std::round((static_cast<double>(current) - low) / (high - low) * 100.0);
    if (!(level >= 0 && level <= 100)) {
        return std::nullopt;
    }
    return static_cast<int>(level);
}

} // namespace

// Device and storage queries

DeviceInfo MTPDevice::Session::getDeviceInfo() {
    // Every device answers GetDeviceInfo: it is how the operation list is learnt in the first place.
    return DeviceInfo::parse(received(PTPOperation::getDeviceInfo, {}).data);
}

std::vector<std::uint32_t> MTPDevice::Session::getStorageIDs() {
    m_device.requireOperation(PTPOperation::getStorageIDs);
    const Response response = received(PTPOperation::getStorageIDs, {});
    PTPReader reader(response.data);
    return reader.u32Array();
}

StorageInfo MTPDevice::Session::getStorageInfo(std::uint32_t storageID) {
    m_device.requireOperation(PTPOperation::getStorageInfo);
    return StorageInfo::parse(storageID, received(PTPOperation::getStorageInfo, {storageID}).data);
}

std::vector<StorageInfo> MTPDevice::Session::getStorages() {
    m_device.requireOperation(PTPOperation::getStorageIDs);
    m_device.requireOperation(PTPOperation::getStorageInfo);
    std::vector<StorageInfo> storages;
    for (const std::uint32_t id : getStorageIDs()) {
        // A physical store without its logical part, such as an empty card slot, has nothing to show.
        if ((id & 0xFFFF) == 0) {
            continue;
        }
        storages.push_back(getStorageInfo(id));
    }
    return storages;
}

std::vector<std::byte> MTPDevice::Session::getDevicePropValue(std::uint16_t property) {
    m_device.requireOperation(PTPOperation::getDevicePropValue);
    return received(PTPOperation::getDevicePropValue, {property}).data;
}

std::optional<int> MTPDevice::Session::batteryLevel() {
    const auto info = m_device.infoSnapshot();
    if (!info || !info->devicePropertiesSupported.contains(PTPDeviceProperty::batteryLevel)) {
        return std::nullopt;
    }
    if (info->supports(PTPOperation::getDevicePropDesc)) {
        if (const auto level = batteryLevelFromDescription(); level && *level >= 1) {
            return level;
        }
    }
    const std::vector<std::byte> value = getDevicePropValue(PTPDeviceProperty::batteryLevel);
    PTPReader reader(value);
    const std::uint8_t level = reader.u8();
    // A level of 0 is what devices report when they do not know it; it is not shown as an empty battery.
    if (level < 1 || level > 100) {
        return std::nullopt;
    }
    return level;
}

std::optional<int> MTPDevice::Session::batteryLevelFromDescription() {
    try {
        const Response response =
            received(PTPOperation::getDevicePropDesc, {PTPDeviceProperty::batteryLevel});
        return levelFromDescription(response.data);
    } catch (const PTPError&) {
        // Many devices describe the property badly; the plain value is asked for instead.
        return std::nullopt;
    }
}

// Object queries

std::vector<std::uint32_t> MTPDevice::Session::getObjectHandles(std::uint32_t storageID, std::uint32_t format,
                                                                std::uint32_t parent) {
    m_device.requireOperation(PTPOperation::getObjectHandles);
    const Response response = received(PTPOperation::getObjectHandles, {storageID, format, parent});
    PTPReader reader(response.data);
    return reader.u32Array();
}

ObjectInfo MTPDevice::Session::getObjectInfo(std::uint32_t handle) {
    m_device.requireOperation(PTPOperation::getObjectInfo);
    return ObjectInfo::parse(received(PTPOperation::getObjectInfo, {handle}).data);
}

std::vector<std::byte> MTPDevice::Session::getObjectPropValue(std::uint32_t handle, std::uint16_t property) {
    m_device.requireOperation(PTPOperation::getObjectPropValue);
    return received(PTPOperation::getObjectPropValue, {handle, property}).data;
}

std::uint64_t MTPDevice::Session::getObjectSize64(std::uint32_t handle) {
    const std::vector<std::byte> value = getObjectPropValue(handle, MTPObjectProperty::objectSize);
    PTPReader reader(value);
    return reader.u64();
}

std::vector<std::uint16_t> MTPDevice::Session::getObjectPropsSupported(std::uint16_t format) {
    m_device.requireOperation(PTPOperation::getObjectPropsSupported);
    const Response response = received(PTPOperation::getObjectPropsSupported, {format});
    PTPReader reader(response.data);
    return reader.u16Array();
}

std::vector<MTPPropertyElement>
MTPDevice::Session::getObjectPropList(std::uint32_t handle, std::uint32_t format, std::uint32_t property,
                                      std::uint32_t group, std::uint32_t depth) {
    m_device.requireOperation(PTPOperation::getObjectPropList);
    const Response response =
        received(PTPOperation::getObjectPropList, {handle, format, property, group, depth});
    return MTPPropertyElement::parseList(response.data);
}

// Listings

std::vector<MTPObject> MTPDevice::Session::listDirectory(std::uint32_t storageID, std::uint32_t parent) {
    const auto info = m_device.infoSnapshot();
    if (info && info->supports(PTPOperation::getObjectPropList) && !m_device.m_propListBroken) {
        try {
            return listDirectoryViaPropList(storageID, parent);
        } catch (const PTPError& error) {
            if (error.kind() != PTPError::Kind::responseError) {
                throw;
            }
            // A device that refuses depth-1 queries or the operation itself will refuse them every time;
            // any other refusal may concern only this folder.
            if (error.code() == specificationByDepthUnsupported || error.code() == operationNotSupported) {
                m_device.m_propListBroken = true;
            }
        }
    }
    m_device.requireOperation(PTPOperation::getObjectHandles);
    m_device.requireOperation(PTPOperation::getObjectInfo);
    std::vector<MTPObject> children;
    for (const std::uint32_t handle : getObjectHandles(storageID, 0, parent)) {
        children.push_back(object(handle));
    }
    return children;
}

MTPObject MTPDevice::Session::object(std::uint32_t handle) {
    const ObjectInfo info = getObjectInfo(handle);
    const auto deviceInfo = m_device.infoSnapshot();
    if (!deviceInfo || !deviceInfo->supports(PTPOperation::getObjectPropValue)) {
        return MTPObject(handle, info, std::nullopt);
    }
    // The dataset's size has 32 bits: 0xFFFFFFFF says that the real one is larger, but some devices put
    // the low 32 bits there instead, and a 5 GiB file then looks like 1 GiB. Where the device offers the
    // 64-bit size property for the format and the storage is large enough to hold such a file, a file's
    // size comes from it; on a smaller storage the dataset's size is the whole size, and asking again for
    // every file would double what a listing costs.
    const bool unknown = info.compressedSize == PTPConstants::sizeUnknown32;
    const bool isFolder = info.format == PTPObjectFormat::association;
    if (!unknown && (isFolder || m_device.m_marksLargeSizes || !offersSize64(info.format) ||
                     !mayHoldLargeObjects(info.storageID))) {
        return MTPObject(handle, info, std::nullopt);
    }
    std::optional<std::uint64_t> size64;
    try {
        size64 = getObjectSize64(handle);
    } catch (const PTPError&) {
        // The record keeps the dataset's size: a wrong size is better than no record at all.
    }
    // A 64-bit size that disagrees with the dataset's low 32 bits is not the same file's size.
    if (size64 && !unknown && (*size64 & 0xFFFFFFFF) != info.compressedSize) {
        size64.reset();
    }
    // A device that says 0xFFFFFFFF for a file that is larger does so for every such file: the others'
    // datasets hold their whole sizes.
    if (size64 && unknown && *size64 > PTPConstants::sizeUnknown32) {
        m_device.m_marksLargeSizes = true;
    }
    return MTPObject(handle, info, size64);
}

bool MTPDevice::Session::offersSize64(std::uint16_t format) {
    auto& known = m_device.m_size64Formats;
    if (const auto found = known.find(format); found != known.end()) {
        return found->second;
    }
    bool offered = false;
    const auto deviceInfo = m_device.infoSnapshot();
    if (deviceInfo && deviceInfo->supports(PTPOperation::getObjectPropsSupported)) {
        try {
            const auto properties = getObjectPropsSupported(format);
            offered = std::find(properties.begin(), properties.end(), MTPObjectProperty::objectSize) !=
                      properties.end();
        } catch (const PTPError&) {
            // A format the device cannot describe gets the dataset's size.
        }
    }
    known.emplace(format, offered);
    return offered;
}

bool MTPDevice::Session::mayHoldLargeObjects(std::uint32_t storageID) {
    auto& known = m_device.m_largeObjectStorages;
    if (const auto found = known.find(storageID); found != known.end()) {
        return found->second;
    }
    // A storage the device cannot describe, or describes without a capacity, may hold anything.
    bool large = true;
    const auto deviceInfo = m_device.infoSnapshot();
    if (deviceInfo && deviceInfo->supports(PTPOperation::getStorageInfo)) {
        try {
            const StorageInfo storage = getStorageInfo(storageID);
            large = storage.maxCapacity == 0 || storage.maxCapacity > PTPConstants::sizeUnknown32;
        } catch (const PTPError&) {
            // Taken to hold anything: a size asked for too often costs time, a wrong one costs data.
        }
    }
    known.emplace(storageID, large);
    return large;
}

std::unordered_map<std::uint32_t, MTPValue>
MTPDevice::Session::childPropertyValues(std::uint16_t property, std::uint32_t queryHandle,
                                        std::vector<std::uint32_t>* order, bool* answeredForFolder) {
    const auto elements = getObjectPropList(queryHandle, 0, property, 0, 1);
    std::unordered_map<std::uint32_t, MTPValue> values;
    for (const MTPPropertyElement& element : elements) {
        if (element.handle == queryHandle) {
            if (answeredForFolder != nullptr) {
                *answeredForFolder = true;
            }
            continue; // some devices list the folder itself among its children
        }
        const bool first = values.insert_or_assign(element.handle, element.value).second;
        if (first && order != nullptr) {
            order->push_back(element.handle);
        }
    }
    return values;
}

std::vector<MTPObject> MTPDevice::Session::listDirectoryViaPropList(std::uint32_t storageID,
                                                                    std::uint32_t parent) {
    const bool atRoot = parent == rootParent;
    const std::uint32_t query = atRoot ? 0 : parent;
    std::vector<std::uint32_t> order;
    bool answeredForFolder = false;
    const auto names =
        childPropertyValues(MTPObjectProperty::objectFileName, query, &order, &answeredForFolder);
    if (names.empty()) {
        // An answer that describes only the folder itself is what an empty folder gives on most phones,
        // and every folder gives on a device that ignores the depth. One handle query tells them apart;
        // only the second kind is remembered as broken, so empty folders don't cost fast listings.
        if (answeredForFolder && !getObjectHandles(storageID, 0, parent).empty()) {
            m_device.m_propListBroken = true;
            throw PTPError::responseError(specificationByDepthUnsupported, PTPOperation::getObjectPropList);
        }
        return {};
    }
    const auto formats = childPropertyValues(MTPObjectProperty::objectFormat, query, nullptr);
    const auto sizes = childPropertyValues(MTPObjectProperty::objectSize, query, nullptr);
    std::unordered_map<std::uint32_t, MTPValue> dates;
    try {
        dates = childPropertyValues(MTPObjectProperty::dateModified, query, nullptr);
    } catch (const PTPError&) {
        // Dates are a nicety; a device that cannot list them still lists the folder.
    }
    std::unordered_map<std::uint32_t, MTPValue> storages;
    if (atRoot) {
        // Handle 0 means every storage's root at once, so the storage decides which objects belong here.
        try {
            storages = childPropertyValues(MTPObjectProperty::storageID, 0, nullptr);
        } catch (const PTPError&) {
            // Without storage IDs every object is taken to be in the storage asked about.
        }
    }
    const auto numeric = [](const std::unordered_map<std::uint32_t, MTPValue>& map,
                            std::uint32_t handle) -> std::optional<std::uint64_t> {
        const auto found = map.find(handle);
        if (found == map.end()) {
            return std::nullopt;
        }
        return found->second.uintValue();
    };

    std::vector<MTPObject> children;
    children.reserve(order.size());
    for (const std::uint32_t handle : order) {
        std::optional<std::string> name = names.at(handle).stringValue();
        if (!name) {
            continue;
        }
        const std::uint32_t storage =
            static_cast<std::uint32_t>(numeric(storages, handle).value_or(storageID));
        if (atRoot && storage != storageID) {
            continue;
        }
        const std::uint64_t size = numeric(sizes, handle).value_or(0);
        const auto format = static_cast<std::uint16_t>(numeric(formats, handle).value_or(0));
        std::optional<MTPObject::TimePoint> modified;
        if (const auto date = dates.find(handle); date != dates.end()) {
            if (const auto text = date->second.stringValue()) {
                modified = MTPDate::parse(*text);
            }
        }
        children.emplace_back(handle, storage, atRoot ? 0 : parent, std::move(*name), size, format, modified,
                              false);
    }
    return children;
}

} // namespace corvane
