#pragma once

#include "platform/foundation/UniqueFd.h"

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace usbfs {

/// One kernel uevent as NETLINK_KOBJECT_UEVENT delivers it: "ACTION@DEVPATH", then KEY=VALUE fields, each
/// ended by a NUL byte.
struct Uevent {
    std::string action;     // "add", "remove", "bind", "unbind", "change"...
    std::string devicePath; // DEVPATH, under /sys
    std::string subsystem;  // SUBSYSTEM: "usb" for devices and interfaces
    std::map<std::string, std::string> fields;

    bool concernsUSB() const { return subsystem == "usb"; }
};

/// Parses one message. Nothing for anything else (udevd's own messages, which start with "libudev", or
/// a message without its header or its ACTION and SUBSYSTEM fields).
std::optional<Uevent> parseUevent(std::span<const std::byte> message);

/// A netlink socket bound to the kernel's uevent group: every uevent of the machine, as the kernel sends
/// it, with no udevd needed. Non-blocking and close-on-exec. Throws usb::USBError (unavailable) when the
/// socket cannot be made.
platform::UniqueFd openUeventSocket();

} // namespace usbfs
