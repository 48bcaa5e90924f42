#pragma once

#include "Corvane/usb/PTPTransport.h"
#include "Corvane/usb/TakeOver.h"
#include "platform/foundation/Clock.h"
#include "platform/iokit/IOKitLib.h"

#include <functional>
#include <memory>
#include <optional>

namespace platform {
class Environment;
}

namespace corvane {

struct USBDeviceDescriptor;

/// The two USB transports a device can be opened with: the IOKit USB interface plug-in (the default,
/// and the only one that can take an interface over) and IOUSBHost.
enum class TransportKind { iousbLib, iousbHost };

/// The transport that connect opens: iousbHost when the caller asks for it, or when the caller names none
/// and the environment's CORVANE_TRANSPORT is exactly "host"; iousbLib in every other case. The variable
/// is read at each call.
TransportKind chooseTransportKind(std::optional<TransportKind> requested,
                                  const platform::Environment& environment);

/// How connect makes each kind of transport. Each maker opens the interface the descriptor names and
/// throws PTPError when it cannot. The USB layer installs the real makers; tests hand in their own.
struct TransportFactory {
    using MakeIOUSBLib = std::function<std::unique_ptr<PTPTransport>(const USBDeviceDescriptor& descriptor,
                                                                     TakeOver takeOver)>;
    /// onDisconnect may be empty; the transport calls it from its own notification thread.
    using MakeIOUSBHost = std::function<std::unique_ptr<PTPTransport>(const USBDeviceDescriptor& descriptor,
                                                                      std::function<void()> onDisconnect)>;

    MakeIOUSBLib makeIOUSBLib;
    MakeIOUSBHost makeIOUSBHost;

    /// Opens a transport of the kind. A kind without a maker, or a maker that returns nothing, throws
    /// PTPError::usb; a maker's own error passes through unchanged.
    std::unique_ptr<PTPTransport> make(TransportKind kind, const USBDeviceDescriptor& descriptor,
                                       TakeOver takeOver, std::function<void()> onDisconnect) const;

    /// The real transports, opening interfaces on the port's bus; the IOKit transport's take-over waits
    /// on the clock. What a program uses for a bus that is not its default one.
    static TransportFactory forPort(iokit::MainPort port, platform::Clock& clock = platform::Clock::system());

    /// The process-wide makers that connect uses when it is given none. Any thread; never blocks beyond a
    /// short internal lock.
    static TransportFactory installed();
    /// Replaces the process-wide makers. Any thread; devices already connected keep their transports.
    static void install(TransportFactory factory);
};

} // namespace corvane
