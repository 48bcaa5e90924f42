#pragma once

#include "platform/foundation/Environment.h"
#include "platform/usb/USBBus.h"

#include <memory>

namespace buschoice {

/// The bus a program of the system works on, by one rule for all of them (the application, mount-tandalo,
/// the demo and the tools): the bus service's, over the socket that TANDALO_USB_BUS names, when the
/// variable is set and not empty; otherwise the machine's own USB. Each call makes a new bus: a program calls
/// it once and installs the result as its default bus (usb::setDefaultBus), after any fork, since the service
/// knows its clients by the process that connected.
std::shared_ptr<usb::USBBus> processBus(const platform::Environment& environment);

} // namespace buschoice
