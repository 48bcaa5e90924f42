#include "FileSystemExtension/ErrorMapping.h"

#include "Corvane/wire/PTPResponseCode.h"

#include <cerrno>

namespace tandalo {

namespace {

using corvane::PTPError;
using corvane::PTPResponseCode;

int posixCodeOfResponse(std::uint16_t raw) noexcept {
    const auto code = corvane::fromRaw<PTPResponseCode>(raw);
    if (!code) {
        return EIO;
    }
    switch (*code) {
    case PTPResponseCode::operationNotSupported:
    case PTPResponseCode::parameterNotSupported:
        return ENOTSUP;
    case PTPResponseCode::invalidObjectHandle:
    case PTPResponseCode::invalidParentObject:
        return ENOENT;
    case PTPResponseCode::storeFull:
    case PTPResponseCode::objectTooLarge:
        return ENOSPC;
    case PTPResponseCode::objectWriteProtected:
    case PTPResponseCode::accessDenied:
        return EACCES;
    case PTPResponseCode::storeReadOnly:
        return EROFS;
    case PTPResponseCode::storeNotAvailable:
        return ENXIO;
    // The device's own "busy" answer is a transient refusal, unlike the library's deviceBusy (another
    // process holds the interface), which becomes ETXTBSY so that the application can tell them apart.
    case PTPResponseCode::deviceBusy:
        return EBUSY;
    default:
        return EIO;
    }
}

} // namespace

int posixCode(const PTPError& error) noexcept {
    switch (error.kind()) {
    case PTPError::Kind::responseError:
        return posixCodeOfResponse(error.code());
    case PTPError::Kind::truncatedData:
    case PTPError::Kind::malformedContainer:
    case PTPError::Kind::unexpectedContainer:
    case PTPError::Kind::transactionMismatch:
    case PTPError::Kind::usb:
    case PTPError::Kind::io:
    case PTPError::Kind::sessionNotOpen:
        return EIO;
    case PTPError::Kind::deviceBusy:
        return ETXTBSY;
    case PTPError::Kind::notSupported:
        return ENOTSUP;
    case PTPError::Kind::invalidPath:
        return ENOENT;
    case PTPError::Kind::notADirectory:
        return ENOTDIR;
    case PTPError::Kind::isADirectory:
        return EISDIR;
    case PTPError::Kind::alreadyExists:
        return EEXIST;
    case PTPError::Kind::deviceNotFound:
        return ENXIO;
    case PTPError::Kind::accessNotGranted:
        return EACCES;
    case PTPError::Kind::cancelled:
        return ECANCELED;
    }
    return EIO;
}

fskit::Error fsError(const std::exception& error) noexcept {
    if (const auto* library = dynamic_cast<const PTPError*>(&error)) {
        return fskit::fs_errorForPOSIXError(posixCode(*library));
    }
    if (const auto* platform = dynamic_cast<const fskit::Error*>(&error); platform && platform->isPOSIX()) {
        return *platform;
    }
    return fskit::fs_errorForPOSIXError(EIO);
}

fskit::Error fsError(std::exception_ptr error) noexcept {
    if (!error) {
        return fskit::fs_errorForPOSIXError(EIO);
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& thrown) {
        return fsError(thrown);
    } catch (...) {
        return fskit::fs_errorForPOSIXError(EIO);
    }
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& thrown) {
        return thrown.what();
    } catch (...) {
        return "an error of unknown type";
    }
}

} // namespace tandalo
