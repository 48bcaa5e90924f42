#pragma once

// Makes the USB user-client function tables for a registry service. Internal to corvane_usb: the IOKit
// interface transport and its take-over use it.

#include "platform/iokit/IOUSBLib.h"

namespace corvane::plugin {

/// The interface function table of an interface service (kIOUSBInterfaceUserClientTypeID,
/// kIOUSBInterfaceInterfaceID942), or an empty reference when the service has none. The plug-in that
/// hands it out is released before this returns.
iokit::IOUSBInterfaceRef makeInterface(const iokit::io_service_t& service);
/// The device function table of a device service (kIOUSBDeviceUserClientTypeID,
/// kIOUSBDeviceInterfaceID942), or an empty reference.
iokit::IOUSBDeviceRef makeDevice(const iokit::io_service_t& service);

} // namespace corvane::plugin
