#pragma once

#include "Corvane/wire/PTPCodeTable.h"

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

/// The data type of an MTP property value; array types are the scalar code plus 0x4000.
/// The cases and their codes are the rows of MTPDataType.def.
enum class MTPDataType : std::uint16_t {
#define MTP_DATA_TYPE(name, code) name = code,
#include "Corvane/wire/MTPDataType.def"
#undef MTP_DATA_TYPE
};

template <> struct PTPCodeTable<MTPDataType> {
    static constexpr std::array rows{
#define MTP_DATA_TYPE(name, code) PTPCodeRow<MTPDataType>{MTPDataType::name, #name},
#include "Corvane/wire/MTPDataType.def"
#undef MTP_DATA_TYPE
    };
};

/// Every case of the table, in declaration order.
inline constexpr std::array knownMTPDataTypes{
#define MTP_DATA_TYPE(name, code) MTPDataType::name,
#include "Corvane/wire/MTPDataType.def"
#undef MTP_DATA_TYPE
};

/// The case name as declared (getObjectInfo); a code outside the table prints as hex ("0x95c1").
inline std::string name(MTPDataType code) {
    return codeName(code);
}

} // namespace corvane
