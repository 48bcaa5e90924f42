#pragma once

#include "platform/foundation/Logger.h"

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

namespace platform {

/// A background task on its own thread. It is cancelled through the stop token that its body receives,
/// and it is cancelled and joined when its owner destroys it. It owns its thread.
/// No exception leaves the body: one that does is caught and logged, and the task ends.
class Task {
public:
    using Body = std::function<void(std::stop_token)>;

    /// An empty handle, holding no thread.
    Task() noexcept = default;
    /// Starts body on a new thread. Errors that escape the body are logged to `log` with the task's name.
    static Task start(std::string name, Body body, oslog::Logger log = defaultLogger());

    Task(Task&& other) noexcept = default;
    /// Cancels and joins the task this handle held, then takes the other's.
    Task& operator=(Task&& other) noexcept;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    /// Cancels and joins. When the last owner lets go from inside the task's own body, the thread is
    /// detached instead: it cannot join itself, and it is about to end anyway.
    ~Task();

    bool valid() const noexcept { return m_thread.joinable(); }
    /// Requests cancellation; the body sees it through its stop token. Any thread; never blocks.
    void cancel() noexcept;
    bool isCancelled() const noexcept;
    /// Whether the body has returned (or thrown).
    bool isFinished() const noexcept;
    /// Blocks until the body has ended. Throws FoundationError when called from the task's own thread.
    void wait();

    static oslog::Logger defaultLogger();

private:
    struct State;

    void release() noexcept;

    std::jthread m_thread;
    std::shared_ptr<State> m_state;
};

} // namespace platform
