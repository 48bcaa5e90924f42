#pragma once

// The IOKit registry and notification calls, over a usb::USBBus. Names and argument orders follow the
// platform's, so code reads like the behaviour it implements; the shapes are C++: RAII references,
// std::function callbacks, values instead of Core Foundation objects.

#include "platform/iokit/IOReturn.h"
#include "platform/iokit/ObjectRef.h"
#include "platform/iokit/RunLoop.h"
#include "platform/usb/RegistryEntry.h"
#include "platform/usb/USBBus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace iokit {

/// Which bus the calls talk to, in place of IOKit's main port. kIOMainPortDefault means the process's
/// default bus (usb::defaultBus()), looked up at each call; forBus names one explicitly.
class MainPort {
public:
    MainPort() = default;
    static MainPort forBus(std::shared_ptr<usb::USBBus> bus);
    /// The bus; null when this is the default port and no default bus is set.
    std::shared_ptr<usb::USBBus> bus() const;

private:
    std::shared_ptr<usb::USBBus> m_bus;
};

inline const MainPort kIOMainPortDefault{};

/// The service plane, the only registry plane the USB family needs.
inline constexpr std::string_view kIOServicePlane = "IOService";

/// The notification types of IOServiceAddMatchingNotification.
inline constexpr std::string_view kIOFirstMatchNotification = "IOServiceFirstMatch";
inline constexpr std::string_view kIOMatchedNotification = "IOServiceMatched";
inline constexpr std::string_view kIOFirstPublishNotification = "IOServiceFirstPublish";
inline constexpr std::string_view kIOPublishNotification = "IOServicePublish";
inline constexpr std::string_view kIOTerminatedNotification = "IOServiceTerminate";

/// A matching dictionary: a registry class ("IOProviderClass"), a registry entry ID, or both.
struct MatchingDictionary {
    std::optional<std::string> providerClass;
    std::optional<std::uint64_t> registryEntryID;
};

MatchingDictionary IOServiceMatching(std::string_view className);
MatchingDictionary IORegistryEntryIDMatching(std::uint64_t entryID);

// --- Matching ----------------------------------------------------------------------------------------

/// An iterator over every service that matches, in registry order. Fails (and leaves `existing` null)
/// when the registry cannot be queried.
kern_return_t IOServiceGetMatchingServices(const MainPort& mainPort, MatchingDictionary matching,
                                           io_iterator_t& existing);
/// The first service that matches, or null.
io_service_t IOServiceGetMatchingService(const MainPort& mainPort, MatchingDictionary matching);
/// The iterator's next object, or null at the end. Draining a notification's iterator arms it again.
io_object_t IOIteratorNext(const io_iterator_t& iterator);
/// Starts a matching or child iterator over from its first object.
void IOIteratorReset(const io_iterator_t& iterator);

// --- Objects -----------------------------------------------------------------------------------------

kern_return_t IOObjectRelease(io_object_t& object);
io_object_t IOObjectRetain(const io_object_t& object);
/// Two references to the same registry entry (or the same object).
bool IOObjectIsEqualTo(const io_object_t& left, const io_object_t& right);
/// The registry class of a service, "IOIterator" for iterators; empty for null.
std::string IOObjectGetClass(const io_object_t& object);
bool IOObjectConformsTo(const io_object_t& object, std::string_view className);

// --- Registry entries --------------------------------------------------------------------------------

kern_return_t IORegistryEntryGetRegistryEntryID(const io_registry_entry_t& entry, std::uint64_t& entryID);
kern_return_t IORegistryEntryGetParentEntry(const io_registry_entry_t& entry, std::string_view plane,
                                            io_registry_entry_t& parent);
kern_return_t IORegistryEntryGetChildIterator(const io_registry_entry_t& entry, std::string_view plane,
                                              io_iterator_t& iterator);

/// A property value as IOKit hands it out: a number or a string. The readers below are the type checks
/// (CFGetTypeID against CFNumberGetTypeID or CFStringGetTypeID).
using CFTypeRef = usb::PropertyValue;

/// The property's current value; nothing when the entry has no such property. An entry that has been
/// terminated, or that cannot be read live, answers with the properties it had when it was looked up.
std::optional<CFTypeRef> IORegistryEntryCreateCFProperty(const io_registry_entry_t& entry,
                                                         std::string_view key);
/// The value when it is a number.
std::optional<std::int64_t> CFNumberValue(const std::optional<CFTypeRef>& value);
/// The value when it is a string.
std::optional<std::string> CFStringValue(const std::optional<CFTypeRef>& value);

// --- Notifications -----------------------------------------------------------------------------------

namespace detail {
class NotificationPort;
}

/// Owns a notification port (IONotificationPortRef) and destroys it once (IONotificationPortDestroy):
/// its notifications end, and callbacks not yet run are dropped. Move-only.
class IONotificationPortRef {
public:
    IONotificationPortRef() noexcept = default;
    explicit IONotificationPortRef(std::shared_ptr<detail::NotificationPort> port) noexcept;
    ~IONotificationPortRef();
    IONotificationPortRef(IONotificationPortRef&& other) noexcept;
    IONotificationPortRef& operator=(IONotificationPortRef&& other) noexcept;
    IONotificationPortRef(const IONotificationPortRef&) = delete;
    IONotificationPortRef& operator=(const IONotificationPortRef&) = delete;

    explicit operator bool() const noexcept { return m_port != nullptr; }
    void reset() noexcept;
    const std::shared_ptr<detail::NotificationPort>& port() const noexcept { return m_port; }

private:
    std::shared_ptr<detail::NotificationPort> m_port;
};

/// Null when the main port names no bus.
IONotificationPortRef IONotificationPortCreate(const MainPort& mainPort);
void IONotificationPortDestroy(IONotificationPortRef& port);
/// The source to add to the run loop on which the callbacks should run.
std::shared_ptr<RunLoopSource> IONotificationPortGetRunLoopSource(const IONotificationPortRef& port);
inline void CFRunLoopAddSource(RunLoop& loop, const std::shared_ptr<RunLoopSource>& source) {
    loop.addSource(source);
}
/// Has the port's callbacks run through the queue instead of a run loop: each callback is handed to it when
/// it is due, from whichever thread the bus reports on. The queue runs them later, in order, on its own
/// thread (a program's main queue, for instance). Nothing for a null port.
void IONotificationPortSetDispatchQueue(const IONotificationPortRef& port, RunLoopSource::Queue queue);

/// Called on the run loop with the notification's iterator; it should take every service from it.
using IOServiceMatchingCallback = std::function<void(const io_iterator_t& iterator)>;

/// Arms a notification of the given type for services that match. The iterator it returns holds the
/// services that match now (for first-match and publish notifications; nothing for terminate): as on the
/// platform, the notification is armed only once that iterator has been drained, and after each
/// callback, again only once the callback has drained it. The notification lives as long as the
/// iterator (or the port). The dictionary must name a class.
kern_return_t IOServiceAddMatchingNotification(const IONotificationPortRef& port,
                                               std::string_view notificationType, MatchingDictionary matching,
                                               IOServiceMatchingCallback callback,
                                               io_iterator_t& notification);

// --- For the platform layers built on this one -------------------------------------------------------

/// The bus an object lives on (the USB plug-in and IOUSBHost layers open and drive the entry through
/// it); null for null.
std::shared_ptr<usb::USBBus> IOObjectGetBus(const io_object_t& object);

} // namespace iokit
