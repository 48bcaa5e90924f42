#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

/// The one error type of the foundation services: what failed and, when a system call failed, its errno.
class FoundationError : public std::runtime_error {
public:
    explicit FoundationError(const std::string& message, int errorNumber = 0);

    /// "<operation> <context>: <system message>", keeping the errno value for callers that branch on it.
    static FoundationError fromErrno(std::string_view operation, int errorNumber,
                                     std::string_view context = {});

    /// The errno value of the failed call, or 0 when no system call failed.
    int errorNumber() const noexcept { return m_errorNumber; }

private:
    int m_errorNumber;
};

} // namespace platform
