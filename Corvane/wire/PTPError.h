#pragma once

#include "Corvane/wire/PTPOperation.h"
#include "Corvane/wire/PTPResponseCode.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

/// The one error type of the MTP library: every failure of the codec, containers, datasets, transports,
/// device session and file-system model is thrown as a PTPError of one kind. It is an immutable value,
/// cheap to copy (its contents are shared), and safe to pass between threads.
class PTPError : public std::exception {
public:
    /// The cases, in their fixed order; the POSIX error mapping switches on them.
    enum class Kind {
        responseError,       // code(), operation()
        truncatedData,       // expected(), got()
        malformedContainer,  // text()
        unexpectedContainer, // containerType(), code()
        transactionMismatch, // expected(), got()
        usb,                 // text()
        deviceBusy,          // text()
        notSupported,        // operation()
        invalidPath,         // text(): the path or name
        notADirectory,       // text()
        isADirectory,        // text()
        alreadyExists,       // text()
        io,                  // text()
        deviceNotFound,
        accessNotGranted,
        sessionNotOpen,
        cancelled,
    };

    /// The device answered operation with a response code other than OK. The code is kept raw, so a code
    /// that the response table lacks is carried unchanged.
    static PTPError responseError(std::uint16_t code, PTPOperation operation);
    static PTPError truncatedData(std::uint64_t expected, std::uint64_t got);
    static PTPError malformedContainer(std::string text);
    /// A container of an unwanted kind; containerType is the type field as received.
    static PTPError unexpectedContainer(std::uint16_t containerType, std::uint16_t code);
    static PTPError transactionMismatch(std::uint32_t expected, std::uint32_t got);
    static PTPError usb(std::string text);
    /// A usb error for a failed system call: the call's name, then the errno's text.
    static PTPError fromErrno(std::string_view call, int error);
    static PTPError deviceBusy(std::string text);
    static PTPError notSupported(PTPOperation operation);
    static PTPError invalidPath(std::string path);
    static PTPError notADirectory(std::string path);
    static PTPError isADirectory(std::string path);
    static PTPError alreadyExists(std::string path);
    static PTPError io(std::string text);
    static PTPError deviceNotFound();
    static PTPError accessNotGranted();
    static PTPError sessionNotOpen();
    static PTPError cancelled();

    Kind kind() const noexcept;
    /// The response code (responseError) or the container's code field (unexpectedContainer); 0 otherwise.
    std::uint16_t code() const noexcept;
    /// The operation of responseError and notSupported; nothing otherwise.
    std::optional<PTPOperation> operation() const noexcept;
    /// The text of the cases that carry one; empty otherwise.
    const std::string& text() const noexcept;
    /// Bytes needed (truncatedData) or transaction ID expected (transactionMismatch); 0 otherwise.
    std::uint64_t expected() const noexcept;
    /// Bytes present (truncatedData) or transaction ID received (transactionMismatch); 0 otherwise.
    std::uint64_t got() const noexcept;
    /// The container type field of unexpectedContainer; 0 otherwise.
    std::uint16_t containerType() const noexcept;

    /// For responseError, the table's case for code(), or nothing when the table lacks it; nothing for
    /// every other kind.
    std::optional<PTPResponseCode> responseCode() const noexcept;

    /// The one-line text that traces and logs print, e.g. "getObjectInfo failed: invalidObjectHandle".
    const std::string& description() const noexcept;
    const char* what() const noexcept override;

    /// The error's contents; opaque outside PTPError.cpp.
    struct Details;

private:
    explicit PTPError(std::shared_ptr<const Details> details) noexcept;
    static PTPError make(Details details);

    std::shared_ptr<const Details> m_details;
};

/// The case name of a kind as declared ("truncatedData"), for test output and logs.
std::string_view name(PTPError::Kind kind);

} // namespace corvane
