#pragma once

#include "Corvane/wire/PTPCodeTable.h"

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

/// A PTP or MTP operation code, including the Android extension operations.
/// The cases and their codes are the rows of PTPOperation.def.
enum class PTPOperation : std::uint16_t {
#define PTP_OPERATION(name, code) name = code,
#include "Corvane/wire/PTPOperation.def"
#undef PTP_OPERATION
};

template <> struct PTPCodeTable<PTPOperation> {
    static constexpr std::array rows{
#define PTP_OPERATION(name, code) PTPCodeRow<PTPOperation>{PTPOperation::name, #name},
#include "Corvane/wire/PTPOperation.def"
#undef PTP_OPERATION
    };
};

/// Every case of the table, in declaration order.
inline constexpr std::array knownPTPOperations{
#define PTP_OPERATION(name, code) PTPOperation::name,
#include "Corvane/wire/PTPOperation.def"
#undef PTP_OPERATION
};

/// The case name as declared (getObjectInfo); a code outside the table prints as hex ("0x95c1").
inline std::string name(PTPOperation code) {
    return codeName(code);
}

} // namespace corvane
