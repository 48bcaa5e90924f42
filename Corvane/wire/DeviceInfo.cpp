#include "Corvane/wire/DeviceInfo.h"

#include "Corvane/wire/PTPReader.h"

namespace corvane {

namespace {

std::set<std::uint16_t> codeSet(PTPReader& reader) {
    const auto codes = reader.u16Array();
    return {codes.begin(), codes.end()};
}

} // namespace

DeviceInfo DeviceInfo::parse(std::span<const std::byte> data) {
    PTPReader reader(data);
    DeviceInfo info;
    info.standardVersion = reader.u16();
    info.vendorExtensionID = reader.u32();
    info.vendorExtensionVersion = reader.u16();
    info.vendorExtensionDescription = reader.string();
    info.functionalMode = reader.u16();
    info.operationsSupported = codeSet(reader);
    info.eventsSupported = codeSet(reader);
    info.devicePropertiesSupported = codeSet(reader);
    info.captureFormats = reader.u16Array();
    info.playbackFormats = reader.u16Array();
    info.manufacturer = reader.string();
    info.model = reader.string();
    info.deviceVersion = reader.string();
    info.serialNumber = reader.string();
    return info;
}

bool DeviceInfo::supports(PTPOperation operation) const {
    return operationsSupported.contains(rawValue(operation));
}

bool DeviceInfo::supportsRandomAccess() const {
    return supports(PTPOperation::androidGetPartialObject64) &&
           supports(PTPOperation::androidSendPartialObject) &&
           supports(PTPOperation::androidBeginEditObject) && supports(PTPOperation::androidEndEditObject);
}

} // namespace corvane
