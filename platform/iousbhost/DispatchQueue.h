#pragma once

#include "platform/foundation/Task.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace iousbhost {

/// A serial queue with a thread of its own, in place of a dispatch queue: work runs in order, one item at a
/// time, on that thread. Owns the thread; destroying the queue drops the work not yet started and joins
/// the thread (or lets it end by itself when the queue is destroyed from its own work).
class DispatchQueue {
public:
    static std::shared_ptr<DispatchQueue> create(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    /// Queues work. Any thread; never blocks beyond a short internal lock. Work that throws is dropped.
    void async(std::function<void()> work);

private:
    struct State;
    explicit DispatchQueue(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
    platform::Task m_task; // last: started after, and ended before, the state above
};

} // namespace iousbhost
