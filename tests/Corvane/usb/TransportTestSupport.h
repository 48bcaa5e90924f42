#pragma once

// What the transport and take-over tests share: a clock that shows which deadlines threads wait for, a
// simulated bus with one scripted phone, and checks on what the bus saw.

#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/Clock.h"
#include "simulation/SimulatedBus.h"
#include "tests/simulation/SimulatedBusScriptedFunction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace corvane::testing {

using namespace std::chrono_literals;

/// A virtual clock that also shows which deadlines threads wait for, so a test can advance time exactly
/// when the thread it drives has reached the wait it expects (and not a moment earlier, when the
/// advance would be lost or would expire the wrong wait).
class ObservedClock final : public platform::Clock {
public:
    TimePoint now() const override { return m_clock.now(); }
    WallTime wallNow() const override { return m_clock.wallNow(); }

    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& cv, TimePoint deadline,
                   std::stop_token stop, const std::function<bool()>& pred) override {
        if (pred()) {
            return true;
        }
        {
            std::lock_guard guard(m_mutex);
            m_deadlines.insert(deadline);
        }
        m_changed.notify_all();
        const bool result = m_clock.waitUntil(lock, cv, deadline, stop, pred);
        {
            std::lock_guard guard(m_mutex);
            m_deadlines.erase(m_deadlines.find(deadline));
        }
        m_changed.notify_all();
        return result;
    }

    void advance(Duration duration) { m_clock.advance(duration); }

    /// Blocks (in real time, at most realLimit) until some thread waits for exactly this deadline.
    bool waitForDeadline(TimePoint deadline, std::chrono::milliseconds realLimit = 20s) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, realLimit, [&] { return m_deadlines.contains(deadline); });
    }

    /// Blocks until a thread waits for a deadline `after` from now, then advances by `after`.
    void advanceWhenWaited(Duration after) {
        const auto deadline = now() + after;
        ASSERT_TRUE(waitForDeadline(deadline)) << "nobody waited for the deadline";
        advance(after);
    }

private:
    platform::VirtualClock m_clock;
    mutable std::mutex m_mutex; // guards m_deadlines; taken after any waiter's own lock
    mutable std::condition_variable m_changed;
    std::multiset<TimePoint> m_deadlines;
};

/// A phone with a still-image MTP interface (bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83) behind a
/// scripted function.
inline simulation::DeviceSpec scriptedPhone(std::shared_ptr<usb::DeviceFunction> function,
                                            std::string serial = "R58N123ABC") {
    simulation::DeviceSpec spec;
    spec.vendorID = 0x04E8;
    spec.productID = 0x6860;
    spec.vendorName = "Samsung";
    spec.productName = "Galaxy S21";
    spec.serialNumber = std::move(serial);
    spec.interfaces = {simulation::InterfaceSpec::stillImage(0)};
    spec.function = std::move(function);
    return spec;
}

/// A simulated bus on an observed clock.
struct SimulatedUSB {
    ObservedClock clock;
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>(clock);
    iokit::MainPort port = iokit::MainPort::forBus(bus);

    /// The descriptor discovery gives for the interface.
    USBDeviceDescriptor descriptor(usb::RegistryEntryID interfaceID) const {
        for (const auto& found : USBDeviceDiscovery::findMTPInterfaces(port)) {
            if (found.registryEntryID == interfaceID) {
                return found;
            }
        }
        ADD_FAILURE() << "no MTP interface " << interfaceID;
        return {};
    }

    /// The handles opened on the bus that have not been closed, with the entry each was opened on.
    std::map<std::string, usb::RegistryEntryID> openHandles() const {
        std::map<std::string, usb::RegistryEntryID> open;
        for (const auto& call : bus->callLog()) {
            if (call.operation == "open" && call.outcome.starts_with("handle ")) {
                open.emplace(call.outcome, call.entryID);
            } else if (call.operation == "close" && call.outcome == "ok") {
                open.erase(call.detail);
            }
        }
        return open;
    }

    /// Whether anything opened the entry, successfully or not.
    bool wasOpened(usb::RegistryEntryID id) const {
        const auto log = bus->callLog();
        return std::any_of(log.begin(), log.end(),
                           [&](const auto& call) { return call.operation == "open" && call.entryID == id; });
    }

    /// The details of every call of the operation, oldest first.
    std::vector<std::string> details(const std::string& operation) const {
        std::vector<std::string> found;
        for (const auto& call : bus->callLog()) {
            if (call.operation == operation) {
                found.push_back(call.detail);
            }
        }
        return found;
    }
};

/// A bus that passes every request to a simulated bus; tests override the requests they want to bend.
class ForwardingBus : public usb::USBBus {
public:
    explicit ForwardingBus(std::shared_ptr<simulation::SimulatedBus> bus) : m_bus(std::move(bus)) {}

    std::vector<usb::RegistryEntry> matchingEntries(std::string_view className) override {
        return m_bus->matchingEntries(className);
    }
    std::optional<usb::RegistryEntry> entry(usb::RegistryEntryID id) override { return m_bus->entry(id); }
    std::vector<usb::RegistryEntry> children(usb::RegistryEntryID id) override { return m_bus->children(id); }
    std::optional<usb::PropertyValue> property(usb::RegistryEntryID id, std::string_view key) override {
        return m_bus->property(id, key);
    }
    Subscription subscribe(std::string_view className, Observer observer) override {
        return m_bus->subscribe(className, std::move(observer));
    }
    void unsubscribe(usb::SubscriptionID id) noexcept override { m_bus->unsubscribe(id); }
    usb::HandleID open(usb::RegistryEntryID id, usb::OpenMode mode) override { return m_bus->open(id, mode); }
    void close(usb::HandleID handle) noexcept override { m_bus->close(handle); }
    std::vector<usb::EndpointDescriptor> endpoints(usb::RegistryEntryID id) override {
        return m_bus->endpoints(id);
    }
    std::size_t readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                         usb::Timeout timeout) override {
        return m_bus->readPipe(handle, endpoint, buffer, timeout);
    }
    std::size_t writePipe(usb::HandleID handle, std::uint8_t endpoint, std::span<const std::byte> data,
                          usb::Timeout timeout) override {
        return m_bus->writePipe(handle, endpoint, data, timeout);
    }
    std::vector<std::byte> controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                          std::span<const std::byte> data, usb::Timeout timeout) override {
        return m_bus->controlRequest(handle, setup, data, timeout);
    }
    void clearStall(usb::HandleID handle, std::uint8_t endpoint) override {
        m_bus->clearStall(handle, endpoint);
    }
    void abortPipe(usb::HandleID handle, std::uint8_t endpoint) override {
        m_bus->abortPipe(handle, endpoint);
    }
    std::uint8_t configuration(usb::HandleID device) override { return m_bus->configuration(device); }
    void setConfiguration(usb::HandleID device, std::uint8_t value) override {
        m_bus->setConfiguration(device, value);
    }

protected:
    const std::shared_ptr<simulation::SimulatedBus> m_bus;
};

/// The PTPError the call throws; fails the test when it throws nothing or something else.
inline std::optional<PTPError> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const PTPError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "expected a PTPError, got: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "expected a PTPError";
    return std::nullopt;
}

/// The description of the error the call throws, or "no error".
inline std::string describeFailure(const std::function<void()>& call) {
    const auto error = errorOf(call);
    return error ? error->description() : "no error";
}

} // namespace corvane::testing
