#pragma once

#include "platform/foundation/Clock.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

namespace detail {
/// Logs a resume that came after the first one. Only debug builds report; release builds ignore it.
void reportRepeatedResume(std::string_view name);
} // namespace detail

/// A continuation that is resumed exactly once: the first resume() or fail() delivers its result to the
/// waiter, and every later one is ignored (and reported in debug builds). Copies share one state, so each
/// racing source (a callback, a time-out, a termination handler) can hold its own copy. Any thread may
/// resume; the waiter blocks through the injected Clock.
template <typename T> class OneShot {
public:
    /// What a waiter receives: T, or std::monostate for OneShot<void>.
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    explicit OneShot(std::string name = "one-shot") : m_state(std::make_shared<State>(std::move(name))) {}

    /// Delivers the value; returns false (and delivers nothing) when the continuation was already resumed.
    bool resume(Value value) requires(!std::is_void_v<T>) {
        return deliver([&](State& state) { state.value.emplace(std::move(value)); });
    }
    bool resume() requires std::is_void_v<T> {
        return deliver([](State& state) { state.value.emplace(); });
    }
    /// Delivers an error for the waiter to rethrow; returns false when already resumed.
    bool fail(std::exception_ptr error) {
        return deliver([&](State& state) { state.error = std::move(error); });
    }

    bool isResumed() const {
        std::lock_guard guard(m_state->mutex);
        return m_state->resumed;
    }

    /// Blocks until resumed; returns the value or rethrows the error.
    Value wait(Clock& clock) {
        while (true) {
            if (auto result = waitFor(clock, Clock::Duration::max(), {})) {
                return std::move(*result);
            }
        }
    }

    /// Blocks until resumed, the time-out passes or stop is requested. Returns the value, nothing on
    /// time-out or stop, or rethrows the error. The value is moved out to the waiter: wait once.
    std::optional<Value> waitFor(Clock& clock, Clock::Duration timeout, std::stop_token stop = {}) {
        std::unique_lock lock(m_state->mutex);
        State& state = *m_state;
        if (!clock.waitFor(lock, state.changed, timeout, stop, [&] { return state.resumed; })) {
            return std::nullopt;
        }
        if (state.error) {
            std::rethrow_exception(state.error);
        }
        return std::move(*state.value);
    }

private:
    struct State {
        explicit State(std::string name) : name(std::move(name)) {}
        const std::string name;
        std::mutex mutex; // guards resumed, value, error; never held across a call out of this class
        std::condition_variable_any changed;
        bool resumed = false;
        std::optional<Value> value;
        std::exception_ptr error;
    };

    template <typename Store> bool deliver(Store store) {
        {
            std::lock_guard guard(m_state->mutex);
            if (!m_state->resumed) {
                m_state->resumed = true;
                store(*m_state);
                m_state->changed.notify_all();
                return true;
            }
        }
        detail::reportRepeatedResume(m_state->name);
        return false;
    }

    std::shared_ptr<State> m_state;
};

} // namespace platform
