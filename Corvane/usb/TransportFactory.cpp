#include "Corvane/usb/TransportFactory.h"

#include "Corvane/usb/IOUSBHostTransport.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/Guarded.h"

#include <utility>

namespace corvane {

namespace {

platform::Guarded<TransportFactory>& installedFactory() {
    // The real transports, on the process's default bus and clock.
    static platform::Guarded<TransportFactory> factory(TransportFactory::forPort(iokit::kIOMainPortDefault));
    return factory;
}

} // namespace

TransportKind chooseTransportKind(std::optional<TransportKind> requested,
                                  const platform::Environment& environment) {
    if (requested) {
        return *requested;
    }
    // Case-sensitive and exact: "HOST" or " host" keep the default transport.
    if (environment.value("CORVANE_TRANSPORT") == "host") {
        return TransportKind::iousbHost;
    }
    return TransportKind::iousbLib;
}

std::unique_ptr<PTPTransport> TransportFactory::make(TransportKind kind,
                                                     const USBDeviceDescriptor& descriptor, TakeOver takeOver,
                                                     std::function<void()> onDisconnect) const {
    std::unique_ptr<PTPTransport> transport;
    if (kind == TransportKind::iousbHost) {
        if (!makeIOUSBHost) {
            throw PTPError::usb("the IOUSBHost transport is not available");
        }
        // The take-over choice means nothing to this transport: it cannot seize an interface.
        transport = makeIOUSBHost(descriptor, std::move(onDisconnect));
    } else {
        if (!makeIOUSBLib) {
            throw PTPError::usb("the IOKit USB interface transport is not available");
        }
        // This transport has no disconnect notification; the callback is dropped and never called.
        transport = makeIOUSBLib(descriptor, takeOver);
    }
    if (!transport) {
        throw PTPError::usb("the transport could not be created");
    }
    return transport;
}

TransportFactory TransportFactory::forPort(iokit::MainPort port, platform::Clock& clock) {
    TransportFactory factory;
    factory.makeIOUSBLib = [port, &clock](const USBDeviceDescriptor& descriptor, TakeOver takeOver) {
        return std::unique_ptr<PTPTransport>(IOUSBLibTransport::open(descriptor, takeOver, clock, port));
    };
    factory.makeIOUSBHost = [port](const USBDeviceDescriptor& descriptor,
                                   std::function<void()> onDisconnect) {
        return std::unique_ptr<PTPTransport>(
            IOUSBHostTransport::open(descriptor, std::move(onDisconnect), port));
    };
    return factory;
}

TransportFactory TransportFactory::installed() {
    return installedFactory().withLock([](const TransportFactory& factory) { return factory; });
}

void TransportFactory::install(TransportFactory factory) {
    installedFactory().withLock([&](TransportFactory& current) { current = std::move(factory); });
}

} // namespace corvane
