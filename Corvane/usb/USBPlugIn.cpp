#include "Corvane/usb/USBPlugIn.h"

namespace corvane::plugin {

namespace {

template <typename Ref>
Ref make(const iokit::io_service_t& service, const iokit::CFUUIDBytes& userClientType,
         const iokit::CFUUIDBytes& interfaceID) {
    iokit::IOCFPlugInRef plugIn;
    std::int32_t score = 0;
    if (iokit::IOCreatePlugInInterfaceForService(service, userClientType, iokit::kIOCFPlugInInterfaceID,
                                                 plugIn, score) != iokit::kIOReturnSuccess ||
        !plugIn) {
        return {};
    }
    Ref table;
    const iokit::HRESULT result = plugIn->QueryInterface(interfaceID, table);
    plugIn.Release();
    if (result != iokit::S_OK) {
        return {};
    }
    return table;
}

} // namespace

iokit::IOUSBInterfaceRef makeInterface(const iokit::io_service_t& service) {
    return make<iokit::IOUSBInterfaceRef>(service, iokit::kIOUSBInterfaceUserClientTypeID,
                                          iokit::kIOUSBInterfaceInterfaceID942);
}

iokit::IOUSBDeviceRef makeDevice(const iokit::io_service_t& service) {
    return make<iokit::IOUSBDeviceRef>(service, iokit::kIOUSBDeviceUserClientTypeID,
                                       iokit::kIOUSBDeviceInterfaceID942);
}

} // namespace corvane::plugin
