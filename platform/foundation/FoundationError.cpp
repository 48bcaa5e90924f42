#include "platform/foundation/FoundationError.h"

#include <system_error>

namespace platform {

FoundationError::FoundationError(const std::string& message, int errorNumber)
    : std::runtime_error(message), m_errorNumber(errorNumber) {}

FoundationError FoundationError::fromErrno(std::string_view operation, int errorNumber,
                                           std::string_view context) {
    std::string message(operation);
    if (!context.empty()) {
        message += ' ';
        message += context;
    }
    message += ": ";
    // std::system_category().message() is thread-safe, unlike strerror().
    message += std::system_category().message(errorNumber);
    return FoundationError(message, errorNumber);
}

} // namespace platform
