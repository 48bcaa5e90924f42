#pragma once

#include "platform/iokit/IOReturn.h"
#include "platform/usb/USBError.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace iousbhost {

/// The IOUSBHost layer's one error type, in place of the framework's NSError: the IOReturn code (as the
/// error's signed integer code) and a localized description of it.
class IOUSBHostError : public std::runtime_error {
public:
    explicit IOUSBHostError(iokit::IOReturn code);

    /// The bus failure as the framework reports it; a vanished entry counts as a vanished device.
    static IOUSBHostError fromUSBError(const usb::USBError& error);

    /// The error's code: an IOReturn, sign-extended as the framework's error codes are.
    std::int64_t code() const noexcept { return m_code; }
    const std::string& localizedDescription() const noexcept { return m_description; }

private:
    std::int64_t m_code;
    std::string m_description;
};

/// The text the framework shows for a code: "The transfer timed out."
std::string localizedDescription(iokit::IOReturn code);

/// Inside a catch block: rethrows the exception in flight as an IOUSBHostError (a bus failure by its
/// status, an allocation failure as kIOReturnNoMemory, anything else as kIOReturnError).
[[noreturn]] void rethrowAsIOUSBHostError();

} // namespace iousbhost
