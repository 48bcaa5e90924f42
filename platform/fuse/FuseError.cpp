#include "platform/fuse/FuseError.h"

#include <cerrno>
#include <system_error>

namespace fusehost {

FuseError::FuseError(int code, const std::string& message)
    : std::runtime_error(message), m_code(code != 0 ? code : EIO) {}

FuseError FuseError::fromErrno(std::string_view operation, int errorNumber, std::string_view context) {
    std::string message(operation);
    if (!context.empty()) {
        message += ' ';
        message += context;
    }
    message += ": ";
    // generic_category's message is thread-safe, unlike strerror.
    message += std::generic_category().message(errorNumber);
    return FuseError(errorNumber, message);
}

} // namespace fusehost
