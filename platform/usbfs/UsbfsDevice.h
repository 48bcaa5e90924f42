#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/usb/USBBus.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

namespace usbfs {

/// The errno of a usbfs call as the bus's status: EBUSY is someone else's claim, EACCES a node the user
/// may not open, ENODEV and ESHUTDOWN a device that has gone.
usb::Status statusFromErrno(int error);

/// One open usbfs device node (/dev/bus/usb/BBB/DDD): its interface claims, its configuration, and its
/// transfers, each one asynchronous URB, so that a transfer can be ended from another thread (abort,
/// close, time-out) and a megabyte moves in one request. One caller at a time reaps every URB of the
/// node and hands the others theirs; a thread of its own reaps when no caller does.
///
/// Owns the descriptor, the reaper thread and every URB in flight; the destructor discards what is left
/// and closes the node, which drops every claim made through it. Every member may be called from any
/// thread; transfers block, everything else returns promptly.
class UsbfsDevice {
public:
    enum class TransferType : std::uint8_t { control = 2, bulk = 3, interrupt = 1 };

    /// Opens the node for reading and writing. Throws usb::USBError: notPermitted naming the node and
    /// what the user can do about it, noDevice when the node is gone.
    static std::unique_ptr<UsbfsDevice> open(const std::filesystem::path& node, platform::Clock& clock);
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    const std::filesystem::path& node() const noexcept { return m_node; }

    /// Claims an interface for this node: exclusiveAccess while a driver or another program holds it.
    void claimInterface(std::uint8_t number);
    /// Gives a claim back; a claim that is not there is no error.
    void releaseInterface(std::uint8_t number) noexcept;
    /// Takes the interface from whoever holds it (a kernel driver or another program's claim) and claims
    /// it, in one step that nobody can come between.
    void disconnectAndClaim(std::uint8_t number);
    /// Sets the configuration; 0 leaves the device unconfigured. Fails (exclusiveAccess) while any
    /// interface of the device is claimed, by anyone.
    void setConfiguration(std::uint8_t value);
    /// Resets the device: every claim on it, anyone's, is dropped, and its interfaces are bound again.
    void reset();
    /// Clear Feature (endpoint halt) to the device and a reset of the host side's data toggle.
    void clearHalt(std::uint8_t endpoint);

    /// One transfer on the endpoint into or out of the caller's buffer (for an IN endpoint: at most the
    /// buffer; it ends at a short packet). Returns the bytes moved. `owner` names the transfer for
    /// abort(). Throws usb::USBError: timeout, aborted (or whatever status abort() gave), stalled,
    /// overrun, noDevice at once when the device goes away.
    std::size_t transfer(TransferType type, std::uint8_t endpoint, std::span<std::byte> buffer,
                         usb::Timeout timeout, std::uint64_t owner, const char* request);
    /// A request on the default control pipe; returns the data stage of a device-to-host request.
    std::vector<std::byte> control(const usb::ControlSetup& setup, std::span<const std::byte> data,
                                   usb::Timeout timeout, std::uint64_t owner, const char* request);
    /// Ends the owner's transfers in flight (those on one endpoint, or all) with the status. Ending all of
    /// them ends the owner (a close, a seize): a transfer of it that starts later fails with the status.
    void abort(std::uint64_t owner, std::optional<std::uint8_t> endpoint, usb::Status status) noexcept;
    /// The device has gone: transfers in flight end with noDevice (the kernel has failed them already),
    /// later ones fail at once.
    void markGone() noexcept;

private:
    struct Urb;

    UsbfsDevice(std::filesystem::path node, platform::UniqueFd fd, platform::UniqueFd wake,
                platform::Clock& clock);
    /// One URB, start to end; nothing when the kernel had no memory for it.
    std::optional<std::size_t> submitAndWait(TransferType type, std::uint8_t endpoint,
                                             std::span<std::byte> buffer, platform::Clock::TimePoint deadline,
                                             std::uint64_t owner, const char* request);
    /// Reaps for everyone, as the one caller that does, until the URB is reaped, the deadline passes or the
    /// device hangs up. The lock is held on entry and on return.
    void lead(std::unique_lock<std::mutex>& lock, const Urb& urb, platform::Clock::TimePoint deadline);
    /// Collects every URB the kernel has ended and tells its waiter; false when the device has gone.
    /// Called with m_mutex held, by whoever reaps: a leading caller, or the reaper thread when none leads.
    bool reapCompleted();
    void reap();
    void wakeReaper() noexcept;
    [[noreturn]] void fail(const char* request, int error) const;

    const std::filesystem::path m_node;
    const platform::UniqueFd m_fd;
    const platform::UniqueFd m_wake; // an eventfd that ends the reaper's poll
    platform::Clock& m_clock;
    /// Per IN endpoint number: whether its last transfer filled its buffer, so that the next one goes on
    /// with the same transfer of the device and needs no small first piece.
    std::array<std::atomic<bool>, 16> m_inContinues{};

    std::mutex m_mutex; // guards the fields below; never held across a blocking call
    std::condition_variable_any m_reaped;
    std::list<Urb*> m_inFlight;
    std::map<std::uint64_t, usb::Status> m_ended; // owners whose transfers were all aborted
    bool m_gone = false;
    bool m_stopping = false;
    bool m_leading = false;    // a caller polls and reaps; the reaper thread keeps out
    bool m_callersLead = true; // until the node hangs up, after which the reaper thread alone reaps

    std::jthread m_reaper; // last: started after, and joined before, everything above
};

} // namespace usbfs
