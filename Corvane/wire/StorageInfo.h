#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace corvane {

/// One storage's information dataset (the answer to GetStorageInfo), identified by the storage ID that
/// was asked about, which is not itself on the wire.
struct StorageInfo {
    std::uint32_t id = 0;
    std::uint16_t storageType = 0;
    std::uint16_t filesystemType = 0;
    std::uint16_t accessCapability = 0;
    std::uint64_t maxCapacity = 0;
    std::uint64_t freeSpaceBytes = 0;
    std::uint32_t freeSpaceObjects = 0;
    std::string description;
    std::string volumeLabel;

    /// Reads the fields after id in wire order; a dataset that ends early throws truncatedData.
    static StorageInfo parse(std::uint32_t id, std::span<const std::byte> data);

    /// Both read-only capabilities (1, without and 2, with object deletion) count: neither allows writes.
    bool isReadOnly() const noexcept { return accessCapability != 0; }
};

} // namespace corvane
