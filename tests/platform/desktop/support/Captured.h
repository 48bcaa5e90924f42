#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace desktop::testing {

/// Where the one answer of a completion lands: callback() makes the completion, which fails the test
/// when it is called twice. Copies share the answer, so a completion may outlive the test's scope.
template <typename T> class Captured {
public:
    std::function<void(T)> callback() const {
        return [state = m_state](T value) {
            EXPECT_FALSE(state->has_value()) << "a completion was called twice";
            state->emplace(std::move(value));
        };
    }
    bool arrived() const { return m_state->has_value(); }
    const T& operator*() const { return **m_state; }
    const T* operator->() const { return &**m_state; }

private:
    std::shared_ptr<std::optional<T>> m_state = std::make_shared<std::optional<T>>();
};

} // namespace desktop::testing
