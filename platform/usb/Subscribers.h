#pragma once

#include "platform/usb/USBBus.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace usb {

/// The observers of a bus's registry events. Each is called for the events of its class that came after
/// the entries it was handed when it subscribed, one call at a time. Ending a subscription waits for a
/// call in progress, unless the observer ends its own subscription from inside the call. Thread-safe;
/// a bus may add under its own lock (so that the entries handed out and the start sequence agree), but
/// must deliver without it, since observers call the bus.
class Subscribers {
public:
    /// startSequence: the last event already reflected in the entries handed to the subscriber.
    void add(SubscriptionID id, std::string className, std::uint64_t startSequence,
             USBBus::Observer observer);
    void remove(SubscriptionID id) noexcept;
    void deliver(std::uint64_t sequence, const RegistryEvent& event) noexcept;

private:
    struct Subscriber {
        std::recursive_mutex mutex; // held while the observer runs; remove waits for it
        bool active = true;
        std::string className;
        std::uint64_t startSequence = 0;
        USBBus::Observer observer;
    };

    std::mutex m_mutex;
    std::map<SubscriptionID, std::shared_ptr<Subscriber>> m_subscribers;
};

} // namespace usb
