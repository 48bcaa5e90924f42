#pragma once

#include <stdexcept>
#include <string>

namespace simulation {

/// The one error of the real-peer bridge: a malformed FunctionFS blob, a mount or a process that could
/// not be set up, a peer that did not come up in time. The message says what failed and why.
class RealPeerError : public std::runtime_error {
public:
    explicit RealPeerError(const std::string& message) : std::runtime_error(message) {}

    /// "<call>: <strerror(error)>", for a failed system call.
    static RealPeerError fromErrno(const std::string& call, int error);
};

} // namespace simulation
