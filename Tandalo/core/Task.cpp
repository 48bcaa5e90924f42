#include "Tandalo/core/Task.h"

#include "platform/foundation/Logger.h"

#include <algorithm>

namespace tandalo::app {

namespace {

oslog::Logger taskLog() {
    return oslog::Logger("com.brenwick.Tandalo", "task");
}

} // namespace

namespace detail {

TaskContext::~TaskContext() {
    // Destroying the outermost frame destroys the frames it awaits, wherever they are suspended.
    if (root) {
        root.destroy();
    }
}

void TaskContext::resumeLater(std::shared_ptr<TaskContext> context, std::coroutine_handle<> handle) {
    const auto gate = context->gate;
    gate->post([context = std::move(context), handle] { handle.resume(); });
}

void TaskContext::finish(const std::exception_ptr& error) noexcept {
    finished.store(true);
    if (!error) {
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& thrown) {
        taskLog().error("task %{public}s ended with an error: %{public}s", name, thrown.what());
    } catch (...) {
        taskLog().error("task %{public}s ended with an unknown error", name);
    }
}

void reportRepeatedAnswer([[maybe_unused]] const std::string& name) {
#ifndef NDEBUG
    taskLog().fault("%{public}s answered more than once; the later answer was ignored", name);
#endif
}

} // namespace detail

void TaskHandle::cancel() const noexcept {
    if (m_context) {
        m_context->stop.request_stop();
    }
}

bool TaskHandle::isCancelled() const noexcept {
    return m_context && m_context->stop.stop_requested();
}

bool TaskHandle::isFinished() const noexcept {
    return m_context && m_context->finished.load();
}

TaskHandle spawn(Executor& executor, Task<void> task, std::string name) {
    auto context = std::make_shared<detail::TaskContext>(executor, std::move(name));
    const auto handle = task.release();
    handle.promise().context = context.get();
    context->root = handle;
    TaskHandle started(context);
    detail::TaskContext::resumeLater(std::move(context), handle);
    return started;
}

/// What a sleep shares with its timer and its stop callback, whichever comes first.
struct SleepAwaiter::State {
    std::atomic<bool> done{false};
    bool completed = false;
    Executor::TimerID timer = 0; // read and written on the executor's thread only
    std::coroutine_handle<> handle;
    std::optional<platform::Clock::WallTime> until;
};

namespace {

void armTimer(const std::shared_ptr<detail::TaskContext>& context,
              const std::shared_ptr<SleepAwaiter::State>& state, platform::Clock::Duration duration) {
    auto& executor = context->executor;
    const auto deadline = executor.clock().deadlineAfter(duration);
    state->timer = executor.postAt(deadline, [context, state] {
        if (state->done.load()) {
            return;
        }
        // A wall clock set back since the timer was armed: the date is still ahead.
        if (state->until) {
            const auto left = *state->until - context->executor.clock().wallNow();
            if (left > platform::Clock::WallTime::duration::zero()) {
                armTimer(context, state, std::chrono::duration_cast<platform::Clock::Duration>(left));
                return;
            }
        }
        if (!state->done.exchange(true)) {
            state->completed = true;
            state->handle.resume();
        }
    });
}

} // namespace

SleepAwaiter::SleepAwaiter(SleepAwaiter&&) noexcept = default;
SleepAwaiter::~SleepAwaiter() = default;

bool SleepAwaiter::suspend(detail::TaskContext& context, std::coroutine_handle<> handle) {
    if (context.stop.stop_requested()) {
        return false; // await_resume answers false: no state, nothing completed
    }
    auto shared = context.shared_from_this();
    m_state = std::make_shared<State>();
    m_state->handle = handle;
    m_state->until = m_until;
    auto duration = m_duration;
    if (m_until) {
        const auto left = *m_until - context.executor.clock().wallNow();
        duration = std::max(std::chrono::duration_cast<platform::Clock::Duration>(left),
                            platform::Clock::Duration::zero());
    }
    armTimer(shared, m_state, duration);
    // The callback lives in the frame, so it holds the task weakly; the resumption it posts holds it.
    std::weak_ptr<detail::TaskContext> weak = shared;
    m_onStop = std::make_unique<std::stop_callback<std::function<void()>>>(
        context.stop.get_token(), std::function<void()>([weak, state = m_state] {
            auto context = weak.lock();
            if (!context) {
                return;
            }
            const auto gate = context->gate;
            gate->post([context = std::move(context), state] {
                if (!state->done.exchange(true)) {
                    context->executor.cancelTimer(state->timer);
                    state->handle.resume();
                }
            });
        }));
    return true;
}

bool SleepAwaiter::await_resume() noexcept {
    m_onStop.reset();
    return m_state && m_state->completed;
}

} // namespace tandalo::app
