#include "Corvane/wire/PTPError.h"

#include <array>
#include <cstdio>
#include <system_error>
#include <utility>

namespace corvane {

struct PTPError::Details {
    Kind kind = Kind::cancelled;
    std::uint16_t code = 0;
    std::uint16_t containerType = 0;
    std::optional<PTPOperation> operation;
    std::uint64_t expected = 0;
    std::uint64_t got = 0;
    std::string text;
    std::string description;
};

namespace {

std::string describe(const PTPError::Details& d) {
    using Kind = PTPError::Kind;
    switch (d.kind) {
    case Kind::responseError: {
        const auto known = fromRaw<PTPResponseCode>(d.code);
        return name(*d.operation) + " failed: " + (known ? name(*known) : upperHexCode(d.code));
    }
    case Kind::truncatedData:
        return "truncated data: expected " + std::to_string(d.expected) + " bytes, got " +
               std::to_string(d.got);
    case Kind::malformedContainer:
        return "malformed container: " + d.text;
    case Kind::unexpectedContainer:
        return "unexpected container kind=" + std::to_string(d.containerType) +
               " code=" + upperHexCode(d.code);
    case Kind::transactionMismatch:
        return "transaction id mismatch: expected " + std::to_string(d.expected) + ", got " +
               std::to_string(d.got);
    case Kind::usb:
        return "USB: " + d.text;
    case Kind::deviceBusy:
        return "device busy: " + d.text;
    case Kind::notSupported:
        return name(*d.operation) + " not supported by device";
    case Kind::invalidPath:
        return "no such file or directory: " + d.text;
    case Kind::notADirectory:
        return "not a directory: " + d.text;
    case Kind::isADirectory:
        return "is a directory: " + d.text;
    case Kind::alreadyExists:
        return "already exists: " + d.text;
    case Kind::io:
        return "I/O: " + d.text;
    case Kind::deviceNotFound:
        return "no MTP device found";
    case Kind::accessNotGranted:
        return "the device has not granted file access: unlock it and tap Allow when it asks to allow access "
               "to phone data";
    case Kind::sessionNotOpen:
        return "session not open";
    case Kind::cancelled:
        return "cancelled";
    }
    return "cancelled";
}

PTPError::Details withText(PTPError::Kind kind, std::string text) {
    PTPError::Details d;
    d.kind = kind;
    d.text = std::move(text);
    return d;
}

} // namespace

std::string upperHexCode(std::uint16_t raw) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "0x%04X", static_cast<unsigned>(raw));
    return buffer.data();
}

std::string hexCode(std::uint16_t raw) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "0x%04x", static_cast<unsigned>(raw));
    return buffer.data();
}

PTPError::PTPError(std::shared_ptr<const Details> details) noexcept : m_details(std::move(details)) {}

// Every factory goes through here, so the description is built once, when the error is made.
PTPError PTPError::make(Details details) {
    details.description = describe(details);
    return PTPError(std::make_shared<const Details>(std::move(details)));
}

PTPError PTPError::responseError(std::uint16_t code, PTPOperation operation) {
    Details d;
    d.kind = Kind::responseError;
    d.code = code;
    d.operation = operation;
    return make(std::move(d));
}

PTPError PTPError::truncatedData(std::uint64_t expected, std::uint64_t got) {
    Details d;
    d.kind = Kind::truncatedData;
    d.expected = expected;
    d.got = got;
    return make(std::move(d));
}

PTPError PTPError::malformedContainer(std::string text) {
    return make(withText(Kind::malformedContainer, std::move(text)));
}

PTPError PTPError::unexpectedContainer(std::uint16_t containerType, std::uint16_t code) {
    Details d;
    d.kind = Kind::unexpectedContainer;
    d.containerType = containerType;
    d.code = code;
    return make(std::move(d));
}

PTPError PTPError::transactionMismatch(std::uint32_t expected, std::uint32_t got) {
    Details d;
    d.kind = Kind::transactionMismatch;
    d.expected = expected;
    d.got = got;
    return make(std::move(d));
}

PTPError PTPError::usb(std::string text) {
    return make(withText(Kind::usb, std::move(text)));
}

PTPError PTPError::fromErrno(std::string_view call, int error) {
    // generic_category().message is thread-safe, unlike strerror.
    return usb(std::string(call) + ": " + std::generic_category().message(error));
}

PTPError PTPError::deviceBusy(std::string text) {
    return make(withText(Kind::deviceBusy, std::move(text)));
}

PTPError PTPError::notSupported(PTPOperation operation) {
    Details d;
    d.kind = Kind::notSupported;
    d.operation = operation;
    return make(std::move(d));
}

PTPError PTPError::invalidPath(std::string path) {
    return make(withText(Kind::invalidPath, std::move(path)));
}

PTPError PTPError::notADirectory(std::string path) {
    return make(withText(Kind::notADirectory, std::move(path)));
}

PTPError PTPError::isADirectory(std::string path) {
    return make(withText(Kind::isADirectory, std::move(path)));
}

PTPError PTPError::alreadyExists(std::string path) {
    return make(withText(Kind::alreadyExists, std::move(path)));
}

PTPError PTPError::io(std::string text) {
    return make(withText(Kind::io, std::move(text)));
}

PTPError PTPError::deviceNotFound() {
    return make(withText(Kind::deviceNotFound, {}));
}

PTPError PTPError::accessNotGranted() {
    return make(withText(Kind::accessNotGranted, {}));
}

PTPError PTPError::sessionNotOpen() {
    return make(withText(Kind::sessionNotOpen, {}));
}

PTPError PTPError::cancelled() {
    return make(withText(Kind::cancelled, {}));
}

PTPError::Kind PTPError::kind() const noexcept {
    return m_details->kind;
}

std::uint16_t PTPError::code() const noexcept {
    return m_details->code;
}

std::optional<PTPOperation> PTPError::operation() const noexcept {
    return m_details->operation;
}

const std::string& PTPError::text() const noexcept {
    return m_details->text;
}

std::uint64_t PTPError::expected() const noexcept {
    return m_details->expected;
}

std::uint64_t PTPError::got() const noexcept {
    return m_details->got;
}

std::uint16_t PTPError::containerType() const noexcept {
    return m_details->containerType;
}

std::optional<PTPResponseCode> PTPError::responseCode() const noexcept {
    if (m_details->kind != Kind::responseError) {
        return std::nullopt;
    }
    return fromRaw<PTPResponseCode>(m_details->code);
}

const std::string& PTPError::description() const noexcept {
    return m_details->description;
}

const char* PTPError::what() const noexcept {
    return m_details->description.c_str();
}

std::string_view name(PTPError::Kind kind) {
    using Kind = PTPError::Kind;
    switch (kind) {
    case Kind::responseError:
        return "responseError";
    case Kind::truncatedData:
        return "truncatedData";
    case Kind::malformedContainer:
        return "malformedContainer";
    case Kind::unexpectedContainer:
        return "unexpectedContainer";
    case Kind::transactionMismatch:
        return "transactionMismatch";
    case Kind::usb:
        return "usb";
    case Kind::deviceBusy:
        return "deviceBusy";
    case Kind::notSupported:
        return "notSupported";
    case Kind::invalidPath:
        return "invalidPath";
    case Kind::notADirectory:
        return "notADirectory";
    case Kind::isADirectory:
        return "isADirectory";
    case Kind::alreadyExists:
        return "alreadyExists";
    case Kind::io:
        return "io";
    case Kind::deviceNotFound:
        return "deviceNotFound";
    case Kind::accessNotGranted:
        return "accessNotGranted";
    case Kind::sessionNotOpen:
        return "sessionNotOpen";
    case Kind::cancelled:
        return "cancelled";
    }
    return "unknown";
}

} // namespace corvane
