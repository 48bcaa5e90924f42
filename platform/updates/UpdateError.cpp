#include "platform/updates/UpdateError.h"

namespace updates {

UpdateError::UpdateError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) {}

std::string_view name(UpdateError::Kind kind) {
    switch (kind) {
    case UpdateError::Kind::invalidConfiguration:
        return "invalidConfiguration";
    case UpdateError::Kind::network:
        return "network";
    case UpdateError::Kind::timedOut:
        return "timedOut";
    case UpdateError::Kind::serverStatus:
        return "serverStatus";
    case UpdateError::Kind::feedTooLarge:
        return "feedTooLarge";
    case UpdateError::Kind::malformedFeed:
        return "malformedFeed";
    }
    return "unknown";
}

} // namespace updates
