#include "platform/iousbhost/IOUSBHostInterface.h"

#include "platform/iokit/IOKitObjects.h"
#include "platform/iousbhost/IOUSBHostError.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace iousbhost {

namespace {

std::uint8_t byteProperty(const usb::RegistryEntry& entry, std::string_view key, std::uint8_t fallback = 0) {
    if (const auto* value = entry.property(key)) {
        if (const auto* number = std::get_if<std::int64_t>(value)) {
            return static_cast<std::uint8_t>(*number);
        }
    }
    return fallback;
}

InterfaceDescriptorSource sourceOf(const usb::RegistryEntry& entry,
                                   std::vector<usb::EndpointDescriptor> endpoints) {
    InterfaceDescriptorSource source;
    source.fields.bInterfaceNumber = byteProperty(entry, "bInterfaceNumber");
    source.fields.bAlternateSetting = byteProperty(entry, "bAlternateSetting");
    source.fields.bInterfaceClass = byteProperty(entry, "bInterfaceClass");
    source.fields.bInterfaceSubClass = byteProperty(entry, "bInterfaceSubClass");
    source.fields.bInterfaceProtocol = byteProperty(entry, "bInterfaceProtocol");
    source.endpoints = std::move(endpoints);
    return source;
}

} // namespace

// What the bus's notifications and the queue share with the interface: the handler, and whether it may
// still be called.
struct IOUSBHostInterface::Interest {
    explicit Interest(IOUSBHostInterestHandler handler) : handler(std::move(handler)) {}

    void deliver(std::uint32_t message) {
        {
            std::lock_guard guard(mutex);
            if (!active || !handler) {
                return;
            }
            ++running;
            runner = std::this_thread::get_id();
        }
        try {
            handler(message);
        } catch (const std::exception&) {
            // The handler's failure is its own; nothing here could act on it.
        }
        std::lock_guard guard(mutex);
        --running;
        idle.notify_all();
    }

    void end() noexcept {
        std::unique_lock lock(mutex);
        active = false;
        if (running > 0 && runner == std::this_thread::get_id()) {
            return; // destroyed from inside the handler: waiting would wait for ourselves
        }
        idle.wait(lock, [&] { return running == 0; });
    }

    const IOUSBHostInterestHandler handler;
    std::mutex mutex; // guards the fields below; never held while the handler runs
    std::condition_variable idle;
    bool active = true;
    std::size_t running = 0;
    std::thread::id runner;
};

IOUSBHostInterface::IOUSBHostInterface(std::shared_ptr<detail::HostClient> client,
                                       std::shared_ptr<Interest> interest,
                                       std::shared_ptr<DispatchQueue> queue)
    : m_client(std::move(client)), m_interest(std::move(interest)), m_queue(std::move(queue)) {}

std::shared_ptr<IOUSBHostInterface>
IOUSBHostInterface::initWithIOService(const iokit::io_service_t& service, IOUSBHostObjectInitOptions options,
                                      std::shared_ptr<DispatchQueue> queue,
                                      IOUSBHostInterestHandler interestHandler) {
    (void)options; // the only option for interfaces is none
    const auto* object = iokit::detail::serviceOf(service);
    if (object == nullptr || object->record().className != usb::interfaceClassName) {
        throw IOUSBHostError(iokit::kIOReturnBadArgument);
    }
    const auto& bus = object->bus();
    const usb::RegistryEntryID id = object->record().id;
    if (!queue) {
        queue = DispatchQueue::create("IOUSBHostInterface");
    }
    // From here on the object's destructor undoes whatever a failure below leaves behind.
    std::shared_ptr<IOUSBHostInterface> interface(
        new IOUSBHostInterface(std::make_shared<detail::HostClient>(bus, id),
                               std::make_shared<Interest>(std::move(interestHandler)), std::move(queue)));
    try {
        // Subscribe before opening, so that a termination right after the open is not missed.
        std::weak_ptr<DispatchQueue> weakQueue = interface->m_queue;
        auto observer = [weakQueue, interest = interface->m_interest, id](const usb::RegistryEvent& event) {
            if (event.kind != usb::RegistryEvent::Kind::terminated || event.entry.id != id) {
                return;
            }
            if (const auto target = weakQueue.lock()) {
                target->async([interest] { interest->deliver(kIOMessageServiceIsTerminated); });
            }
        };
        const auto subscription = bus->subscribe(usb::interfaceClassName, std::move(observer));
        interface->m_subscription = subscription.id;
        const auto self = std::find_if(subscription.existing.begin(), subscription.existing.end(),
                                       [&](const auto& entry) { return entry.id == id; });
        if (self == subscription.existing.end()) {
            throw IOUSBHostError(iokit::kIOReturnNoDevice);
        }
        interface->m_client->setHandle(bus->open(id, usb::OpenMode::exclusive));
        interface->m_endpoints = bus->endpoints(id);

        // The configuration descriptor lists every interface of the device, in registry order.
        std::vector<InterfaceDescriptorSource> sources;
        std::size_t selfIndex = 0;
        std::vector<usb::RegistryEntry> siblings;
        if (self->parentID != 0) {
            try {
                siblings = bus->children(self->parentID);
            } catch (const usb::USBError&) {
                siblings.clear(); // the device is going; the interface alone still describes itself
            }
        }
        if (std::none_of(siblings.begin(), siblings.end(), [&](const auto& each) { return each.id == id; })) {
            siblings = {*self};
        }
        for (const auto& sibling : siblings) {
            if (sibling.className != usb::interfaceClassName) {
                continue;
            }
            if (sibling.id == id) {
                selfIndex = sources.size();
                sources.push_back(sourceOf(*self, interface->m_endpoints));
                continue;
            }
            try {
                sources.push_back(sourceOf(sibling, bus->endpoints(sibling.id)));
            } catch (const usb::USBError&) {
                // A sibling that vanished meanwhile is simply not described.
            }
        }
        interface->m_configuration =
            makeConfigurationDescriptor(byteProperty(*self, "bConfigurationValue", 1), sources);
        std::optional<IOUSBInterfaceDescriptor> descriptor;
        for (std::size_t index = 0; index <= selfIndex; ++index) {
            descriptor = IOUSBGetNextInterfaceDescriptor(interface->m_configuration,
                                                         descriptor ? &*descriptor : nullptr);
            if (!descriptor) {
                throw IOUSBHostError(iokit::kIOReturnError);
            }
        }
        interface->m_interface = *descriptor;
    } catch (...) {
        rethrowAsIOUSBHostError();
    }
    return interface;
}

IOUSBHostInterface::~IOUSBHostInterface() {
    destroy();
}

std::shared_ptr<IOUSBHostPipe> IOUSBHostInterface::copyPipeWithAddress(std::uint8_t address) {
    m_client->handle(); // throws once destroyed
    const auto endpoint = std::find_if(m_endpoints.begin(), m_endpoints.end(),
                                       [&](const auto& each) { return each.address == address; });
    if (endpoint == m_endpoints.end()) {
        throw IOUSBHostError(iokit::kIOReturnNotFound);
    }
    return std::make_shared<IOUSBHostPipe>(m_client, *endpoint);
}

std::size_t IOUSBHostInterface::sendDeviceRequest(const IOUSBDeviceRequest& request,
                                                  std::span<std::byte> data, double completionTimeout) {
    const usb::HandleID handle = m_client->handle();
    if (data.size() < request.wLength) {
        throw IOUSBHostError(iokit::kIOReturnBadArgument);
    }
    const usb::ControlSetup setup{request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
                                  request.wLength};
    try {
        const auto timeout = detail::busTimeout(completionTimeout);
        if (setup.isDeviceToHost()) {
            const auto received = m_client->bus().controlRequest(handle, setup, {}, timeout);
            const std::size_t count = std::min<std::size_t>(received.size(), request.wLength);
            std::copy_n(received.begin(), count, data.begin());
            return count;
        }
        m_client->bus().controlRequest(handle, setup, data.first(request.wLength), timeout);
        return request.wLength;
    } catch (...) {
        rethrowAsIOUSBHostError();
    }
}

void IOUSBHostInterface::destroy() noexcept {
    // The open goes first, so that a transfer blocked on it ends before anything waits.
    m_client->close();
    if (const auto subscription = m_subscription.exchange(0); subscription != 0) {
        m_client->bus().unsubscribe(subscription);
    }
    m_interest->end();
}

} // namespace iousbhost
