#include "platform/usb/Subscribers.h"

#include <exception>
#include <vector>

namespace usb {

void Subscribers::add(SubscriptionID id, std::string className, std::uint64_t startSequence,
                      USBBus::Observer observer) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->className = std::move(className);
    subscriber->startSequence = startSequence;
    subscriber->observer = std::move(observer);
    std::lock_guard guard(m_mutex);
    m_subscribers.emplace(id, std::move(subscriber));
}

void Subscribers::remove(SubscriptionID id) noexcept {
    std::shared_ptr<Subscriber> subscriber;
    {
        std::lock_guard guard(m_mutex);
        const auto found = m_subscribers.find(id);
        if (found == m_subscribers.end()) {
            return;
        }
        subscriber = std::move(found->second);
        m_subscribers.erase(found);
    }
    std::lock_guard guard(subscriber->mutex);
    subscriber->active = false;
}

void Subscribers::deliver(std::uint64_t sequence, const RegistryEvent& event) noexcept {
    std::vector<std::shared_ptr<Subscriber>> receivers;
    {
        std::lock_guard guard(m_mutex);
        for (const auto& [id, subscriber] : m_subscribers) {
            if (subscriber->className == event.entry.className && subscriber->startSequence < sequence) {
                receivers.push_back(subscriber);
            }
        }
    }
    for (const auto& subscriber : receivers) {
        std::lock_guard guard(subscriber->mutex);
        if (!subscriber->active) {
            continue;
        }
        try {
            subscriber->observer(event);
        } catch (const std::exception&) {
            // An observer's failure is its own: the other subscribers still get the event.
        }
    }
}

} // namespace usb
