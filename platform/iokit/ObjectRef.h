#pragma once

#include <cstddef>
#include <memory>

namespace iokit {

namespace detail {
class Object;
}

/// Owns one reference to an IOKit object (io_object_t: a service, an iterator, a notification) and
/// releases it exactly once (IOObjectRelease). Move-only: a move hands the reference over and releases
/// whatever the target held. IOObjectRetain makes a second owner of the same object.
class ObjectRef {
public:
    ObjectRef() noexcept = default;
    explicit ObjectRef(std::shared_ptr<detail::Object> object) noexcept;
    ~ObjectRef();

    ObjectRef(ObjectRef&& other) noexcept;
    ObjectRef& operator=(ObjectRef&& other) noexcept;
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;

    /// False for IO_OBJECT_NULL.
    explicit operator bool() const noexcept { return m_object != nullptr; }
    /// Releases the reference now (IOObjectRelease); the ref is then null.
    void reset() noexcept;

    const std::shared_ptr<detail::Object>& object() const noexcept { return m_object; }

    /// How many IOKit objects are alive in the process: leak checks in tests.
    static std::size_t liveObjectCount() noexcept;

private:
    std::shared_ptr<detail::Object> m_object;
};

using io_object_t = ObjectRef;
using io_service_t = ObjectRef;
using io_registry_entry_t = ObjectRef;
using io_iterator_t = ObjectRef;

} // namespace iokit
