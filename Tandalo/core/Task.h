#pragma once

#include "Tandalo/core/Executor.h"

#include <atomic>
#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

// Tasks of the application core: C++20 coroutines that run on an Executor, so that sequential algorithms
// with waits (run a tool, sleep a second, run it again) read as sequences and never block their thread.
//
//     Task<std::string> MountManager::something(Device device) {   // arguments by value: they live
//         const auto result = co_await run(tool, arguments);      // in the frame; never capture in a
//         co_await sleep(std::chrono::seconds(1));                // lambda coroutine
//         co_return result.output;
//     }
//     TaskHandle handle = spawn(mainExecutor, something(device));   // starts on the next executor turn
//
// - A Task<T> starts when it is awaited (then it runs on the awaiting task's executor, with its
//   cancellation) or when spawn() starts it as a task of its own. Exceptions travel to the awaiter.
// - Cancellation is cooperative: TaskHandle::cancel() asks; co_await isCancelled() and the sleeps see it.
// - Every suspension resumes on the task's executor, never inline on another thread.
// - A task nobody can resume any more (its executor was destroyed with the timer or the answer it waited
//   for) is destroyed with all its frames rather than leaked; an answer that comes after its executor is
//   gone is dropped.
// - GCC 12 frees twice a lambda with captures that appears in the same expression as co_await: bind such
//   a lambda to a variable first, then co_await.
namespace tandalo::app {

template <typename T = void> class Task;

namespace detail {

/// What one spawned task shares with whoever may resume it: its executor, its cancellation and its
/// outermost frame, which it owns. Holders of a strong reference: the handles, and every queued
/// resumption (a timer, an answer on its way). The frames themselves refer to it without owning it.
class TaskContext : public std::enable_shared_from_this<TaskContext> {
public:
    TaskContext(Executor& executor, std::string name)
        : executor(executor), gate(executor.gate()), name(std::move(name)) {}
    ~TaskContext();
    TaskContext(const TaskContext&) = delete;
    TaskContext& operator=(const TaskContext&) = delete;

    /// Resumes the coroutine on the executor; the resumption holds the task alive until then, and the
    /// caller's reference goes with it, so the task never ends up destroyed on the caller's thread. Any
    /// thread.
    static void resumeLater(std::shared_ptr<TaskContext> context, std::coroutine_handle<> handle);
    /// Called when the outermost frame ends; logs an error that nobody was left to catch.
    void finish(const std::exception_ptr& error) noexcept;

    Executor& executor; // used on the executor's own thread only, where it is alive
    const std::shared_ptr<Executor::Gate> gate;
    std::stop_source stop;
    const std::string name;
    std::coroutine_handle<> root;
    std::atomic<bool> finished{false};
};

struct PromiseBase {
    TaskContext* context = nullptr;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> handle) noexcept {
            auto& promise = handle.promise();
            if (promise.continuation) {
                return promise.continuation;
            }
            // The outermost frame ends here, on the executor's thread, rather than wherever its last
            // reference happens to go.
            auto* context = promise.context;
            context->finish(promise.error);
            context->root = {};
            handle.destroy();
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    std::suspend_always initial_suspend() noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename Promise>
concept TaskPromise = std::derived_from<Promise, PromiseBase>;

template <typename T> struct ValuePromise : PromiseBase {
    std::optional<T> value;
    template <typename U> void return_value(U&& result) { value.emplace(std::forward<U>(result)); }
};

template <> struct ValuePromise<void> : PromiseBase {
    void return_void() noexcept {}
};

/// Reads the running task's context without suspending.
struct ContextAwaiter {
    TaskContext* context = nullptr;
    bool await_ready() noexcept { return false; }
    template <TaskPromise Promise> bool await_suspend(std::coroutine_handle<Promise> handle) noexcept {
        context = handle.promise().context;
        return false;
    }
};

} // namespace detail

/// A coroutine's result: lazily started, awaited once, owned (and destroyed) by whoever holds it.
template <typename T> class [[nodiscard]] Task {
public:
    struct promise_type : detail::ValuePromise<T> {
        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
    };

    Task(Task&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    /// Runs the task within the awaiting one and gives its result, or rethrows its error.
    auto operator co_await() && noexcept { return Awaiter{m_handle}; }

    /// Gives up the frame to a new owner (spawn).
    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(m_handle, {}); }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) noexcept : m_handle(handle) {}

    void reset() noexcept {
        if (m_handle) {
            m_handle.destroy();
            m_handle = {};
        }
    }

    struct Awaiter {
        std::coroutine_handle<promise_type> child;

        bool await_ready() const noexcept { return false; }
        template <detail::TaskPromise Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> parent) noexcept {
            child.promise().context = parent.promise().context;
            child.promise().continuation = parent;
            return child;
        }
        T await_resume() {
            auto& promise = child.promise();
            if (promise.error) {
                std::rethrow_exception(promise.error);
            }
            if constexpr (!std::is_void_v<T>) {
                return std::move(*promise.value);
            }
        }
    };

    std::coroutine_handle<promise_type> m_handle;
};

/// A reference to a spawned task. Dropping it neither cancels nor stops the task. Any thread.
class TaskHandle {
public:
    TaskHandle() = default;

    bool valid() const noexcept { return m_context != nullptr; }
    /// Asks the task to stop: its sleeps end at once and isCancelled() turns true.
    void cancel() const noexcept;
    bool isCancelled() const noexcept;
    bool isFinished() const noexcept;

private:
    friend TaskHandle spawn(Executor& executor, Task<void> task, std::string name);
    explicit TaskHandle(std::shared_ptr<detail::TaskContext> context) : m_context(std::move(context)) {}

    std::shared_ptr<detail::TaskContext> m_context;
};

/// Starts the task on the executor's next turn, as a task of its own with its own cancellation. An error
/// that leaves it is logged with the name. Any thread.
TaskHandle spawn(Executor& executor, Task<void> task, std::string name = "task");

/// co_await isCancelled(): whether the running task has been asked to stop.
inline auto isCancelled() noexcept {
    struct Awaiter : detail::ContextAwaiter {
        bool await_resume() const noexcept { return context->stop.stop_requested(); }
    };
    return Awaiter{};
}

/// co_await currentExecutor(): the executor the running task resumes on.
inline auto currentExecutor() noexcept {
    struct Awaiter : detail::ContextAwaiter {
        Executor& await_resume() const noexcept { return context->executor; }
    };
    return Awaiter{};
}

/// A sleep of the running task on its executor's clock. co_await gives true when the time has passed and
/// false when the task was cancelled first, which ends the sleep at once.
class SleepAwaiter {
public:
    struct State;

    SleepAwaiter(platform::Clock::Duration duration, std::optional<platform::Clock::WallTime> until)
        : m_duration(duration), m_until(until) {}
    SleepAwaiter(SleepAwaiter&&) noexcept;
    ~SleepAwaiter();

    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise Promise> bool await_suspend(std::coroutine_handle<Promise> handle) {
        return suspend(*handle.promise().context, handle);
    }
    bool await_resume() noexcept;

private:
    bool suspend(detail::TaskContext& context, std::coroutine_handle<> handle);

    platform::Clock::Duration m_duration;
    std::optional<platform::Clock::WallTime> m_until;
    std::shared_ptr<State> m_state;
    std::unique_ptr<std::stop_callback<std::function<void()>>> m_onStop;
};

/// Sleeps for the duration of continuous time (unaffected by changes of the wall clock).
inline SleepAwaiter sleep(platform::Clock::Duration duration) {
    return SleepAwaiter(duration, std::nullopt);
}

/// Sleeps until the wall clock shows the date; a wall clock that is set back makes the sleep longer.
inline SleepAwaiter sleepUntil(platform::Clock::WallTime date) {
    return SleepAwaiter(platform::Clock::Duration::zero(), date);
}

/// The error of a callback whose every copy was dropped without an answer.
class CallbackDropped : public std::logic_error {
public:
    explicit CallbackDropped(const std::string& name)
        : std::logic_error(name + " was dropped without an answer") {}
};

namespace detail {

/// Reports an answer after the first (debug builds only).
void reportRepeatedAnswer(const std::string& name);

template <typename T> struct BridgeState {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    explicit BridgeState(std::string name) : name(std::move(name)) {}

    template <typename Store> bool deliver(Store store, bool reportLateAnswer = true) {
        if (answered.exchange(true)) {
            if (reportLateAnswer) {
                reportRepeatedAnswer(name);
            }
            return false;
        }
        store();
        // The context was held only while waiting; the resumption holds it from now on.
        TaskContext::resumeLater(std::move(context), handle);
        return true;
    }

    const std::string name;
    std::atomic<bool> answered{false};
    std::optional<Value> value;
    std::exception_ptr error;
    std::shared_ptr<TaskContext> context;
    std::coroutine_handle<> handle;
};

template <typename T> struct ResumerCore {
    explicit ResumerCore(std::shared_ptr<BridgeState<T>> state) : state(std::move(state)) {}
    ~ResumerCore() {
        if (!state->answered.load()) {
            state->deliver([&] { state->error = std::make_exception_ptr(CallbackDropped(state->name)); });
        }
    }
    std::shared_ptr<BridgeState<T>> state;
};

} // namespace detail

/// The answer side of a callback that answers once: copyable, callable from any thread. The first
/// resume() or fail() of any copy resumes the awaiting task; later ones are ignored (and reported in
/// debug builds). When the last copy goes without an answer, the task resumes with CallbackDropped.
template <typename T> class Resumer {
public:
    using Value = typename detail::BridgeState<T>::Value;

    explicit Resumer(std::shared_ptr<detail::BridgeState<T>> state)
        : m_core(std::make_shared<detail::ResumerCore<T>>(std::move(state))) {}

    bool resume(Value value) const requires(!std::is_void_v<T>) {
        auto& state = *m_core->state;
        return state.deliver([&] { state.value.emplace(std::move(value)); });
    }
    bool resume() const requires std::is_void_v<T> {
        auto& state = *m_core->state;
        return state.deliver([&] { state.value.emplace(); });
    }
    bool fail(std::exception_ptr error) const {
        auto& state = *m_core->state;
        return state.deliver([&] { state.error = std::move(error); });
    }
    /// For sources that race on purpose (a result and a time limit): answers unless another source
    /// already did, and a late answer is not reported.
    bool resumeIfFirst(Value value) const requires(!std::is_void_v<T>) {
        auto& state = *m_core->state;
        return state.deliver([&] { state.value.emplace(std::move(value)); }, false);
    }

private:
    std::shared_ptr<detail::ResumerCore<T>> m_core;
};

/// The awaiter of callback().
template <typename T, typename Start> class CallbackAwaiter {
public:
    CallbackAwaiter(Start start, std::string name)
        : m_start(std::move(start)), m_state(std::make_shared<detail::BridgeState<T>>(std::move(name))) {}

    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise Promise> void await_suspend(std::coroutine_handle<Promise> handle) {
        m_state->context = handle.promise().context->shared_from_this();
        m_state->handle = handle;
        // This copy outlives the call, so an exception from start is the answer, not the dropped copies.
        Resumer<T> resumer(m_state);
        try {
            m_start(resumer);
        } catch (...) {
            m_state->deliver([&] { m_state->error = std::current_exception(); });
        }
    }
    T await_resume() {
        if (m_state->error) {
            std::rethrow_exception(m_state->error);
        }
        if constexpr (!std::is_void_v<T>) {
            return std::move(*m_state->value);
        }
    }

private:
    Start m_start;
    std::shared_ptr<detail::BridgeState<T>> m_state;
};

/// co_await callback<T>(start): bridges an operation that answers once through a callback. start(resumer)
/// is called while the task suspends; the task resumes on its executor with the first answer. An
/// exception thrown by start is the awaited error. Cancelling the task does not end the wait.
template <typename T, typename Start>
CallbackAwaiter<T, Start> callback(Start start, std::string name = "callback") {
    return CallbackAwaiter<T, Start>(std::move(start), std::move(name));
}

} // namespace tandalo::app
