#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace desktop {

/// The one error type of the desktop services: what kind of failure, and a text for the log.
class DesktopError : public std::runtime_error {
public:
    enum class Kind {
        /// There is no connection to the bus the service lives on.
        noBus,
        /// Nobody owns the service's name, it cannot be started, or it left without answering.
        serviceUnavailable,
        /// The service did not answer within the time-out.
        timedOut,
        /// The service answered with an error.
        refused,
        /// The service answered, but not in the form its interface promises.
        malformedReply,
        /// The caller went away before the answer came.
        cancelled,
        /// The desktop's opener could not be started, or it reported a failure.
        launchFailed,
        /// The caller passed something the service cannot act on.
        invalidArgument,
    };

    DesktopError(Kind kind, const std::string& message);

    Kind kind() const noexcept { return m_kind; }

private:
    Kind m_kind;
};

std::string_view name(DesktopError::Kind kind);

/// Runs a caller's callback from the Qt event loop, through which no exception may pass: one that escapes
/// is logged as a fault with the context, and the delivery ends there.
void runGuarded(std::string_view context, const std::function<void()>& callback) noexcept;

} // namespace desktop
