#include "simulation/peer/FunctionFSDescriptors.h"

#include "simulation/peer/RealPeerError.h"

#include <linux/usb/functionfs.h>

#include <cstring>
#include <optional>

namespace simulation {

namespace {

constexpr std::uint8_t interfaceDescriptorType = 4;
constexpr std::uint8_t endpointDescriptorType = 5;

// A little-endian cursor that fails with the blob's name instead of reading past its end.
class BlobReader {
public:
    BlobReader(std::span<const std::byte> bytes, const char* what) : m_bytes(bytes), m_what(what) {}

    std::uint32_t u32() {
        const auto raw = take(4);
        return std::to_integer<std::uint32_t>(raw[0]) | std::to_integer<std::uint32_t>(raw[1]) << 8 |
               std::to_integer<std::uint32_t>(raw[2]) << 16 | std::to_integer<std::uint32_t>(raw[3]) << 24;
    }
    std::uint16_t u16() {
        const auto raw = take(2);
        return static_cast<std::uint16_t>(std::to_integer<unsigned>(raw[0]) |
                                          std::to_integer<unsigned>(raw[1]) << 8);
    }
    std::span<const std::byte> take(std::size_t count) {
        if (count > m_bytes.size() - m_offset) {
            throw RealPeerError(std::string(m_what) + " is truncated: " + std::to_string(count) +
                                " bytes needed at offset " + std::to_string(m_offset) + " of " +
                                std::to_string(m_bytes.size()));
        }
        const auto taken = m_bytes.subspan(m_offset, count);
        m_offset += count;
        return taken;
    }
    std::size_t offset() const { return m_offset; }
    bool atEnd() const { return m_offset == m_bytes.size(); }

private:
    std::span<const std::byte> m_bytes;
    std::size_t m_offset = 0;
    const char* m_what;
};

std::uint8_t byteAt(std::span<const std::byte> bytes, std::size_t index) {
    return std::to_integer<std::uint8_t>(bytes[index]);
}

void checkLength(BlobReader& reader, std::size_t size, const char* what) {
    const std::uint32_t length = reader.u32();
    if (length != size) {
        throw RealPeerError(std::string(what) + " says it is " + std::to_string(length) + " bytes long but " +
                            std::to_string(size) + " arrived");
    }
}

// The descriptors of one speed: records the first interface and, when asked, the endpoints in order.
void readDescriptors(BlobReader& reader, std::uint32_t count, bool takeEndpoints,
                     std::optional<FunctionFSDescriptors>& interface, FunctionFSDescriptors& result) {
    std::vector<usb::EndpointDescriptor> endpoints;
    for (std::uint32_t index = 0; index < count; ++index) {
        const auto head = reader.take(2);
        const std::uint8_t length = byteAt(head, 0);
        const std::uint8_t type = byteAt(head, 1);
        if (length < 2) {
            throw RealPeerError("descriptor " + std::to_string(index) + " has length " +
                                std::to_string(length));
        }
        const auto body = reader.take(length - 2U);
        if (type == interfaceDescriptorType && body.size() >= 7 && !interface) {
            FunctionFSDescriptors found;
            found.interfaceNumber = byteAt(body, 0);
            found.interfaceClass = byteAt(body, 3);
            found.interfaceSubClass = byteAt(body, 4);
            found.interfaceProtocol = byteAt(body, 5);
            interface = found;
        } else if (type == endpointDescriptorType && body.size() >= 5) {
            usb::EndpointDescriptor endpoint;
            endpoint.address = byteAt(body, 0);
            endpoint.attributes = byteAt(body, 1);
            endpoint.maxPacketSize = static_cast<std::uint16_t>(byteAt(body, 2) | byteAt(body, 3) << 8);
            endpoint.interval = byteAt(body, 4);
            endpoints.push_back(endpoint);
        }
    }
    if (takeEndpoints) {
        result.endpoints = std::move(endpoints);
    }
}

} // namespace

RealPeerError RealPeerError::fromErrno(const std::string& call, int error) {
    return RealPeerError(call + ": " + std::strerror(error));
}

std::uint32_t functionFSMagic(std::span<const std::byte> blob) {
    if (blob.size() < 4) {
        return 0;
    }
    return BlobReader(blob, "blob").u32();
}

FunctionFSDescriptors FunctionFSDescriptors::parse(std::span<const std::byte> blob) {
    constexpr const char* what = "the FunctionFS descriptors blob";
    BlobReader reader(blob, what);
    const std::uint32_t magic = reader.u32();
    checkLength(reader, blob.size(), what);
    FunctionFSDescriptors result;
    if (magic == FUNCTIONFS_DESCRIPTORS_MAGIC_V2) {
        result.flags = reader.u32();
        if ((result.flags & FUNCTIONFS_EVENTFD) != 0) {
            reader.u32(); // the eventfd number: events are read from ep0 here, never signalled
        }
    } else if (magic == FUNCTIONFS_DESCRIPTORS_MAGIC) {
        result.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    } else {
        throw RealPeerError(std::string(what) + " has magic " + std::to_string(magic));
    }
    std::uint32_t counts[3] = {0, 0, 0};
    for (int speed = 0; speed < 3; ++speed) {
        if ((result.flags & (1U << speed)) != 0) {
            counts[speed] = reader.u32();
        }
    }
    if ((result.flags & FUNCTIONFS_HAS_MS_OS_DESC) != 0) {
        reader.u32(); // Microsoft OS descriptors follow the speeds; nothing here reads them
    }
    // Endpoint files are numbered by the high-speed list when there is one: the bus runs at high speed.
    const bool hasHighSpeed = counts[1] > 0;
    std::optional<FunctionFSDescriptors> interface;
    readDescriptors(reader, counts[0], !hasHighSpeed, interface, result);
    readDescriptors(reader, counts[1], hasHighSpeed, interface, result);
    readDescriptors(reader, counts[2], false, interface, result);
    if (!interface) {
        throw RealPeerError(std::string(what) + " declares no interface");
    }
    result.interfaceNumber = interface->interfaceNumber;
    result.interfaceClass = interface->interfaceClass;
    result.interfaceSubClass = interface->interfaceSubClass;
    result.interfaceProtocol = interface->interfaceProtocol;
    return result;
}

FunctionFSStrings FunctionFSStrings::parse(std::span<const std::byte> blob) {
    constexpr const char* what = "the FunctionFS strings blob";
    BlobReader reader(blob, what);
    const std::uint32_t magic = reader.u32();
    if (magic != FUNCTIONFS_STRINGS_MAGIC) {
        throw RealPeerError(std::string(what) + " has magic " + std::to_string(magic));
    }
    checkLength(reader, blob.size(), what);
    const std::uint32_t stringCount = reader.u32();
    const std::uint32_t languageCount = reader.u32();
    FunctionFSStrings result;
    for (std::uint32_t language = 0; language < languageCount; ++language) {
        Language entry;
        entry.code = reader.u16();
        for (std::uint32_t index = 0; index < stringCount; ++index) {
            std::string text;
            while (true) {
                const auto next = reader.take(1)[0];
                if (next == std::byte{0}) {
                    break;
                }
                text.push_back(static_cast<char>(next));
            }
            entry.strings.push_back(std::move(text));
        }
        result.languages.push_back(std::move(entry));
    }
    return result;
}

std::string FunctionFSStrings::interfaceName() const {
    if (languages.empty() || languages.front().strings.empty()) {
        return {};
    }
    return languages.front().strings.front();
}

} // namespace simulation
