#include "platform/iokit/IOCFPlugIn.h"

#include "platform/iokit/IOKitObjects.h"
#include "platform/iokit/IOUSBLib.h"

#include <atomic>

namespace iokit {

namespace {

std::atomic<std::size_t> livePlugInObjects{0};

} // namespace

namespace detail {

PlugInObject::PlugInObject() noexcept {
    livePlugInObjects.fetch_add(1);
}

PlugInObject::~PlugInObject() {
    livePlugInObjects.fetch_sub(1);
}

std::size_t PlugInObject::liveCount() noexcept {
    return livePlugInObjects.load();
}

} // namespace detail

std::size_t IOCFPlugInLiveObjectCount() noexcept {
    return detail::PlugInObject::liveCount();
}

IOCFPlugInInterface::IOCFPlugInInterface(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntry service,
                                         CFUUIDBytes pluginType)
    : m_bus(std::move(bus)), m_service(std::move(service)), m_pluginType(pluginType) {}

IOCFPlugInInterface::~IOCFPlugInInterface() = default;

HRESULT IOCFPlugInInterface::QueryInterface(const CFUUIDBytes& interfaceID, IOUSBInterfaceRef& interface) {
    interface.Release();
    if (m_pluginType != kIOUSBInterfaceUserClientTypeID || interfaceID != kIOUSBInterfaceInterfaceID942) {
        return E_NOINTERFACE;
    }
    interface = IOUSBInterfaceRef(std::make_shared<IOUSBInterfaceStruct942>(m_bus, m_service.id));
    return S_OK;
}

HRESULT IOCFPlugInInterface::QueryInterface(const CFUUIDBytes& interfaceID, IOUSBDeviceRef& device) {
    device.Release();
    if (m_pluginType != kIOUSBDeviceUserClientTypeID || interfaceID != kIOUSBDeviceInterfaceID942) {
        return E_NOINTERFACE;
    }
    device = IOUSBDeviceRef(std::make_shared<IOUSBDeviceStruct942>(m_bus, m_service.id));
    return S_OK;
}

kern_return_t IOCreatePlugInInterfaceForService(const io_service_t& service, const CFUUIDBytes& pluginType,
                                                const CFUUIDBytes& interfaceType, IOCFPlugInRef& plugIn,
                                                std::int32_t& score) {
    plugIn.Release();
    score = 0;
    const auto* object = detail::serviceOf(service);
    if (object == nullptr) {
        return kIOReturnBadArgument;
    }
    if (interfaceType != kIOCFPlugInInterfaceID) {
        return kIOReturnUnsupported;
    }
    const auto& className = object->record().className;
    const bool hasUserClient =
        (pluginType == kIOUSBInterfaceUserClientTypeID && className == usb::interfaceClassName) ||
        (pluginType == kIOUSBDeviceUserClientTypeID && className == usb::deviceClassName);
    if (!hasUserClient) {
        return kIOReturnUnsupported;
    }
    // A user client is made for a live service only: one that has been terminated has no driver left
    // to talk to.
    try {
        if (!object->bus()->entry(object->record().id)) {
            return kIOReturnNoDevice;
        }
    } catch (const usb::USBError& error) {
        return ioReturnFrom(error.status());
    }
    plugIn =
        IOCFPlugInRef(std::make_shared<IOCFPlugInInterface>(object->bus(), object->record(), pluginType));
    return kIOReturnSuccess;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInRef& plugIn) {
    plugIn.Release();
    return kIOReturnSuccess;
}

} // namespace iokit
