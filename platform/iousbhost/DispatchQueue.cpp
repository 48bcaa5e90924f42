#include "platform/iousbhost/DispatchQueue.h"

#include <exception>
#include <stop_token>
#include <utility>

namespace iousbhost {

struct DispatchQueue::State {
    std::mutex mutex; // guards work; never held while an item runs
    std::condition_variable_any changed;
    std::deque<std::function<void()>> work;
};

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label) {
    auto state = std::make_shared<State>();
    std::shared_ptr<DispatchQueue> queue(new DispatchQueue(state));
    queue->m_task = platform::Task::start(std::move(label), [state](std::stop_token stop) {
        std::unique_lock lock(state->mutex);
        while (true) {
            state->changed.wait(lock, stop, [&] { return !state->work.empty(); });
            if (stop.stop_requested()) {
                return;
            }
            auto next = std::move(state->work.front());
            state->work.pop_front();
            lock.unlock();
            try {
                next();
            } catch (const std::exception&) {
                // One item's failure is its own; the queue serves the next.
            }
            lock.lock();
        }
    });
    return queue;
}

DispatchQueue::DispatchQueue(std::shared_ptr<State> state) : m_state(std::move(state)) {}

DispatchQueue::~DispatchQueue() = default;

void DispatchQueue::async(std::function<void()> work) {
    std::lock_guard guard(m_state->mutex);
    m_state->work.push_back(std::move(work));
    m_state->changed.notify_all();
}

} // namespace iousbhost
