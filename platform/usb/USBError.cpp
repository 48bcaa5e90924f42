#include "platform/usb/USBError.h"

namespace usb {

std::string_view name(Status status) {
    switch (status) {
    case Status::notFound:
        return "notFound";
    case Status::unavailable:
        return "unavailable";
    case Status::exclusiveAccess:
        return "exclusiveAccess";
    case Status::notPermitted:
        return "notPermitted";
    case Status::notOpen:
        return "notOpen";
    case Status::noDevice:
        return "noDevice";
    case Status::notResponding:
        return "notResponding";
    case Status::timeout:
        return "timeout";
    case Status::stalled:
        return "stalled";
    case Status::aborted:
        return "aborted";
    case Status::overrun:
        return "overrun";
    case Status::badArgument:
        return "badArgument";
    case Status::error:
        return "error";
    }
    return "unknown";
}

USBError::USBError(Status status, std::string_view request)
    : std::runtime_error(std::string(request) + ": " + std::string(name(status))), m_status(status) {}

} // namespace usb
