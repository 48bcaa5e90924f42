#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvane {

/// The object information dataset, fields in wire order: read from GetObjectInfo, and sent with
/// SendObjectInfo to announce a new file or folder.
struct ObjectInfo {
    std::uint32_t storageID = 0;
    std::uint16_t format = 0;
    std::uint16_t protectionStatus = 0;
    /// Size in bytes; 0xFFFFFFFF when it does not fit in 32 bits.
    std::uint32_t compressedSize = 0;
    std::uint16_t thumbFormat = 0;
    std::uint32_t thumbCompressedSize = 0;
    std::uint32_t thumbPixWidth = 0;
    std::uint32_t thumbPixHeight = 0;
    std::uint32_t imagePixWidth = 0;
    std::uint32_t imagePixHeight = 0;
    std::uint32_t imageBitDepth = 0;
    std::uint32_t parentObject = 0;
    std::uint16_t associationType = 0;
    std::uint32_t associationDescription = 0;
    std::uint32_t sequenceNumber = 0;
    std::string filename;
    std::string captureDate;
    /// A date text as MTPDate reads and writes it.
    std::string modificationDate;
    std::string keywords;

    ObjectInfo() = default;
    /// A dataset for a new object: the other numbers 0, the texts empty, and the association type 1 (a
    /// generic folder) for the folder format and 0 otherwise.
    ObjectInfo(std::uint32_t storageID, std::uint32_t parentObject, std::string filename,
               std::uint16_t format, std::uint32_t compressedSize, std::uint16_t protectionStatus);

    /// Reads all nineteen fields in order; a dataset that ends early (even after the filename) throws
    /// truncatedData. Bytes after the keywords are ignored.
    static ObjectInfo parse(std::span<const std::byte> data);
    /// All nineteen fields in order, exactly as they are.
    std::vector<std::byte> encoded() const;

    bool isDirectory() const noexcept;

    bool operator==(const ObjectInfo&) const = default;
};

} // namespace corvane
