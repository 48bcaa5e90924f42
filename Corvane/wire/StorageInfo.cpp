#include "Corvane/wire/StorageInfo.h"

#include "Corvane/wire/PTPReader.h"

namespace corvane {

StorageInfo StorageInfo::parse(std::uint32_t id, std::span<const std::byte> data) {
    PTPReader reader(data);
    StorageInfo info;
    info.id = id;
    info.storageType = reader.u16();
    info.filesystemType = reader.u16();
    info.accessCapability = reader.u16();
    info.maxCapacity = reader.u64();
    info.freeSpaceBytes = reader.u64();
    info.freeSpaceObjects = reader.u32();
    info.description = reader.string();
    info.volumeLabel = reader.string();
    return info;
}

} // namespace corvane
