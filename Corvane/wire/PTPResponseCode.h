#pragma once

#include "Corvane/wire/PTPCodeTable.h"

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

/// A PTP or MTP response code.
/// The cases and their codes are the rows of PTPResponseCode.def.
enum class PTPResponseCode : std::uint16_t {
#define PTP_RESPONSE_CODE(name, code) name = code,
#include "Corvane/wire/PTPResponseCode.def"
#undef PTP_RESPONSE_CODE
};

template <> struct PTPCodeTable<PTPResponseCode> {
    static constexpr std::array rows{
#define PTP_RESPONSE_CODE(name, code) PTPCodeRow<PTPResponseCode>{PTPResponseCode::name, #name},
#include "Corvane/wire/PTPResponseCode.def"
#undef PTP_RESPONSE_CODE
    };
};

/// Every case of the table, in declaration order.
inline constexpr std::array knownPTPResponseCodes{
#define PTP_RESPONSE_CODE(name, code) PTPResponseCode::name,
#include "Corvane/wire/PTPResponseCode.def"
#undef PTP_RESPONSE_CODE
};

/// The case name as declared (getObjectInfo); a code outside the table prints as hex ("0x95c1").
inline std::string name(PTPResponseCode code) {
    return codeName(code);
}

} // namespace corvane
