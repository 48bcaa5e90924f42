#include "platform/iousbhost/IOUSBHostError.h"

#include <cstdio>
#include <exception>
#include <new>

namespace iousbhost {

std::string localizedDescription(iokit::IOReturn code) {
    using namespace iokit;
    switch (code) {
    case kIOReturnTimeout:
        return "The transfer timed out.";
    case kIOReturnNoDevice:
        return "The device is no longer attached.";
    case kIOReturnNotAttached:
        return "The device is not attached.";
    case kIOReturnNotResponding:
        return "The device is not responding.";
    case kIOReturnAborted:
        return "The transfer was aborted.";
    case kIOReturnExclusiveAccess:
        return "Another client has opened the service exclusively.";
    case kIOReturnNotPermitted:
        return "The operation is not permitted.";
    case kIOReturnNotOpen:
        return "The service is not open.";
    case kIOUSBPipeStalled:
        return "The pipe is stalled.";
    case kIOReturnOverrun:
        return "The device sent more data than was asked for.";
    case kIOReturnBadArgument:
        return "An argument is not valid.";
    case kIOReturnNotFound:
        return "The object was not found.";
    case kIOReturnNotReady:
        return "The USB registry is not ready.";
    case kIOReturnNoMemory:
        return "Memory could not be allocated.";
    case kIOReturnIOError:
        return "An input/output error occurred.";
    case kIOReturnError:
        return "A general error occurred.";
    default:
        break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "The USB request failed (0x%08x).", static_cast<unsigned>(code));
    return text;
}

IOUSBHostError::IOUSBHostError(iokit::IOReturn code)
    : std::runtime_error(iousbhost::localizedDescription(code)), m_code(code),
      m_description(iousbhost::localizedDescription(code)) {}

IOUSBHostError IOUSBHostError::fromUSBError(const usb::USBError& error) {
    if (error.status() == usb::Status::notFound) {
        return IOUSBHostError(iokit::kIOReturnNoDevice);
    }
    return IOUSBHostError(iokit::ioReturnFrom(error.status()));
}

void rethrowAsIOUSBHostError() {
    try {
        throw;
    } catch (const IOUSBHostError&) {
        throw;
    } catch (const usb::USBError& error) {
        throw IOUSBHostError::fromUSBError(error);
    } catch (const std::bad_alloc&) {
        throw IOUSBHostError(iokit::kIOReturnNoMemory);
    } catch (const std::exception&) {
        throw IOUSBHostError(iokit::kIOReturnError);
    }
}

} // namespace iousbhost
