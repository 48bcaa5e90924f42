// Notification ports and the notifications armed on them.
#include "platform/iokit/IOKitLib.h"

#include "platform/iokit/IOKitObjects.h"

#include <algorithm>
#include <utility>

namespace iokit {

IONotificationPortRef::IONotificationPortRef(std::shared_ptr<detail::NotificationPort> port) noexcept
    : m_port(std::move(port)) {}

IONotificationPortRef::~IONotificationPortRef() {
    reset();
}

IONotificationPortRef::IONotificationPortRef(IONotificationPortRef&& other) noexcept
    : m_port(std::move(other.m_port)) {}

IONotificationPortRef& IONotificationPortRef::operator=(IONotificationPortRef&& other) noexcept {
    if (this != &other) {
        reset();
        m_port = std::move(other.m_port);
    }
    return *this;
}

void IONotificationPortRef::reset() noexcept {
    if (m_port) {
        m_port->destroy();
        m_port.reset();
    }
}

IONotificationPortRef IONotificationPortCreate(const MainPort& mainPort) {
    auto bus = mainPort.bus();
    if (!bus) {
        return {};
    }
    return IONotificationPortRef(std::make_shared<detail::NotificationPort>(std::move(bus)));
}

void IONotificationPortDestroy(IONotificationPortRef& port) {
    port.reset();
}

std::shared_ptr<RunLoopSource> IONotificationPortGetRunLoopSource(const IONotificationPortRef& port) {
    return port ? port.port()->source() : nullptr;
}

void IONotificationPortSetDispatchQueue(const IONotificationPortRef& port, RunLoopSource::Queue queue) {
    if (port) {
        port.port()->source()->dispatchTo(std::move(queue));
    }
}

kern_return_t IOServiceAddMatchingNotification(const IONotificationPortRef& port,
                                               std::string_view notificationType, MatchingDictionary matching,
                                               IOServiceMatchingCallback callback,
                                               io_iterator_t& notification) {
    notification.reset();
    if (!port || port.port()->isDestroyed() || !matching.providerClass || !callback) {
        return kIOReturnBadArgument;
    }
    usb::RegistryEvent::Kind kind = usb::RegistryEvent::Kind::published;
    if (notificationType == kIOTerminatedNotification) {
        kind = usb::RegistryEvent::Kind::terminated;
    } else if (notificationType != kIOFirstMatchNotification && notificationType != kIOMatchedNotification &&
               notificationType != kIOFirstPublishNotification &&
               notificationType != kIOPublishNotification) {
        return kIOReturnBadArgument;
    }
    const auto& shared = port.port();
    auto iterator =
        std::make_shared<detail::NotificationIterator>(shared->bus(), shared, std::move(callback));
    try {
        iterator->start(*matching.providerClass, matching.registryEntryID, kind,
                        kind == usb::RegistryEvent::Kind::published);
    } catch (const usb::USBError& error) {
        return ioReturnFrom(error.status());
    }
    if (!shared->add(iterator)) {
        iterator->cancel(); // the port was destroyed meanwhile
        return kIOReturnBadArgument;
    }
    notification = ObjectRef(std::move(iterator));
    return kIOReturnSuccess;
}

namespace detail {

// --- NotificationIterator ----------------------------------------------------------------------------

NotificationIterator::NotificationIterator(std::shared_ptr<usb::USBBus> bus,
                                           std::weak_ptr<NotificationPort> port,
                                           IOServiceMatchingCallback callback) noexcept
    : IteratorObject(std::move(bus)), m_port(std::move(port)), m_callback(std::move(callback)) {}

NotificationIterator::~NotificationIterator() {
    cancel();
}

void NotificationIterator::start(const std::string& className, std::optional<std::uint64_t> entryID,
                                 usb::RegistryEvent::Kind kind, bool includeExisting) {
    std::weak_ptr<NotificationIterator> weak = weak_from_this();
    auto observer = [weak, entryID, kind](const usb::RegistryEvent& event) {
        if (event.kind != kind || (entryID && event.entry.id != *entryID)) {
            return;
        }
        if (const auto self = weak.lock()) {
            self->enqueue(event.entry);
        }
    };
    auto subscription = bus()->subscribe(className, std::move(observer));
    m_subscription = subscription.id;
    std::lock_guard guard(m_mutex);
    if (includeExisting) {
        for (auto& entry : subscription.existing) {
            if (!entryID || entry.id == *entryID) {
                m_queue.push_back(std::move(entry));
            }
        }
    }
    // Whatever the bus reported while the subscription was being answered comes after what existed.
    m_queue.insert(m_queue.end(), m_early.begin(), m_early.end());
    m_early.clear();
    m_started = true;
}

void NotificationIterator::enqueue(const usb::RegistryEntry& entry) {
    {
        std::lock_guard guard(m_mutex);
        if (m_cancelled) {
            return;
        }
        if (!m_started) {
            m_early.push_back(entry);
            return;
        }
        m_queue.push_back(entry);
        if (!m_armed) {
            return; // the callback that is due (or the owner's next drain) will take it
        }
        m_armed = false;
    }
    post();
}

void NotificationIterator::post() {
    const auto port = m_port.lock();
    if (!port) {
        return;
    }
    std::weak_ptr<NotificationIterator> weak = weak_from_this();
    port->source()->signal([weak] {
        if (const auto self = weak.lock()) {
            self->runCallback();
        }
    });
}

void NotificationIterator::runCallback() {
    {
        std::lock_guard guard(m_mutex);
        if (m_cancelled) {
            return;
        }
    }
    const ObjectRef iterator(shared_from_this());
    m_callback(iterator);
}

std::shared_ptr<Object> NotificationIterator::next() {
    std::lock_guard guard(m_mutex);
    if (m_queue.empty()) {
        // Drained: the next service the bus reports calls the callback again.
        m_armed = !m_cancelled && m_started;
        return nullptr;
    }
    auto entry = std::move(m_queue.front());
    m_queue.pop_front();
    return std::make_shared<ServiceObject>(bus(), std::move(entry));
}

void NotificationIterator::cancel() noexcept {
    {
        std::lock_guard guard(m_mutex);
        m_cancelled = true;
        m_armed = false;
        m_queue.clear();
        m_early.clear();
    }
    if (const auto id = m_subscription.exchange(0); id != 0) {
        bus()->unsubscribe(id);
    }
}

// --- NotificationPort --------------------------------------------------------------------------------

NotificationPort::NotificationPort(std::shared_ptr<usb::USBBus> bus)
    : m_bus(std::move(bus)), m_source(std::make_shared<RunLoopSource>()) {}

NotificationPort::~NotificationPort() {
    destroy();
}

bool NotificationPort::add(const std::shared_ptr<NotificationIterator>& notification) {
    std::lock_guard guard(m_mutex);
    if (m_destroyed) {
        return false;
    }
    std::erase_if(m_notifications, [](const auto& each) { return each.expired(); });
    m_notifications.push_back(notification);
    return true;
}

void NotificationPort::destroy() noexcept {
    std::vector<std::weak_ptr<NotificationIterator>> notifications;
    {
        std::lock_guard guard(m_mutex);
        if (m_destroyed) {
            return;
        }
        m_destroyed = true;
        notifications.swap(m_notifications);
    }
    m_source->invalidate();
    for (const auto& each : notifications) {
        if (const auto notification = each.lock()) {
            notification->cancel();
        }
    }
}

bool NotificationPort::isDestroyed() const {
    std::lock_guard guard(m_mutex);
    return m_destroyed;
}

} // namespace detail

} // namespace iokit
