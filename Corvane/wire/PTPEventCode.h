#pragma once

#include "Corvane/wire/PTPCodeTable.h"

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

/// A PTP or MTP event code.
/// The cases and their codes are the rows of PTPEventCode.def.
enum class PTPEventCode : std::uint16_t {
#define PTP_EVENT_CODE(name, code) name = code,
#include "Corvane/wire/PTPEventCode.def"
#undef PTP_EVENT_CODE
};

template <> struct PTPCodeTable<PTPEventCode> {
    static constexpr std::array rows{
#define PTP_EVENT_CODE(name, code) PTPCodeRow<PTPEventCode>{PTPEventCode::name, #name},
#include "Corvane/wire/PTPEventCode.def"
#undef PTP_EVENT_CODE
    };
};

/// Every case of the table, in declaration order.
inline constexpr std::array knownPTPEventCodes{
#define PTP_EVENT_CODE(name, code) PTPEventCode::name,
#include "Corvane/wire/PTPEventCode.def"
#undef PTP_EVENT_CODE
};

/// The case name as declared (getObjectInfo); a code outside the table prints as hex ("0x95c1").
inline std::string name(PTPEventCode code) {
    return codeName(code);
}

} // namespace corvane
