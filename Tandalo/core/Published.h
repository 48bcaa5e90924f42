#pragma once

#include "Tandalo/core/Executor.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

// Observation in the application core, on its main executor (no member is safe from other threads):
//
//     class MountLocation {
//     public:
//         Signal<> objectWillChange;                        // declared before the fields that announce on it
//         Published<std::optional<Path>> url{objectWillChange, std::nullopt};
//     };
//     m_subscriptions.push_back(location.url.subscribe(executor, weakModel, [](AppModel& model, auto& url) {
//         ...                                           // delivered later on the executor, while model lives
//     }));
//
// A Subscription token keeps one subscription: destroying it ends the subscription, and a delivery that
// was already queued is then dropped. Subscriptions hold their target weakly, so they never keep it alive.
namespace tandalo::app {

namespace detail {
/// One subscriber's liveness, shared by its token and its queued deliveries.
struct SubscriptionState {
    bool active = true;
};
} // namespace detail

/// Keeps a subscription alive; move-only. Destroying or resetting it ends the subscription.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::shared_ptr<detail::SubscriptionState> state) : m_state(std::move(state)) {}
    Subscription(Subscription&& other) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() noexcept {
        if (m_state) {
            m_state->active = false;
            m_state.reset();
        }
    }
    bool isActive() const noexcept { return m_state && m_state->active; }

private:
    std::shared_ptr<detail::SubscriptionState> m_state;
};

/// Announcements to any number of subscribers, called synchronously in the order they subscribed. A
/// subscriber may subscribe or unsubscribe (any one) while an announcement runs: one that subscribed during
/// it waits for the next, one that ended is not called again.
template <typename... Args> class Signal {
public:
    using Handler = std::function<void(const Args&...)>;

    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] Subscription subscribe(Handler handler) {
        auto state = std::make_shared<detail::SubscriptionState>();
        add(state, std::move(handler));
        return Subscription(std::move(state));
    }

    /// Delivers each announcement later on the executor, to the target while it lives.
    template <typename Target, typename Deliver>
    [[nodiscard]] Subscription subscribe(Executor& executor, std::weak_ptr<Target> target, Deliver deliver) {
        return subscribeQueued(executor, std::move(target), std::move(deliver), std::nullopt);
    }

    /// The same, with a first delivery of the given values queued at once.
    template <typename Target, typename Deliver>
    [[nodiscard]] Subscription subscribeQueued(Executor& executor, std::weak_ptr<Target> target,
                                               Deliver deliver, std::optional<std::tuple<Args...>> first) {
        auto state = std::make_shared<detail::SubscriptionState>();
        // Each delivery checks the token's liveness when it runs, so one queued before the token went is
        // dropped.
        auto queue = [&executor, target, deliver,
                      weak = std::weak_ptr(state)](std::tuple<Args...> arguments) {
            executor.post([target, deliver, weak, arguments = std::move(arguments)] {
                const auto alive = weak.lock();
                const auto receiver = target.lock();
                if (alive && alive->active && receiver) {
                    std::apply([&](const auto&... values) { deliver(*receiver, values...); }, arguments);
                }
            });
        };
        if (first) {
            queue(std::move(*first));
        }
        add(state, [queue](const Args&... args) { queue(std::make_tuple(args...)); });
        return Subscription(std::move(state));
    }

    void send(const Args&... args) {
        const auto entries = m_entries; // a handler may subscribe while this runs
        for (const auto& entry : entries) {
            if (entry.state->active) {
                (*entry.handler)(args...);
            }
        }
    }

    std::size_t subscriberCount() const {
        return static_cast<std::size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                                      [](const Entry& e) { return e.state->active; }));
    }

private:
    struct Entry {
        std::shared_ptr<detail::SubscriptionState> state;
        std::shared_ptr<Handler> handler;
    };

    void add(const std::shared_ptr<detail::SubscriptionState>& state, Handler handler) {
        std::erase_if(m_entries, [](const Entry& entry) { return !entry.state->active; });
        m_entries.push_back(Entry{state, std::make_shared<Handler>(std::move(handler))});
    }

    std::vector<Entry> m_entries;
};

/// A field of an observable object: writing it first announces the change on the owner's
/// objectWillChange, then tells the field's own subscribers the new value, then stores it.
template <typename T> class Published {
public:
    Published(Signal<>& owner, T initial) : m_owner(owner), m_value(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const noexcept { return m_value; }
    const T& operator*() const noexcept { return m_value; }
    const T* operator->() const noexcept { return &m_value; }

    void set(T value) {
        m_owner.send();
        m_changes.send(value);
        m_value = std::move(value);
    }
    /// Changes the value in place through a copy, announced like set().
    template <typename Change> void modify(Change change) {
        T copy = m_value;
        change(copy);
        set(std::move(copy));
    }

    /// Calls the handler at once with the current value, then with each new value before it is stored.
    [[nodiscard]] Subscription subscribe(std::function<void(const T&)> handler) {
        handler(m_value);
        return m_changes.subscribe(std::move(handler));
    }
    /// Delivers the current value, then each new one, later on the executor, to the target while it lives.
    template <typename Target, typename Deliver>
    [[nodiscard]] Subscription subscribe(Executor& executor, std::weak_ptr<Target> target, Deliver deliver) {
        return m_changes.subscribeQueued(executor, std::move(target), std::move(deliver),
                                         std::make_tuple(m_value));
    }

private:
    Signal<>& m_owner;
    Signal<T> m_changes;
    T m_value;
};

} // namespace tandalo::app
