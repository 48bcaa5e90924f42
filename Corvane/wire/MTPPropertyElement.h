#pragma once

#include "Corvane/wire/MTPValue.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

/// One element of an object property list: which object, which property, and its value.
struct MTPPropertyElement {
    std::uint32_t handle = 0;
    std::uint16_t property = 0;
    MTPValue value;

    /// One element: u32 handle, u16 property code, u16 data type, then the value of that type.
    static MTPPropertyElement read(PTPReader& reader);
    /// A whole property list (u32 count, then the elements, in the device's order). Any failure throws
    /// and no partial list is returned.
    static std::vector<MTPPropertyElement> parseList(std::span<const std::byte> data);

    bool operator==(const MTPPropertyElement&) const = default;
};

} // namespace corvane
