#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace fusehost {

/// The FUSE host's one error type: what failed and the errno value that describes it.
class FuseError : public std::runtime_error {
public:
    FuseError(int code, const std::string& message);

    /// "<operation> <context>: <system message>", keeping errorNumber as the code.
    static FuseError fromErrno(std::string_view operation, int errorNumber, std::string_view context = {});

    /// The errno value (EPERM, EBUSY, ...), never 0.
    int code() const noexcept { return m_code; }

private:
    int m_code;
};

} // namespace fusehost
