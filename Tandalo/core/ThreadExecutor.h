#pragma once

#include "Tandalo/core/Executor.h"

#include <condition_variable>
#include <string>
#include <thread>

namespace tandalo::app {

/// An executor with a thread of its own, for work that must go on while the main thread waits (the
/// unmounts before sleep and at quit). Its timers wait through the clock, so a virtual clock drives them
/// in tests. Destroying it stops the thread after the item that runs and drops what is still queued.
class ThreadExecutor final : public QueuedExecutor {
public:
    explicit ThreadExecutor(platform::Clock& clock);
    ~ThreadExecutor() override;
    ThreadExecutor(const ThreadExecutor&) = delete;
    ThreadExecutor& operator=(const ThreadExecutor&) = delete;

private:
    void workArrived() override;
    void run(std::stop_token stop);

    std::condition_variable_any m_changed; // notified by workArrived() after it counts m_arrivals
    std::uint64_t m_arrivals = 0;          // guarded by m_mutex: a new timer may move the next deadline
    std::jthread m_thread;                 // last: started once everything above exists
};

} // namespace tandalo::app
