#pragma once

#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>

namespace platform {

/// A value and the mutex that guards it. The value can only be reached through withLock, so no code path
/// can touch it without the lock: guarded.withLock([&](auto& items) { items.push_back(x); }).
template <typename T> class Guarded {
public:
    template <typename... Args> explicit Guarded(Args&&... args) : m_value(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    /// Runs f(value) with the lock held and returns what f returns. f must not return a reference into
    /// the value (it would outlive the lock) and must not call withLock on the same object.
    template <typename F> decltype(auto) withLock(F&& f) {
        static_assert(!std::is_reference_v<std::invoke_result_t<F, T&>>,
                      "withLock must return a value: a reference would escape the lock");
        std::lock_guard guard(m_mutex);
        return std::invoke(std::forward<F>(f), m_value);
    }

    template <typename F> decltype(auto) withLock(F&& f) const {
        static_assert(!std::is_reference_v<std::invoke_result_t<F, const T&>>,
                      "withLock must return a value: a reference would escape the lock");
        std::lock_guard guard(m_mutex);
        return std::invoke(std::forward<F>(f), m_value);
    }

private:
    mutable std::mutex m_mutex; // guards m_value; held only for one withLock call
    T m_value;
};

} // namespace platform
