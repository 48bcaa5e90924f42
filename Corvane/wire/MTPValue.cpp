#include "Corvane/wire/MTPValue.h"

#include "Corvane/wire/MTPDataType.h"
#include "Corvane/wire/PTPError.h"

#include <array>
#include <cstdio>

namespace corvane {

namespace {

constexpr std::uint16_t arrayBit = 0x4000;

enum class Signedness { signedInteger, unsignedInteger, wide };

struct Scalar {
    Signedness signedness;
    std::size_t size; // bytes on the wire
};

Scalar scalarOf(MTPDataType type) {
    switch (type) {
    case MTPDataType::int8:
        return {Signedness::signedInteger, 1};
    case MTPDataType::uint8:
        return {Signedness::unsignedInteger, 1};
    case MTPDataType::int16:
        return {Signedness::signedInteger, 2};
    case MTPDataType::uint16:
        return {Signedness::unsignedInteger, 2};
    case MTPDataType::int32:
        return {Signedness::signedInteger, 4};
    case MTPDataType::uint32:
        return {Signedness::unsignedInteger, 4};
    case MTPDataType::int64:
        return {Signedness::signedInteger, 8};
    case MTPDataType::uint64:
        return {Signedness::unsignedInteger, 8};
    case MTPDataType::int128:
    case MTPDataType::uint128:
        return {Signedness::wide, 16};
    default:
        throw PTPError::malformedContainer("not a scalar datatype: " + name(type));
    }
}

std::int64_t readSigned(PTPReader& reader, std::size_t size) {
    switch (size) {
    case 1:
        return reader.i8();
    case 2:
        return reader.i16();
    case 4:
        return reader.i32();
    default:
        return reader.i64();
    }
}

std::uint64_t readUnsigned(PTPReader& reader, std::size_t size) {
    switch (size) {
    case 1:
        return reader.u8();
    case 2:
        return reader.u16();
    case 4:
        return reader.u32();
    default:
        return reader.u64();
    }
}

} // namespace

MTPValue MTPValue::decode(std::uint16_t type, PTPReader& reader) {
    const auto known = fromRaw<MTPDataType>(type);
    if (!known) {
        throw PTPError::malformedContainer("unknown datatype " + upperHexCode(type));
    }
    if (*known == MTPDataType::string) {
        return {reader.string()};
    }
    if ((type & arrayBit) == 0) {
        const Scalar scalar = scalarOf(*known);
        switch (scalar.signedness) {
        case Signedness::signedInteger:
            return {readSigned(reader, scalar.size)};
        case Signedness::unsignedInteger:
            return {readUnsigned(reader, scalar.size)};
        case Signedness::wide:
            return {reader.u128()};
        }
    }
    // Every array type in the table is a scalar type with the array bit set.
    const auto elementType = fromRaw<MTPDataType>(static_cast<std::uint16_t>(type & 0x0FFF));
    const Scalar scalar = scalarOf(elementType.value_or(MTPDataType::undefined));
    switch (scalar.signedness) {
    case Signedness::signedInteger:
        return {reader.array([&](PTPReader& r) { return readSigned(r, scalar.size); })};
    case Signedness::unsignedInteger:
        return {reader.array([&](PTPReader& r) { return readUnsigned(r, scalar.size); })};
    case Signedness::wide:
        break;
    }
    return {reader.array([](PTPReader& r) { return r.u128(); })};
}

std::optional<std::string> MTPValue::stringValue() const {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> MTPValue::uintValue() const {
    if (const auto* number = std::get_if<std::uint64_t>(&value)) {
        return *number;
    }
    if (const auto* number = std::get_if<std::int64_t>(&value); number != nullptr && *number >= 0) {
        return static_cast<std::uint64_t>(*number);
    }
    return std::nullopt;
}

} // namespace corvane
