#include "platform/iokit/IOKitLib.h"

#include "platform/iokit/IOKitObjects.h"

#include <utility>

namespace iokit {

// --- Main port and matching --------------------------------------------------------------------------

MainPort MainPort::forBus(std::shared_ptr<usb::USBBus> bus) {
    MainPort port;
    port.m_bus = std::move(bus);
    return port;
}

std::shared_ptr<usb::USBBus> MainPort::bus() const {
    return m_bus ? m_bus : usb::defaultBus();
}

MatchingDictionary IOServiceMatching(std::string_view className) {
    return {std::string(className), std::nullopt};
}

MatchingDictionary IORegistryEntryIDMatching(std::uint64_t entryID) {
    return {std::nullopt, entryID};
}

namespace {

// The entries a dictionary matches, in registry order. Throws USBError when the bus cannot answer.
std::vector<usb::RegistryEntry> matchingEntries(usb::USBBus& bus, const MatchingDictionary& matching) {
    if (matching.registryEntryID) {
        std::vector<usb::RegistryEntry> found;
        if (auto entry = bus.entry(*matching.registryEntryID)) {
            if (!matching.providerClass || entry->className == *matching.providerClass) {
                found.push_back(std::move(*entry));
            }
        }
        return found;
    }
    if (matching.providerClass) {
        return bus.matchingEntries(*matching.providerClass);
    }
    throw usb::USBError(usb::Status::badArgument, "matching dictionary names neither a class nor an entry");
}

ObjectRef makeService(const std::shared_ptr<usb::USBBus>& bus, usb::RegistryEntry record) {
    return ObjectRef(std::make_shared<detail::ServiceObject>(bus, std::move(record)));
}

} // namespace

kern_return_t IOServiceGetMatchingServices(const MainPort& mainPort, MatchingDictionary matching,
                                           io_iterator_t& existing) {
    existing.reset();
    const auto bus = mainPort.bus();
    if (!bus) {
        return kIOReturnNotReady;
    }
    try {
        auto entries = matchingEntries(*bus, matching);
        existing = ObjectRef(std::make_shared<detail::EntryIterator>(bus, std::move(entries)));
        return kIOReturnSuccess;
    } catch (const usb::USBError& error) {
        return ioReturnFrom(error.status());
    }
}

io_service_t IOServiceGetMatchingService(const MainPort& mainPort, MatchingDictionary matching) {
    const auto bus = mainPort.bus();
    if (!bus) {
        return {};
    }
    try {
        auto entries = matchingEntries(*bus, matching);
        if (entries.empty()) {
            return {};
        }
        return makeService(bus, std::move(entries.front()));
    } catch (const usb::USBError&) {
        return {};
    }
}

io_object_t IOIteratorNext(const io_iterator_t& iterator) {
    if (auto* iterating = dynamic_cast<detail::IteratorObject*>(iterator.object().get())) {
        return ObjectRef(iterating->next());
    }
    return {};
}

void IOIteratorReset(const io_iterator_t& iterator) {
    if (auto* iterating = dynamic_cast<detail::IteratorObject*>(iterator.object().get())) {
        iterating->reset();
    }
}

// --- Objects -----------------------------------------------------------------------------------------

kern_return_t IOObjectRelease(io_object_t& object) {
    object.reset();
    return kIOReturnSuccess;
}

io_object_t IOObjectRetain(const io_object_t& object) {
    return ObjectRef(object.object());
}

bool IOObjectIsEqualTo(const io_object_t& left, const io_object_t& right) {
    const auto* leftService = detail::serviceOf(left);
    const auto* rightService = detail::serviceOf(right);
    if (leftService != nullptr && rightService != nullptr) {
        return leftService->record().id == rightService->record().id &&
               leftService->bus() == rightService->bus();
    }
    return left.object() == right.object();
}

std::string IOObjectGetClass(const io_object_t& object) {
    return object ? object.object()->className() : std::string();
}

bool IOObjectConformsTo(const io_object_t& object, std::string_view className) {
    return object && object.object()->className() == className;
}

std::shared_ptr<usb::USBBus> IOObjectGetBus(const io_object_t& object) {
    return object ? object.object()->bus() : nullptr;
}

// --- Registry entries --------------------------------------------------------------------------------

kern_return_t IORegistryEntryGetRegistryEntryID(const io_registry_entry_t& entry, std::uint64_t& entryID) {
    const auto* service = detail::serviceOf(entry);
    if (service == nullptr) {
        return kIOReturnBadArgument;
    }
    entryID = service->record().id;
    return kIOReturnSuccess;
}

kern_return_t IORegistryEntryGetParentEntry(const io_registry_entry_t& entry, std::string_view plane,
                                            io_registry_entry_t& parent) {
    parent.reset();
    const auto* service = detail::serviceOf(entry);
    if (service == nullptr || plane != kIOServicePlane) {
        return kIOReturnBadArgument;
    }
    if (service->record().parentID == 0) {
        return kIOReturnNoDevice; // attached to the root, or detached by termination
    }
    try {
        auto record = service->bus()->entry(service->record().parentID);
        if (!record) {
            return kIOReturnNoDevice;
        }
        parent = makeService(service->bus(), std::move(*record));
        return kIOReturnSuccess;
    } catch (const usb::USBError& error) {
        return ioReturnFrom(error.status());
    }
}

kern_return_t IORegistryEntryGetChildIterator(const io_registry_entry_t& entry, std::string_view plane,
                                              io_iterator_t& iterator) {
    iterator.reset();
    const auto* service = detail::serviceOf(entry);
    if (service == nullptr || plane != kIOServicePlane) {
        return kIOReturnBadArgument;
    }
    try {
        auto children = service->bus()->children(service->record().id);
        iterator = ObjectRef(std::make_shared<detail::EntryIterator>(service->bus(), std::move(children)));
        return kIOReturnSuccess;
    } catch (const usb::USBError& error) {
        return error.status() == usb::Status::notFound ? kIOReturnNoDevice : ioReturnFrom(error.status());
    }
}

std::optional<CFTypeRef> IORegistryEntryCreateCFProperty(const io_registry_entry_t& entry,
                                                         std::string_view key) {
    const auto* service = detail::serviceOf(entry);
    if (service == nullptr) {
        return std::nullopt;
    }
    try {
        return service->bus()->property(service->record().id, key);
    } catch (const usb::USBError&) {
        // Terminated, or the registry cannot be asked: the object still carries what the entry held when
        // it was looked up, so a reader never gets some fields live and the rest missing.
    }
    if (const auto* value = service->record().property(key)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::int64_t> CFNumberValue(const std::optional<CFTypeRef>& value) {
    if (value) {
        if (const auto* number = std::get_if<std::int64_t>(&*value)) {
            return *number;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CFStringValue(const std::optional<CFTypeRef>& value) {
    if (value) {
        if (const auto* text = std::get_if<std::string>(&*value)) {
            return *text;
        }
    }
    return std::nullopt;
}

// --- Object implementations --------------------------------------------------------------------------

namespace detail {

ServiceObject::ServiceObject(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntry record) noexcept
    : Object(std::move(bus)), m_record(std::move(record)) {}

EntryIterator::EntryIterator(std::shared_ptr<usb::USBBus> bus,
                             std::vector<usb::RegistryEntry> entries) noexcept
    : IteratorObject(std::move(bus)), m_entries(std::move(entries)) {}

std::shared_ptr<Object> EntryIterator::next() {
    std::lock_guard guard(m_mutex);
    if (m_next >= m_entries.size()) {
        return nullptr;
    }
    return std::make_shared<ServiceObject>(bus(), m_entries[m_next++]);
}

void EntryIterator::reset() {
    std::lock_guard guard(m_mutex);
    m_next = 0;
}

const ServiceObject* serviceOf(const ObjectRef& object) noexcept {
    return dynamic_cast<const ServiceObject*>(object.object().get());
}

} // namespace detail

} // namespace iokit
