#pragma once

#include "Corvane/wire/PTPReader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

/// One typed MTP property value. The alternatives, in order: int (any signed scalar, sign-extended),
/// uint (any unsigned scalar, zero-extended), raw128, string, intArray, uintArray, raw128Array and
/// stringArray (which no data type decodes to).
struct MTPValue {
    using Storage = std::variant<std::int64_t, std::uint64_t, Raw128, std::string, std::vector<std::int64_t>,
                                 std::vector<std::uint64_t>, std::vector<Raw128>, std::vector<std::string>>;

    Storage value;

    /// Reads one value of the raw data type from the reader. Throws truncatedData when the bytes end
    /// inside it, and malformedContainer for a data type the table lacks ("unknown datatype 0x000B") or
    /// for undefined ("not a scalar datatype: undefined").
    static MTPValue decode(std::uint16_t type, PTPReader& reader);

    /// The text of a string value; nothing otherwise.
    std::optional<std::string> stringValue() const;
    /// A uint value, or an int value that is zero or positive; nothing otherwise.
    std::optional<std::uint64_t> uintValue() const;

    bool operator==(const MTPValue&) const = default;
};

} // namespace corvane
