#pragma once

#include "platform/usb/Endpoint.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace usbfs {

/// The endpoints of one interface setting, read from a device's raw descriptors as sysfs keeps them (the
/// "descriptors" file: the device descriptor, then every configuration with all its descriptors). The
/// bytes come from the device, so every length is checked: a malformed blob gives the endpoints found up
/// to the first bad descriptor, never a read past the end. Empty when the configuration or the interface
/// setting is not there.
std::vector<usb::EndpointDescriptor> interfaceEndpoints(std::span<const std::byte> descriptors,
                                                        std::uint8_t configurationValue,
                                                        std::uint8_t interfaceNumber,
                                                        std::uint8_t alternateSetting);

} // namespace usbfs
