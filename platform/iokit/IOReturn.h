#pragma once

#include "platform/usb/USBError.h"

#include <cstdint>

namespace iokit {

/// The result code of every IOKit call: 0 for success, else a code of the form 0xE00002xx (common
/// codes) or 0xE0004xxx (USB family codes). Callers print it as an unsigned 32-bit number.
using kern_return_t = std::int32_t;
using IOReturn = kern_return_t;

namespace detail {
constexpr IOReturn code(std::uint32_t value) {
    return static_cast<IOReturn>(value);
}
} // namespace detail

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = detail::code(0xE00002BC);
inline constexpr IOReturn kIOReturnNoMemory = detail::code(0xE00002BD);
inline constexpr IOReturn kIOReturnNoResources = detail::code(0xE00002BE);
inline constexpr IOReturn kIOReturnNoDevice = detail::code(0xE00002C0);
inline constexpr IOReturn kIOReturnBadArgument = detail::code(0xE00002C2);
inline constexpr IOReturn kIOReturnExclusiveAccess = detail::code(0xE00002C5);
inline constexpr IOReturn kIOReturnUnsupported = detail::code(0xE00002C7);
inline constexpr IOReturn kIOReturnIOError = detail::code(0xE00002CA);
inline constexpr IOReturn kIOReturnNotOpen = detail::code(0xE00002CD);
inline constexpr IOReturn kIOReturnBusy = detail::code(0xE00002D5);
inline constexpr IOReturn kIOReturnTimeout = detail::code(0xE00002D6);
inline constexpr IOReturn kIOReturnNotReady = detail::code(0xE00002D8);
inline constexpr IOReturn kIOReturnNotAttached = detail::code(0xE00002D9);
inline constexpr IOReturn kIOReturnNotPermitted = detail::code(0xE00002E2);
inline constexpr IOReturn kIOReturnOverrun = detail::code(0xE00002E8);
inline constexpr IOReturn kIOReturnAborted = detail::code(0xE00002EB);
inline constexpr IOReturn kIOReturnNotResponding = detail::code(0xE00002ED);
inline constexpr IOReturn kIOReturnNotFound = detail::code(0xE00002F0);
/// The USB family's own codes.
inline constexpr IOReturn kIOUSBPipeStalled = detail::code(0xE000404F);
inline constexpr IOReturn kIOUSBTransactionTimeout = detail::code(0xE0004051);

/// The code a bus failure becomes. A time-out becomes kIOReturnTimeout; layers whose calls report
/// kIOUSBTransactionTimeout for a pipe transfer use that instead.
IOReturn ioReturnFrom(usb::Status status);

} // namespace iokit
