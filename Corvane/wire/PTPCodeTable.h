#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

/// One row of a protocol code table: a case and its name as declared.
template <typename Code> struct PTPCodeRow {
    Code code;
    std::string_view name;
};

/// Specialised by each code table header (PTPOperation.h, PTPResponseCode.h, PTPEventCode.h, MTPDataType.h)
/// with `static constexpr std::array rows`, generated from the table's .def file.
template <typename Code> struct PTPCodeTable;

/// The hexadecimal text of a code that no table names, for example "0x95c1".
std::string hexCode(std::uint16_t raw);
/// The upper-case form that error texts use, for example "0xA80B".
std::string upperHexCode(std::uint16_t raw);

/// The 16-bit code that a case carries on the wire.
template <typename Code> constexpr std::uint16_t rawValue(Code code) {
    return static_cast<std::uint16_t>(code);
}

/// The case whose code equals raw, or nothing when the table lacks the code.
template <typename Code> constexpr std::optional<Code> fromRaw(std::uint16_t raw) {
    for (const auto& row : PTPCodeTable<Code>::rows) {
        if (rawValue(row.code) == raw) {
            return row.code;
        }
    }
    return std::nullopt;
}

/// The declared case name, or nothing for a value that the table does not list.
template <typename Code> constexpr std::optional<std::string_view> knownName(Code code) {
    for (const auto& row : PTPCodeTable<Code>::rows) {
        if (row.code == code) {
            return row.name;
        }
    }
    return std::nullopt;
}

/// The declared case name; a value that the table does not list prints as hex ("0x95c1").
template <typename Code> std::string codeName(Code code) {
    if (const auto name = knownName(code)) {
        return std::string(*name);
    }
    return hexCode(rawValue(code));
}

} // namespace corvane
