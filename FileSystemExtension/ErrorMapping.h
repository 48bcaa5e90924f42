#pragma once

#include "Corvane/wire/PTPError.h"
#include "platform/fskit/Error.h"

#include <exception>
#include <string>

namespace tandalo {

/// The one conversion of a thrown error into the POSIX-domain error that every reply to FSKit carries:
/// a library PTPError by its kind (and, for a device's refusal, by the response code), a POSIX-domain
/// fskit::Error unchanged (the volume's own refusals: ENOENT, EROFS...), anything else EIO.
/// Never throws; any thread.
fskit::Error fsError(std::exception_ptr error) noexcept;
fskit::Error fsError(const std::exception& error) noexcept;

/// The POSIX code of a library error, as fsError chooses it.
int posixCode(const corvane::PTPError& error) noexcept;

/// The text of a thrown error for the log: what() of a standard exception, a fixed text otherwise.
std::string describe(const std::exception_ptr& error);

/// The volume's own refusal with a POSIX code, to be thrown: throw posixError(ENOTDIR).
inline fskit::Error posixError(int code) {
    return fskit::fs_errorForPOSIXError(code);
}

} // namespace tandalo
