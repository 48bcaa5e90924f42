#pragma once

#include <string>
#include <string_view>

namespace corvane {

/// Turns the noisy product, vendor and serial strings of a USB device into the name the system shows:
/// in Finder, in the log, in the device list, in notifications. Stateless; callable from any thread.
namespace DeviceName {

/// Never fails and never returns an empty string: without a usable product name the result is
/// "<vendor> device", or "Android device" without a vendor either.
/// Control characters (C0, DEL, C1) are replaced by blanks.
std::string clean(std::string_view product, std::string_view vendor, std::string_view serial);
/// The text with every control character (C0, DEL, C1) replaced by a blank: what of a device's own text
/// may be shown or used as a name.
std::string printable(std::string_view text);

} // namespace DeviceName

} // namespace corvane
