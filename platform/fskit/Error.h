#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace fskit {

/// The domain of errors whose code is a POSIX errno value; FSKit reads every reply's error in it.
inline constexpr std::string_view NSPOSIXErrorDomain = "NSPOSIXErrorDomain";

/// The layer's one error type: a platform error object, a domain and a code, as replies carry it.
/// Volumes also throw it for their own POSIX refusals and catch it in their reply path.
class Error : public std::exception {
public:
    Error(std::string domain, int code, std::string description);

    const std::string& domain() const noexcept { return m_domain; }
    int code() const noexcept { return m_code; }
    bool isPOSIX() const noexcept { return m_domain == NSPOSIXErrorDomain; }
    const std::string& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_description.c_str(); }

private:
    std::string m_domain;
    int m_code;
    std::string m_description;
};

/// FSKit's error-for-POSIX-code function: a new error in the POSIX domain with that code.
Error fs_errorForPOSIXError(int code);

} // namespace fskit
