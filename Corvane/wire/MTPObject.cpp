#include "Corvane/wire/MTPObject.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPConstants.h"

#include <utility>

namespace corvane {

MTPObject::MTPObject(std::uint32_t handle, std::uint32_t storageID, std::uint32_t parent, std::string name,
                     std::uint64_t size, std::uint16_t format, std::optional<TimePoint> modified,
                     bool isReadOnly)
    : m_handle(handle), m_storageID(storageID), m_parent(parent), m_name(std::move(name)), m_size(size),
      m_format(format), m_modified(modified), m_isReadOnly(isReadOnly) {}

MTPObject::MTPObject(std::uint32_t handle, const ObjectInfo& info, std::optional<std::uint64_t> size64)
    : MTPObject(handle, info.storageID, info.parentObject, info.filename,
                size64.value_or(info.compressedSize), info.format, MTPDate::parse(info.modificationDate),
                info.protectionStatus != 0) {}

bool MTPObject::isDirectory() const noexcept {
    return m_format == PTPObjectFormat::association;
}

} // namespace corvane
