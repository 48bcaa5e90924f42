#include "platform/iokit/ObjectRef.h"

#include "platform/iokit/IOKitObjects.h"

#include <atomic>
#include <utility>

namespace iokit {

namespace {

std::atomic<std::size_t> liveObjects{0};

} // namespace

namespace detail {

Object::Object(std::shared_ptr<usb::USBBus> bus) noexcept : m_bus(std::move(bus)) {
    liveObjects.fetch_add(1);
}

Object::~Object() {
    liveObjects.fetch_sub(1);
}

} // namespace detail

ObjectRef::ObjectRef(std::shared_ptr<detail::Object> object) noexcept : m_object(std::move(object)) {}

ObjectRef::~ObjectRef() = default;

ObjectRef::ObjectRef(ObjectRef&& other) noexcept : m_object(std::move(other.m_object)) {}

ObjectRef& ObjectRef::operator=(ObjectRef&& other) noexcept {
    if (this != &other) {
        m_object = std::move(other.m_object);
    }
    return *this;
}

void ObjectRef::reset() noexcept {
    m_object.reset();
}

std::size_t ObjectRef::liveObjectCount() noexcept {
    return liveObjects.load();
}

} // namespace iokit
