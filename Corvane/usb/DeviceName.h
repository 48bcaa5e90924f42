#pragma once

#include <string>
#include <string_view>

namespace corvane {

/// Turns the noisy product, vendor and serial strings of a USB device into the name the system shows:
/// in Finder, in the log, in the device list, in notifications. Stateless; callable from any thread.
namespace DeviceName {

/// Never fails and never returns an empty string: without a usable product name the result is
/// "<vendor> device", or "Android device" without a vendor either.
std::string clean(std::string_view product, std::string_view vendor, std::string_view serial);

} // namespace DeviceName

} // namespace corvane
