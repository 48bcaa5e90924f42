#pragma once

// The plug-in side of IOKit: CFPlugIn-style objects that a registry service hands out for user clients,
// found by type and interface IDs. Names follow the platform's; the shapes are C++: an interface pointer
// becomes a reference-counted PlugInRef, and a function table becomes a class with the same members.

#include "platform/iokit/IOKitLib.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace iokit {

/// A 128-bit type or interface ID, as the plug-in calls compare them.
struct CFUUIDBytes {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const CFUUIDBytes&) const = default;
};

/// The result of QueryInterface.
using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);

/// The interface every plug-in answers: the one that QueryInterface is asked through.
inline constexpr CFUUIDBytes kIOCFPlugInInterfaceID{
    {0xC8, 0x14, 0x62, 0x8A, 0x0C, 0xBB, 0x48, 0x92, 0x8C, 0x9E, 0x6E, 0xE7, 0xA5, 0xA0, 0x3C, 0x34}};

namespace detail {

/// Base of every plug-in object; counts the live ones, so tests can see that nothing leaks.
class PlugInObject {
public:
    virtual ~PlugInObject();
    PlugInObject(const PlugInObject&) = delete;
    PlugInObject& operator=(const PlugInObject&) = delete;
    static std::size_t liveCount() noexcept;

protected:
    PlugInObject() noexcept;
};

} // namespace detail

/// Owns one reference to a plug-in object (the platform's pointer to a pointer to a function table) and
/// gives it up exactly once: on Release() or when it is destroyed. The object goes when its last
/// reference does. Move-only: a move hands the reference over and releases whatever the target held.
/// AddRef() makes a second owner. The members of the function table are reached through ->.
template <typename Interface> class PlugInRef {
public:
    PlugInRef() noexcept = default;
    explicit PlugInRef(std::shared_ptr<Interface> object) noexcept : m_object(std::move(object)) {}
    ~PlugInRef() { Release(); }

    PlugInRef(PlugInRef&& other) noexcept : m_object(std::move(other.m_object)) {}
    PlugInRef& operator=(PlugInRef&& other) noexcept {
        if (this != &other) {
            Release();
            m_object = std::move(other.m_object);
        }
        return *this;
    }
    PlugInRef(const PlugInRef&) = delete;
    PlugInRef& operator=(const PlugInRef&) = delete;

    explicit operator bool() const noexcept { return m_object != nullptr; }
    Interface* operator->() const noexcept { return m_object.get(); }
    Interface& operator*() const noexcept { return *m_object; }

    /// Another reference to the same object.
    PlugInRef AddRef() const noexcept { return PlugInRef(m_object); }
    /// Gives this reference up; later calls do nothing.
    void Release() noexcept { m_object.reset(); }

    /// Whether two references name the same object.
    bool isSameObject(const PlugInRef& other) const noexcept { return m_object == other.m_object; }

private:
    std::shared_ptr<Interface> m_object;
};

class IOUSBInterfaceStruct942;
class IOUSBDeviceStruct942;
using IOUSBInterfaceRef = PlugInRef<IOUSBInterfaceStruct942>;
using IOUSBDeviceRef = PlugInRef<IOUSBDeviceStruct942>;

/// The plug-in that IOCreatePlugInInterfaceForService makes for one service and one user-client type.
/// It hands out the user client's function tables through QueryInterface.
class IOCFPlugInInterface final : public detail::PlugInObject {
public:
    IOCFPlugInInterface(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntry service, CFUUIDBytes pluginType);
    ~IOCFPlugInInterface() override;

    /// The interface function table (kIOUSBInterfaceInterfaceID942) of an interface user client: S_OK and
    /// a new reference, or E_NOINTERFACE when this plug-in has no such table.
    HRESULT QueryInterface(const CFUUIDBytes& interfaceID, IOUSBInterfaceRef& interface);
    /// The device function table (kIOUSBDeviceInterfaceID942) of a device user client.
    HRESULT QueryInterface(const CFUUIDBytes& interfaceID, IOUSBDeviceRef& device);

private:
    const std::shared_ptr<usb::USBBus> m_bus;
    const usb::RegistryEntry m_service;
    const CFUUIDBytes m_pluginType;
};

using IOCFPlugInRef = PlugInRef<IOCFPlugInInterface>;

/// Makes the plug-in of a user-client type (kIOUSBInterfaceUserClientTypeID, kIOUSBDeviceUserClientTypeID)
/// for a service, asked for through kIOCFPlugInInterfaceID. Fails with kIOReturnUnsupported for a type
/// the service's class has no user client of, and with kIOReturnNoDevice when the service has gone.
kern_return_t IOCreatePlugInInterfaceForService(const io_service_t& service, const CFUUIDBytes& pluginType,
                                                const CFUUIDBytes& interfaceType, IOCFPlugInRef& plugIn,
                                                std::int32_t& score);
/// Releases the plug-in (the function tables it handed out live on).
kern_return_t IODestroyPlugInInterface(IOCFPlugInRef& plugIn);

/// How many plug-in objects (plug-ins and function tables) are alive in the process: leak checks in tests.
std::size_t IOCFPlugInLiveObjectCount() noexcept;

} // namespace iokit
