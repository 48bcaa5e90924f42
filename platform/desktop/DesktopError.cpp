#include "platform/desktop/DesktopError.h"

#include "platform/foundation/Logger.h"

namespace desktop {

DesktopError::DesktopError(Kind kind, const std::string& message)
    : std::runtime_error(message), m_kind(kind) {}

std::string_view name(DesktopError::Kind kind) {
    switch (kind) {
    case DesktopError::Kind::noBus:
        return "noBus";
    case DesktopError::Kind::serviceUnavailable:
        return "serviceUnavailable";
    case DesktopError::Kind::timedOut:
        return "timedOut";
    case DesktopError::Kind::refused:
        return "refused";
    case DesktopError::Kind::malformedReply:
        return "malformedReply";
    case DesktopError::Kind::cancelled:
        return "cancelled";
    case DesktopError::Kind::launchFailed:
        return "launchFailed";
    case DesktopError::Kind::invalidArgument:
        return "invalidArgument";
    }
    return "unknown";
}

void runGuarded(std::string_view context, const std::function<void()>& callback) noexcept {
    try {
        callback();
    } catch (const std::exception& error) {
        oslog::Logger("platform", "desktop").fault("%{public}s threw: %{public}s", context, error.what());
    } catch (...) {
        oslog::Logger("platform", "desktop").fault("%{public}s threw an unknown exception", context);
    }
}

} // namespace desktop
