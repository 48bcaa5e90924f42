#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Task.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/IOUSBLib.h"
#include "platform/iokit/RunLoop.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

/// Which re-created interface a take-over may claim: the wanted interface number, on the device that was
/// seized. A device is recognised by its serial number and, because several devices may share a serial
/// (most often the empty one), also by being the seized device itself or sitting at its location.
struct InterfaceMatch {
    std::string serial;                      // "USB Serial Number" of the device, "" when it has none
    std::uint8_t number = 0;                 // "bInterfaceNumber" of the wanted interface
    std::uint64_t deviceID = 0;              // registry entry ID of the seized device
    std::optional<std::uint32_t> locationID; // "locationID" of the seized device, when it has one
};

/// The racing half of an interface take-over: it watches the registry for new interface services on a
/// thread of its own, with its own run loop, and opens the first one that matches, so that nobody else
/// gets it first. Interfaces that exist when the watch is armed are never claimed. Owns the watcher
/// thread, its notification port and the interface it has opened until wait() hands it out.
///
/// One thread calls start() and then wait(); the claims happen on the watcher thread. Every wait goes
/// through the injected clock.
class InterfaceClaimer {
public:
    InterfaceClaimer(InterfaceMatch match, const iokit::MainPort& port,
                     platform::Clock& clock = platform::Clock::system());
    /// Ends the watch, joins the watcher thread and closes an interface that wait() did not hand out.
    ~InterfaceClaimer();
    InterfaceClaimer(const InterfaceClaimer&) = delete;
    InterfaceClaimer& operator=(const InterfaceClaimer&) = delete;

    /// Starts the watcher thread and returns once it has armed its notification (true) or failed to
    /// (false). Call once.
    bool start();

    /// Waits for the outcome: up to `timeout` for a first claim, then 3 s for the device to settle; a
    /// claim whose interface has gone by then gets a second chance (6 s, 3 s) and a third (6 s). Returns
    /// the open interface when the last claim's service still exists, and ends the watch either way.
    /// At most timeout + 18 s on the clock.
    iokit::IOUSBInterfaceRef wait(platform::Seconds timeout);

    /// The registry entry ID of the interface that wait() handed out; 0 before, or when it gave nothing.
    std::uint64_t claimedID() const;

private:
    void watch();
    void serviceMatched(const iokit::io_iterator_t& iterator);
    void consider(const iokit::io_service_t& service);
    bool matches(const iokit::io_service_t& service) const;
    bool waitForClaim(platform::Seconds timeout);
    bool claimStands();
    bool exists(std::uint64_t id) const;
    iokit::IOUSBInterfaceRef finish();
    void stopWatching();

    const InterfaceMatch m_match;
    const iokit::MainPort m_port;
    platform::Clock& m_clock;

    mutable std::mutex m_lock; // guards the fields up to m_runLoop; never held across a bus call or a close
    std::condition_variable_any m_claimedSignal; // with m_signals: one count per claim
    std::condition_variable m_readyChanged;
    iokit::IOUSBInterfaceRef m_claimed;
    std::uint64_t m_claimedID = 0;
    bool m_active = true;
    std::size_t m_signals = 0;
    bool m_ready = false;
    bool m_armed = false;
    std::shared_ptr<iokit::RunLoop> m_runLoop;
    std::uint64_t m_handedOutID = 0;

    platform::Task m_watcher; // last: joined before the fields above go
};

} // namespace corvane
