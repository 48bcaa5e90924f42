#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace updates {

/// The one error type of the update framework: why a check failed, with a sentence a user can read.
class UpdateError : public std::runtime_error {
public:
    enum class Kind {
        invalidConfiguration, // the application handed over something unusable, such as no running version
        network,              // no connection, a refused or insecure redirect, too many redirects
        timedOut,             // the server did not deliver the feed within the time-out
        serverStatus,         // the server answered with a status other than success
        feedTooLarge,         // the feed passed the size any real feed stays under
        malformedFeed,        // the answer is not a feed of the documented format
    };

    UpdateError(Kind kind, const std::string& message);

    Kind kind() const noexcept { return m_kind; }

private:
    Kind m_kind;
};

/// The kind's name as tests and logs print it ("timedOut").
std::string_view name(UpdateError::Kind kind);

} // namespace updates
