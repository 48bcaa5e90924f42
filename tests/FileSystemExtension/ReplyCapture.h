#pragma once

// Replies for calling a volume's or file system's operations directly from a test: the test keeps the
// capture, hands out its reply, and waits (in real time, bounded) for the answer.

#include "platform/fskit/FSReply.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

namespace tandalo::testing {

/// Counts the reply faults (a second reply, no reply at all) of every capture.
inline std::atomic<int>& replyFaults() {
    static std::atomic<int> faults{0};
    return faults;
}

/// Waits (in real time, at most the limit) until the condition holds, for effects that other threads
/// bring about with no reply to wait for: a poll, a log line. Returns the condition's last value.
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

template <typename... Args> class ReplyCapture {
public:
    explicit ReplyCapture(std::string operation = "operation")
        : m_promise(std::make_shared<std::promise<std::tuple<Args...>>>()), m_future(m_promise->get_future()),
          m_reply(
              std::move(operation),
              [promise = m_promise](Args... args) { promise->set_value({std::move(args)...}); },
              [](const fskit::ReplyFault&) { ++replyFaults(); }) {}

    const fskit::Reply<Args...>& reply() const { return m_reply; }
    bool isReady() const { return m_future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
    /// The answer; fails the test (and returns nothing) when none came within the limit.
    std::optional<std::tuple<Args...>> wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
        if (m_future.wait_for(limit) != std::future_status::ready) {
            ADD_FAILURE() << "no reply within " << limit.count() << " s";
            return std::nullopt;
        }
        return m_future.get();
    }

private:
    std::shared_ptr<std::promise<std::tuple<Args...>>> m_promise;
    std::future<std::tuple<Args...>> m_future;
    fskit::Reply<Args...> m_reply;
};

} // namespace tandalo::testing
