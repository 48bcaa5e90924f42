#pragma once

#include "platform/usb/USBBus.h"

#include <memory>

namespace usb {

/// Owns one open of a registry entry on a bus and closes it exactly once. Move-only: a move hands the
/// open over and closes whatever the target held.
class Claim {
public:
    Claim() = default;
    /// Opens the entry; throws USBError like USBBus::open.
    static Claim open(std::shared_ptr<USBBus> bus, RegistryEntryID id, OpenMode mode);
    /// Takes over an open that the caller made itself.
    Claim(std::shared_ptr<USBBus> bus, HandleID handle) noexcept;
    ~Claim();

    Claim(Claim&& other) noexcept;
    Claim& operator=(Claim&& other) noexcept;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    explicit operator bool() const noexcept { return m_handle != 0; }
    HandleID handle() const noexcept { return m_handle; }
    USBBus* bus() const noexcept { return m_bus.get(); }

    /// Closes the open now; later calls do nothing.
    void close() noexcept;
    /// Gives the open up without closing it.
    HandleID release() noexcept;

private:
    std::shared_ptr<USBBus> m_bus;
    HandleID m_handle = 0;
};

} // namespace usb
