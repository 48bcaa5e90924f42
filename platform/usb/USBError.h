#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace usb {

/// Why a bus request failed. The set is small on purpose: every backend (simulated, cross-process,
/// usbfs) can produce each one, and the IOKit and IOUSBHost layers map each one to their own codes.
enum class Status {
    notFound,        // no registry entry with that ID (it may have been terminated)
    unavailable,     // the registry cannot be queried at all
    exclusiveAccess, // another client holds the entry open
    notPermitted,    // the bus refused the open (sandbox, permissions)
    notOpen,         // the handle was closed or taken away by a seize
    noDevice,        // the device was unplugged or its interface went away
    notResponding,   // the device does not answer at all
    timeout,         // the transfer did not finish within its time-out
    stalled,         // the endpoint is halted; clear the stall before the next transfer
    aborted,         // the transfer was cut short by a close or an abort from another thread
    overrun,         // the device sent more than the host's buffer could take
    badArgument,     // a malformed request: unknown endpoint, wrong direction, wrong kind of entry
    error,           // any other failure
};

/// The name of a status as written in logs and messages ("exclusiveAccess").
std::string_view name(Status status);

/// The bus layer's one error type: the failed request and why it failed.
class USBError : public std::runtime_error {
public:
    USBError(Status status, std::string_view request);

    Status status() const noexcept { return m_status; }

private:
    Status m_status;
};

} // namespace usb
