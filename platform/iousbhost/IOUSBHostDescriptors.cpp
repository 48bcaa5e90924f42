#include "platform/iousbhost/IOUSBHostDescriptors.h"

#include <algorithm>

namespace iousbhost {

namespace {

std::uint8_t byteAt(const std::vector<std::byte>& bytes, std::size_t offset) {
    return std::to_integer<std::uint8_t>(bytes[offset]);
}

// How far the descriptors reach: wTotalLength, but never past the bytes that are there.
std::size_t limitOf(const IOUSBConfigurationDescriptor& configuration) {
    const std::size_t total = configuration.wTotalLength();
    return std::min(configuration.bytes.size(), total);
}

// The descriptor that starts at offset, when its header and its whole length fit before limit.
struct Header {
    std::uint8_t length = 0;
    std::uint8_t type = 0;
};

std::optional<Header> headerAt(const IOUSBConfigurationDescriptor& configuration, std::size_t offset,
                               std::size_t limit) {
    if (offset >= limit || limit - offset < 2) {
        return std::nullopt;
    }
    const Header header{byteAt(configuration.bytes, offset), byteAt(configuration.bytes, offset + 1)};
    if (header.length < 2 || header.length > limit - offset) {
        return std::nullopt;
    }
    return header;
}

// Where the descriptor after the one at offset starts, or nothing when the one at offset is malformed.
std::optional<std::size_t> nextOffset(const IOUSBConfigurationDescriptor& configuration, std::size_t offset,
                                      std::size_t limit) {
    const auto header = headerAt(configuration, offset, limit);
    if (!header) {
        return std::nullopt;
    }
    return offset + header->length;
}

IOUSBInterfaceDescriptor interfaceAt(const std::vector<std::byte>& bytes, std::size_t offset) {
    IOUSBInterfaceDescriptor descriptor;
    descriptor.offset = offset;
    descriptor.bLength = byteAt(bytes, offset);
    descriptor.bDescriptorType = byteAt(bytes, offset + 1);
    descriptor.bInterfaceNumber = byteAt(bytes, offset + 2);
    descriptor.bAlternateSetting = byteAt(bytes, offset + 3);
    descriptor.bNumEndpoints = byteAt(bytes, offset + 4);
    descriptor.bInterfaceClass = byteAt(bytes, offset + 5);
    descriptor.bInterfaceSubClass = byteAt(bytes, offset + 6);
    descriptor.bInterfaceProtocol = byteAt(bytes, offset + 7);
    descriptor.iInterface = byteAt(bytes, offset + 8);
    return descriptor;
}

IOUSBEndpointDescriptor endpointAt(const std::vector<std::byte>& bytes, std::size_t offset) {
    IOUSBEndpointDescriptor descriptor;
    descriptor.offset = offset;
    descriptor.bLength = byteAt(bytes, offset);
    descriptor.bDescriptorType = byteAt(bytes, offset + 1);
    descriptor.bEndpointAddress = byteAt(bytes, offset + 2);
    descriptor.bmAttributes = byteAt(bytes, offset + 3);
    descriptor.wMaxPacketSize =
        static_cast<std::uint16_t>(byteAt(bytes, offset + 4) | (byteAt(bytes, offset + 5) << 8));
    descriptor.bInterval = byteAt(bytes, offset + 6);
    return descriptor;
}

void put(std::vector<std::byte>& bytes, std::uint8_t value) {
    bytes.push_back(static_cast<std::byte>(value));
}

void put16(std::vector<std::byte>& bytes, std::uint16_t value) {
    put(bytes, static_cast<std::uint8_t>(value & 0xFF));
    put(bytes, static_cast<std::uint8_t>(value >> 8));
}

} // namespace

std::uint16_t IOUSBConfigurationDescriptor::wTotalLength() const {
    if (bytes.size() < 4) {
        return 0;
    }
    return static_cast<std::uint16_t>(byteAt(bytes, 2) | (byteAt(bytes, 3) << 8));
}

std::uint8_t IOUSBConfigurationDescriptor::bConfigurationValue() const {
    return bytes.size() < 6 ? 0 : byteAt(bytes, 5);
}

std::optional<IOUSBInterfaceDescriptor>
IOUSBGetNextInterfaceDescriptor(const IOUSBConfigurationDescriptor& configuration,
                                const IOUSBInterfaceDescriptor* current) {
    const std::size_t limit = limitOf(configuration);
    auto offset = nextOffset(configuration, current != nullptr ? current->offset : 0, limit);
    while (offset) {
        const auto header = headerAt(configuration, *offset, limit);
        if (!header) {
            return std::nullopt;
        }
        if (header->type == kIOUSBDescriptorTypeInterface) {
            if (header->length < kIOUSBInterfaceDescriptorLength) {
                return std::nullopt;
            }
            return interfaceAt(configuration.bytes, *offset);
        }
        offset = *offset + header->length;
    }
    return std::nullopt;
}

std::optional<IOUSBEndpointDescriptor>
IOUSBGetNextEndpointDescriptor(const IOUSBConfigurationDescriptor& configuration,
                               const IOUSBInterfaceDescriptor& interface,
                               const IOUSBEndpointDescriptor* current) {
    const std::size_t limit = limitOf(configuration);
    auto offset = nextOffset(configuration, current != nullptr ? current->offset : interface.offset, limit);
    while (offset) {
        const auto header = headerAt(configuration, *offset, limit);
        if (!header || header->type == kIOUSBDescriptorTypeInterface) {
            return std::nullopt;
        }
        if (header->type == kIOUSBDescriptorTypeEndpoint) {
            if (header->length < kIOUSBEndpointDescriptorLength) {
                return std::nullopt;
            }
            return endpointAt(configuration.bytes, *offset);
        }
        // Class-specific and other descriptors sit between endpoints; they are stepped over.
        offset = *offset + header->length;
    }
    return std::nullopt;
}

IOUSBConfigurationDescriptor
makeConfigurationDescriptor(std::uint8_t configurationValue,
                            std::span<const InterfaceDescriptorSource> interfaces) {
    IOUSBConfigurationDescriptor configuration;
    auto& bytes = configuration.bytes;
    put(bytes, kIOUSBConfigurationDescriptorLength);
    put(bytes, kIOUSBDescriptorTypeConfiguration);
    put16(bytes, 0); // wTotalLength, filled in below
    put(bytes, static_cast<std::uint8_t>(std::min<std::size_t>(interfaces.size(), 255)));
    put(bytes, configurationValue);
    put(bytes, 0);    // iConfiguration
    put(bytes, 0x80); // bmAttributes: bus-powered
    put(bytes, 250);  // bMaxPower: 500 mA
    for (const auto& interface : interfaces) {
        const auto& fields = interface.fields;
        put(bytes, kIOUSBInterfaceDescriptorLength);
        put(bytes, kIOUSBDescriptorTypeInterface);
        put(bytes, fields.bInterfaceNumber);
        put(bytes, fields.bAlternateSetting);
        put(bytes, static_cast<std::uint8_t>(std::min<std::size_t>(interface.endpoints.size(), 255)));
        put(bytes, fields.bInterfaceClass);
        put(bytes, fields.bInterfaceSubClass);
        put(bytes, fields.bInterfaceProtocol);
        put(bytes, fields.iInterface);
        for (const auto& endpoint : interface.endpoints) {
            put(bytes, kIOUSBEndpointDescriptorLength);
            put(bytes, kIOUSBDescriptorTypeEndpoint);
            put(bytes, endpoint.address);
            put(bytes, endpoint.attributes);
            put16(bytes, endpoint.maxPacketSize);
            put(bytes, endpoint.interval);
        }
    }
    // A configuration too large for its 16-bit length is cut at the limit; the walkers stop there.
    const auto total = static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size(), 0xFFFF));
    bytes[2] = static_cast<std::byte>(total & 0xFF);
    bytes[3] = static_cast<std::byte>(total >> 8);
    return configuration;
}

} // namespace iousbhost
