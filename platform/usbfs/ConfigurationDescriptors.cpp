#include "platform/usbfs/ConfigurationDescriptors.h"

namespace usbfs {

namespace {

constexpr std::uint8_t deviceDescriptorType = 1;
constexpr std::uint8_t configurationDescriptorType = 2;
constexpr std::uint8_t interfaceDescriptorType = 4;
constexpr std::uint8_t endpointDescriptorType = 5;
constexpr std::size_t deviceDescriptorLength = 18;
constexpr std::size_t configurationHeaderLength = 9;

std::uint8_t byteAt(std::span<const std::byte> bytes, std::size_t index) {
    return std::to_integer<std::uint8_t>(bytes[index]);
}

std::uint16_t wordAt(std::span<const std::byte> bytes, std::size_t index) {
    return static_cast<std::uint16_t>(byteAt(bytes, index) | (byteAt(bytes, index + 1) << 8));
}

// The endpoints of one interface setting inside one configuration's descriptors.
std::vector<usb::EndpointDescriptor> endpointsIn(std::span<const std::byte> configuration,
                                                 std::uint8_t interfaceNumber,
                                                 std::uint8_t alternateSetting) {
    std::vector<usb::EndpointDescriptor> endpoints;
    bool inSetting = false;
    for (std::size_t offset = 0; offset + 2 <= configuration.size();) {
        const std::size_t length = byteAt(configuration, offset);
        if (length < 2 || offset + length > configuration.size()) {
            break; // a descriptor that lies about its length ends the walk
        }
        const auto descriptor = configuration.subspan(offset, length);
        const std::uint8_t type = byteAt(descriptor, 1);
        if (type == interfaceDescriptorType && length >= 9) {
            if (inSetting) {
                break; // the next interface setting begins: ours is complete
            }
            inSetting = byteAt(descriptor, 2) == interfaceNumber && byteAt(descriptor, 3) == alternateSetting;
        } else if (type == endpointDescriptorType && length >= 7 && inSetting) {
            endpoints.push_back(
                {byteAt(descriptor, 2), byteAt(descriptor, 3), wordAt(descriptor, 4), byteAt(descriptor, 6)});
        }
        offset += length;
    }
    return endpoints;
}

} // namespace

std::vector<usb::EndpointDescriptor> interfaceEndpoints(std::span<const std::byte> descriptors,
                                                        std::uint8_t configurationValue,
                                                        std::uint8_t interfaceNumber,
                                                        std::uint8_t alternateSetting) {
    if (descriptors.size() < deviceDescriptorLength || byteAt(descriptors, 1) != deviceDescriptorType) {
        return {};
    }
    for (std::size_t offset = deviceDescriptorLength;
         offset + configurationHeaderLength <= descriptors.size();) {
        if (byteAt(descriptors, offset + 1) != configurationDescriptorType) {
            return {};
        }
        const std::size_t total = wordAt(descriptors, offset + 2);
        if (total < configurationHeaderLength) {
            return {};
        }
        // The kernel keeps what the device sent, which may be shorter than wTotalLength claims.
        const auto configuration = descriptors.subspan(offset, std::min(total, descriptors.size() - offset));
        if (byteAt(configuration, 5) == configurationValue) {
            return endpointsIn(configuration, interfaceNumber, alternateSetting);
        }
        offset += total;
    }
    return {};
}

} // namespace usbfs
