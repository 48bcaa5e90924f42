#include "FileSystemExtension/AsyncTasks.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tandalo {

/// Shared by the owner and every task thread, so a thread that outlives the owner still has somewhere to
/// finish its bookkeeping.
struct AsyncTasks::State {
    State(std::string nameIn, oslog::Logger logIn) : name(std::move(nameIn)), log(std::move(logIn)) {}

    const std::string name;
    const oslog::Logger log;
    std::stop_source stop;

    std::mutex mutex; // guards the fields below; never held across a body or a join
    std::condition_variable_any ended;
    std::uint64_t nextTask = 0;
    std::map<std::uint64_t, std::thread> running; // started, bookkeeping not done yet
    std::vector<std::thread> finished;            // done, waiting to be joined
    std::size_t active = 0;
    bool closed = false; // the owner has gone
};

AsyncTasks::AsyncTasks(std::string name, oslog::Logger log)
    : m_state(std::make_shared<State>(std::move(name), std::move(log))) {}

AsyncTasks::~AsyncTasks() {
    std::vector<std::thread> toJoin;
    {
        std::lock_guard guard(m_state->mutex);
        m_state->closed = true;
        m_state->stop.request_stop();
        toJoin = std::move(m_state->finished);
        for (auto entry = m_state->running.begin(); entry != m_state->running.end();) {
            // The task that let go of the owner cannot join itself; it detaches itself when it ends.
            if (entry->second.get_id() == std::this_thread::get_id()) {
                ++entry;
                continue;
            }
            toJoin.push_back(std::move(entry->second));
            entry = m_state->running.erase(entry);
        }
    }
    for (auto& thread : toJoin) {
        thread.join();
    }
}

void AsyncTasks::start(Body body) {
    std::vector<std::thread> reaped;
    {
        std::lock_guard guard(m_state->mutex);
        reaped = std::move(m_state->finished);
        m_state->finished.clear();
        const auto task = m_state->nextTask++;
        ++m_state->active;
        // Made under the lock, so the thread's own bookkeeping, which takes the lock, finds its entry.
        m_state->running.emplace(
            task, std::thread([state = m_state, task, body = std::move(body)]() mutable {
                try {
                    body(state->stop.get_token());
                } catch (const std::exception& error) {
                    state->log.error("task of %{public}s ended with an error: %{public}s", state->name,
                                     error.what());
                } catch (...) {
                    state->log.error("task of %{public}s ended with an unknown error", state->name);
                }
                // What the body captured (often its owner) goes now, before the bookkeeping, so that an
                // owner released here ends while this thread is still a running task.
                body = nullptr;
                std::lock_guard guard(state->mutex);
                --state->active;
                if (const auto entry = state->running.find(task); entry != state->running.end()) {
                    if (state->closed) {
                        entry->second.detach();
                    } else {
                        state->finished.push_back(std::move(entry->second));
                    }
                    state->running.erase(entry);
                }
                state->ended.notify_all();
            }));
    }
    for (auto& thread : reaped) {
        thread.join();
    }
}

void AsyncTasks::requestStop() {
    m_state->stop.request_stop();
}

void AsyncTasks::waitAll() {
    std::vector<std::thread> reaped;
    {
        std::unique_lock lock(m_state->mutex);
        m_state->ended.wait(lock, [&] { return m_state->active == 0; });
        reaped = std::move(m_state->finished);
        m_state->finished.clear();
    }
    for (auto& thread : reaped) {
        thread.join();
    }
}

bool AsyncTasks::waitAll(platform::Clock& clock, platform::Clock::Duration limit) {
    std::vector<std::thread> reaped;
    {
        std::unique_lock lock(m_state->mutex);
        if (!clock.waitFor(lock, m_state->ended, limit, {}, [&] { return m_state->active == 0; })) {
            return false;
        }
        reaped = std::move(m_state->finished);
        m_state->finished.clear();
    }
    for (auto& thread : reaped) {
        thread.join();
    }
    return true;
}

std::size_t AsyncTasks::activeCount() const {
    std::lock_guard guard(m_state->mutex);
    return m_state->active;
}

} // namespace tandalo
