#include "platform/foundation/Task.h"

#include "platform/foundation/FoundationError.h"

#include <atomic>
#include <exception>

namespace platform {

/// What the thread shares with its handle: it outlives a handle that was detached from inside the body.
struct Task::State {
    State(std::string name, oslog::Logger log) : name(std::move(name)), log(std::move(log)) {}
    const std::string name;
    const oslog::Logger log;
    std::atomic<bool> finished{false};
};

oslog::Logger Task::defaultLogger() {
    return oslog::Logger("platform", "task");
}

Task Task::start(std::string name, Body body, oslog::Logger log) {
    Task task;
    task.m_state = std::make_shared<State>(std::move(name), std::move(log));
    // The thread holds the state and the body, never the handle, which may move or go away first.
    task.m_thread = std::jthread([state = task.m_state, body = std::move(body)](std::stop_token stop) {
        try {
            body(stop);
        } catch (const std::exception& error) {
            state->log.error("task %{public}s ended with an error: %{public}s", state->name, error.what());
        } catch (...) {
            state->log.error("task %{public}s ended with an unknown error", state->name);
        }
        state->finished.store(true);
    });
    return task;
}

Task& Task::operator=(Task&& other) noexcept {
    if (this != &other) {
        release();
        m_thread = std::move(other.m_thread);
        m_state = std::move(other.m_state);
    }
    return *this;
}

Task::~Task() {
    release();
}

void Task::release() noexcept {
    if (!m_thread.joinable()) {
        return;
    }
    m_thread.request_stop();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

void Task::cancel() noexcept {
    m_thread.request_stop();
}

bool Task::isCancelled() const noexcept {
    return m_thread.get_stop_token().stop_requested();
}

bool Task::isFinished() const noexcept {
    return m_state && m_state->finished.load();
}

void Task::wait() {
    if (!m_thread.joinable()) {
        return;
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        throw FoundationError("task " + m_state->name + " cannot wait for itself");
    }
    m_thread.join();
}

} // namespace platform
