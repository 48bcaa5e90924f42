#pragma once

// The objects behind ObjectRef and IONotificationPortRef. Internal to the IOKit layer and the layers
// built directly on it.

#include "platform/iokit/IOKitLib.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace iokit::detail {

/// Base of every IOKit object; counts the live ones.
class Object {
public:
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    virtual std::string className() const = 0;
    const std::shared_ptr<usb::USBBus>& bus() const noexcept { return m_bus; }

protected:
    explicit Object(std::shared_ptr<usb::USBBus> bus) noexcept;

private:
    std::shared_ptr<usb::USBBus> m_bus;
};

/// A registry entry (io_service_t), with the record it had when it was looked up.
class ServiceObject final : public Object {
public:
    ServiceObject(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntry record) noexcept;
    std::string className() const override { return m_record.className; }
    const usb::RegistryEntry& record() const noexcept { return m_record; }

private:
    const usb::RegistryEntry m_record;
};

/// Any iterator: IOIteratorNext and IOIteratorReset work through this.
class IteratorObject : public Object {
public:
    using Object::Object;
    std::string className() const override { return "IOIterator"; }
    virtual std::shared_ptr<Object> next() = 0;
    virtual void reset() = 0;
};

/// An iterator over a fixed list of entries (matching services, children).
class EntryIterator final : public IteratorObject {
public:
    EntryIterator(std::shared_ptr<usb::USBBus> bus, std::vector<usb::RegistryEntry> entries) noexcept;
    std::shared_ptr<Object> next() override;
    void reset() override;

private:
    std::mutex m_mutex; // guards m_next
    const std::vector<usb::RegistryEntry> m_entries;
    std::size_t m_next = 0;
};

class NotificationPort;

/// The iterator of one armed notification. It queues the services the bus reports; when it is armed,
/// the first new one posts the callback to the port's run loop and disarms it until it is drained.
class NotificationIterator final : public IteratorObject,
                                   public std::enable_shared_from_this<NotificationIterator> {
public:
    NotificationIterator(std::shared_ptr<usb::USBBus> bus, std::weak_ptr<NotificationPort> port,
                         IOServiceMatchingCallback callback) noexcept;
    ~NotificationIterator() override;

    std::shared_ptr<Object> next() override;
    void reset() override {}

    /// Subscribes on the bus; the entries that exist now become the first queued ones when
    /// `includeExisting`.
    void start(const std::string& className, std::optional<std::uint64_t> entryID,
               usb::RegistryEvent::Kind kind, bool includeExisting);
    /// Ends the subscription; no callback is posted afterwards. Idempotent.
    void cancel() noexcept;

private:
    void enqueue(const usb::RegistryEntry& entry);
    void runCallback();

    void post();

    std::mutex m_mutex; // guards the fields up to m_cancelled; never held across a bus call or the callback
    std::deque<usb::RegistryEntry> m_queue;
    std::vector<usb::RegistryEntry> m_early; // reported while start() waited for the subscription
    bool m_started = false;
    bool m_armed = false;
    bool m_cancelled = false;
    std::atomic<usb::SubscriptionID> m_subscription{0};
    const std::weak_ptr<NotificationPort> m_port;
    const IOServiceMatchingCallback m_callback;
};

/// A notification port: a run-loop source and the notifications armed on it.
class NotificationPort {
public:
    explicit NotificationPort(std::shared_ptr<usb::USBBus> bus);
    ~NotificationPort();

    const std::shared_ptr<usb::USBBus>& bus() const noexcept { return m_bus; }
    const std::shared_ptr<RunLoopSource>& source() const noexcept { return m_source; }
    /// Keeps track of a notification so destroy() can end it; false once the port is destroyed.
    bool add(const std::shared_ptr<NotificationIterator>& notification);
    /// Ends every notification and drops callbacks not yet run.
    void destroy() noexcept;
    bool isDestroyed() const;

private:
    const std::shared_ptr<usb::USBBus> m_bus;
    const std::shared_ptr<RunLoopSource> m_source;
    mutable std::mutex m_mutex; // guards m_notifications, m_destroyed; never held across a bus call
    std::vector<std::weak_ptr<NotificationIterator>> m_notifications;
    bool m_destroyed = false;
};

/// The service object of a reference, or null when it is none.
const ServiceObject* serviceOf(const ObjectRef& object) noexcept;

} // namespace iokit::detail
