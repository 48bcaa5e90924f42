#include "Corvane/wire/ObjectInfo.h"

#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPReader.h"
#include "Corvane/wire/PTPWriter.h"

#include <utility>

namespace corvane {

namespace {

// The protocol's association type for an ordinary folder.
constexpr std::uint16_t genericFolder = 1;

} // namespace

ObjectInfo::ObjectInfo(std::uint32_t storageID, std::uint32_t parentObject, std::string filename,
                       std::uint16_t format, std::uint32_t compressedSize, std::uint16_t protectionStatus)
    : storageID(storageID), format(format), protectionStatus(protectionStatus),
      compressedSize(compressedSize), parentObject(parentObject),
      associationType(format == PTPObjectFormat::association ? genericFolder : 0),
      filename(std::move(filename)) {}

ObjectInfo ObjectInfo::parse(std::span<const std::byte> data) {
    PTPReader reader(data);
    ObjectInfo info;
    info.storageID = reader.u32();
    info.format = reader.u16();
    info.protectionStatus = reader.u16();
    info.compressedSize = reader.u32();
    info.thumbFormat = reader.u16();
    info.thumbCompressedSize = reader.u32();
    info.thumbPixWidth = reader.u32();
    info.thumbPixHeight = reader.u32();
    info.imagePixWidth = reader.u32();
    info.imagePixHeight = reader.u32();
    info.imageBitDepth = reader.u32();
    info.parentObject = reader.u32();
    info.associationType = reader.u16();
    info.associationDescription = reader.u32();
    info.sequenceNumber = reader.u32();
    info.filename = reader.string();
    info.captureDate = reader.string();
    info.modificationDate = reader.string();
    info.keywords = reader.string();
    return info;
}

std::vector<std::byte> ObjectInfo::encoded() const {
    PTPWriter writer;
    writer.u32(storageID);
    writer.u16(format);
    writer.u16(protectionStatus);
    writer.u32(compressedSize);
    writer.u16(thumbFormat);
    writer.u32(thumbCompressedSize);
    writer.u32(thumbPixWidth);
    writer.u32(thumbPixHeight);
    writer.u32(imagePixWidth);
    writer.u32(imagePixHeight);
    writer.u32(imageBitDepth);
    writer.u32(parentObject);
    writer.u16(associationType);
    writer.u32(associationDescription);
    writer.u32(sequenceNumber);
    writer.string(filename);
    writer.string(captureDate);
    writer.string(modificationDate);
    writer.string(keywords);
    return writer.take();
}

bool ObjectInfo::isDirectory() const noexcept {
    return format == PTPObjectFormat::association;
}

} // namespace corvane
