#include "platform/iokit/IOReturn.h"

namespace iokit {

IOReturn ioReturnFrom(usb::Status status) {
    switch (status) {
    case usb::Status::notFound:
        return kIOReturnNotFound;
    case usb::Status::unavailable:
        return kIOReturnNotReady;
    case usb::Status::exclusiveAccess:
        return kIOReturnExclusiveAccess;
    case usb::Status::notPermitted:
        return kIOReturnNotPermitted;
    case usb::Status::notOpen:
        return kIOReturnNotOpen;
    case usb::Status::noDevice:
        return kIOReturnNoDevice;
    case usb::Status::notResponding:
        return kIOReturnNotResponding;
    case usb::Status::timeout:
        return kIOReturnTimeout;
    case usb::Status::stalled:
        return kIOUSBPipeStalled;
    case usb::Status::aborted:
        return kIOReturnAborted;
    case usb::Status::overrun:
        return kIOReturnOverrun;
    case usb::Status::badArgument:
        return kIOReturnBadArgument;
    case usb::Status::error:
        return kIOReturnError;
    }
    return kIOReturnError;
}

} // namespace iokit
