#include "Corvane/usb/InterfaceClaimer.h"

#include "Corvane/usb/RegistryProperties.h"
#include "Corvane/usb/USBPlugIn.h"

#include <chrono>
#include <exception>
#include <utility>

namespace corvane {

namespace {

using namespace std::chrono_literals;

// After a claim the device is given this long to settle before the claim is trusted: a phone may
// re-create its interfaces more than once while it switches configuration.
constexpr platform::Seconds settleTime = 3s;
// How long a claim that vanished during the settle waits for its replacement.
constexpr platform::Seconds replacementWait = 6s;

void closeAndRelease(iokit::IOUSBInterfaceRef& interface) {
    if (interface) {
        // Whether the close succeeds or not (the service may be gone already), the reference goes.
        interface->USBInterfaceClose();
        interface.Release();
    }
}

} // namespace

InterfaceClaimer::InterfaceClaimer(InterfaceMatch match, const iokit::MainPort& port, platform::Clock& clock)
    : m_match(std::move(match)), m_port(port), m_clock(clock) {}

InterfaceClaimer::~InterfaceClaimer() {
    iokit::IOUSBInterfaceRef leftover;
    {
        std::lock_guard guard(m_lock);
        m_active = false;
        leftover = std::move(m_claimed);
        m_claimedID = 0;
    }
    stopWatching();
    m_watcher = platform::Task(); // joins: no callback runs once this returns
    closeAndRelease(leftover);
}

bool InterfaceClaimer::start() {
    m_watcher = platform::Task::start("InterfaceClaimer", [this](std::stop_token) { watch(); });
    std::unique_lock lock(m_lock);
    // The watcher always reports, armed or not, and does so at once: this is an ordering, not a wait
    // that could need a time-out. It orders arming before the caller resets the device, so no
    // re-created interface can appear before the watch is in place.
    m_readyChanged.wait(lock, [&] { return m_ready; });
    return m_armed;
}

void InterfaceClaimer::watch() {
    // start() waits for this thread's report, so every way out of the arming reports, a failure included:
    // a watcher that dies unreported would leave the caller blocked for good.
    bool reported = false;
    const auto report = [&](bool armed, std::shared_ptr<iokit::RunLoop> loop) {
        {
            std::lock_guard guard(m_lock);
            m_armed = armed;
            m_runLoop = armed ? std::move(loop) : nullptr;
            m_ready = true;
        }
        reported = true;
        m_readyChanged.notify_all();
    };
    try {
        // On the platform this thread runs at the user-interactive quality of service, so the claim wins
        // the race against other clients; here every thread is equal.
        auto port = iokit::IONotificationPortCreate(m_port);
        auto loop = iokit::RunLoop::current();
        iokit::io_iterator_t notification;
        bool armed = false;
        if (port) {
            iokit::CFRunLoopAddSource(*loop, iokit::IONotificationPortGetRunLoopSource(port));
            const auto result = iokit::IOServiceAddMatchingNotification(
                port, iokit::kIOFirstMatchNotification, iokit::IOServiceMatching(usb::interfaceClassName),
                [this](const iokit::io_iterator_t& iterator) { serviceMatched(iterator); }, notification);
            if (result == iokit::kIOReturnSuccess) {
                // Draining the iterator arms the notification; the interfaces that exist now are not the
                // re-created ones and are released unexamined.
                while (iokit::IOIteratorNext(notification)) {
                }
                armed = true;
            }
        }
        report(armed, loop);
        if (armed) {
            loop->run();
        }
    } catch (...) {
        if (!reported) {
            report(false, nullptr);
        }
        throw; // the task logs it
    }
}

void InterfaceClaimer::serviceMatched(const iokit::io_iterator_t& iterator) {
    while (const auto service = iokit::IOIteratorNext(iterator)) {
        try {
            consider(service);
        } catch (const std::exception&) {
            // A service that cannot be examined or opened is skipped; the next one may be ours.
        }
    }
}

void InterfaceClaimer::consider(const iokit::io_service_t& service) {
    std::uint64_t current = 0;
    {
        std::lock_guard guard(m_lock);
        if (!m_active) {
            return;
        }
        current = m_claimedID;
    }
    if (current != 0 && exists(current)) {
        return; // the claim stands
    }
    if (!matches(service)) {
        return;
    }
    auto opened = plugin::makeInterface(service);
    if (!opened) {
        return;
    }
    if (opened->USBInterfaceOpen() != iokit::kIOReturnSuccess) {
        opened.Release(); // someone else was quicker, or the device refused; not ours to keep
        return;
    }
    std::uint64_t id = 0;
    iokit::IORegistryEntryGetRegistryEntryID(service, id);
    iokit::IOUSBInterfaceRef previous;
    {
        std::lock_guard guard(m_lock);
        if (!m_active) {
            previous = std::move(opened); // the outcome is decided: this claim comes too late
        } else {
            previous = std::exchange(m_claimed, std::move(opened));
            m_claimedID = id;
            ++m_signals;
            m_claimedSignal.notify_all();
        }
    }
    closeAndRelease(previous);
}

bool InterfaceClaimer::matches(const iokit::io_service_t& service) const {
    const auto number = registry::integerProperty(service, "bInterfaceNumber");
    if (!number || *number != m_match.number) {
        return false;
    }
    iokit::io_registry_entry_t device;
    if (iokit::IORegistryEntryGetParentEntry(service, iokit::kIOServicePlane, device) !=
        iokit::kIOReturnSuccess) {
        return false; // without its device there is nothing to tell whose interface it is
    }
    if (registry::stringProperty(device, "USB Serial Number").value_or("") != m_match.serial) {
        return false;
    }
    // The serial alone would let an interface of another device with the same (often empty) serial
    // through; the device must be the seized one, or one that re-enumerated at its location.
    std::uint64_t deviceID = 0;
    if (iokit::IORegistryEntryGetRegistryEntryID(device, deviceID) == iokit::kIOReturnSuccess &&
        deviceID == m_match.deviceID) {
        return true;
    }
    const auto location = registry::integerProperty(device, "locationID");
    return m_match.locationID && location && static_cast<std::uint32_t>(*location) == *m_match.locationID;
}

bool InterfaceClaimer::exists(std::uint64_t id) const {
    return static_cast<bool>(
        iokit::IOServiceGetMatchingService(m_port, iokit::IORegistryEntryIDMatching(id)));
}

bool InterfaceClaimer::waitForClaim(platform::Seconds timeout) {
    std::unique_lock lock(m_lock);
    const bool signalled = m_clock.waitFor(lock, m_claimedSignal, platform::Clock::toDuration(timeout), {},
                                           [&] { return m_signals > 0; });
    if (signalled) {
        --m_signals;
    }
    return signalled;
}

bool InterfaceClaimer::claimStands() {
    std::uint64_t current = 0;
    {
        std::lock_guard guard(m_lock);
        current = m_claimedID;
    }
    return current != 0 && exists(current);
}

iokit::IOUSBInterfaceRef InterfaceClaimer::wait(platform::Seconds timeout) {
    if (waitForClaim(timeout)) {
        m_clock.sleepFor(platform::Clock::toDuration(settleTime));
        if (!claimStands() && waitForClaim(replacementWait)) {
            m_clock.sleepFor(platform::Clock::toDuration(settleTime));
            if (!claimStands()) {
                waitForClaim(replacementWait); // whatever comes of it, the outcome is decided next
            }
        }
    }
    return finish();
}

iokit::IOUSBInterfaceRef InterfaceClaimer::finish() {
    iokit::IOUSBInterfaceRef claimed;
    std::uint64_t id = 0;
    {
        std::lock_guard guard(m_lock);
        m_active = false; // from now on a callback closes what it opens
        claimed = std::move(m_claimed);
        id = std::exchange(m_claimedID, 0);
    }
    stopWatching();
    if (id != 0 && exists(id)) {
        std::lock_guard guard(m_lock);
        m_handedOutID = id;
        return claimed;
    }
    closeAndRelease(claimed);
    return {};
}

void InterfaceClaimer::stopWatching() {
    std::shared_ptr<iokit::RunLoop> loop;
    {
        std::lock_guard guard(m_lock);
        loop = m_runLoop;
    }
    if (loop) {
        loop->stop();
    }
}

std::uint64_t InterfaceClaimer::claimedID() const {
    std::lock_guard guard(m_lock);
    return m_handedOutID;
}

} // namespace corvane
