#pragma once

#include "platform/usb/Endpoint.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace simulation {

/// What a FunctionFS user-mode function declared about itself in the two blobs it writes to ep0 before
/// it can be bound: its interface (first interface descriptor) and its endpoints, in the order that
/// numbers the endpoint files ep1, ep2, ... Endpoints come from the high-speed descriptors when the blob
/// has them, else from the full-speed ones.
struct FunctionFSDescriptors {
    std::uint8_t interfaceNumber = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::vector<usb::EndpointDescriptor> endpoints;
    std::uint32_t flags = 0; // the v2 header's flags; v1 blobs report full and high speed

    /// Parses the descriptors blob (v2 or legacy v1 magic). Throws RealPeerError for a blob that is
    /// truncated, whose length field disagrees with its size, whose counts run past its end, or that
    /// declares no interface.
    static FunctionFSDescriptors parse(std::span<const std::byte> blob);
};

/// The strings blob: for each language, its code and the function's strings (string 1 first).
struct FunctionFSStrings {
    struct Language {
        std::uint16_t code = 0;
        std::vector<std::string> strings;
    };
    std::vector<Language> languages;

    /// Parses the strings blob. Throws RealPeerError for a wrong magic, a length that disagrees with the
    /// size, or a string without its terminating NUL.
    static FunctionFSStrings parse(std::span<const std::byte> blob);
    /// The first string of the first language (FunctionFS functions name their interface with it), or "".
    std::string interfaceName() const;
};

/// The magic number that opens a blob, or 0 when fewer than four bytes arrived.
std::uint32_t functionFSMagic(std::span<const std::byte> blob);

} // namespace simulation
