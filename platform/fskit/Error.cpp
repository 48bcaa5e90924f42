#include "platform/fskit/Error.h"

#include <system_error>

namespace fskit {

Error::Error(std::string domain, int code, std::string description)
    : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)) {}

Error fs_errorForPOSIXError(int code) {
    // generic_category's message is thread-safe, unlike strerror, and replies are made on many threads.
    return Error(std::string(NSPOSIXErrorDomain), code, std::generic_category().message(code));
}

} // namespace fskit
