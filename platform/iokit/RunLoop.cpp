#include "platform/iokit/RunLoop.h"

#include <exception>
#include <utility>

namespace iokit {

std::shared_ptr<RunLoop> RunLoop::current() {
    thread_local std::shared_ptr<RunLoop> loop = create();
    return loop;
}

std::shared_ptr<RunLoop> RunLoop::create() {
    return std::shared_ptr<RunLoop>(new RunLoop());
}

RunLoop::~RunLoop() = default;

void RunLoop::run() {
    std::unique_lock lock(m_mutex);
    m_running = true;
    while (true) {
        m_wake.wait(lock, [&] { return m_stopRequested || !m_work.empty(); });
        if (m_stopRequested) {
            break;
        }
        auto work = std::move(m_work.front());
        m_work.pop_front();
        lock.unlock();
        try {
            work();
        } catch (const std::exception&) {
            // A callback's failure is its own; the loop goes on serving the others.
        }
        lock.lock();
    }
    m_stopRequested = false;
    m_running = false;
}

void RunLoop::stop() {
    std::lock_guard guard(m_mutex);
    m_stopRequested = true;
    m_wake.notify_all();
}

std::size_t RunLoop::runPending() {
    std::deque<std::function<void()>> work;
    {
        std::lock_guard guard(m_mutex);
        work.swap(m_work);
    }
    for (auto& each : work) {
        try {
            each();
        } catch (const std::exception&) {
            // As in run().
        }
    }
    return work.size();
}

void RunLoop::perform(std::function<void()> work) {
    std::lock_guard guard(m_mutex);
    m_work.push_back(std::move(work));
    m_wake.notify_all();
}

bool RunLoop::isRunning() const {
    std::lock_guard guard(m_mutex);
    return m_running;
}

void RunLoop::addSource(const std::shared_ptr<RunLoopSource>& source) {
    if (source) {
        source->schedule(shared_from_this());
    }
}

void RunLoop::removeSource(const std::shared_ptr<RunLoopSource>& source) {
    if (source) {
        source->unschedule(this);
    }
}

void RunLoopSource::signal(std::function<void()> work) {
    std::lock_guard guard(m_mutex);
    if (!m_valid) {
        return;
    }
    if (m_queue) {
        m_queue(std::move(work));
    } else if (const auto loop = m_loop.lock()) {
        loop->perform(std::move(work));
    } else {
        m_waiting.push_back(std::move(work));
    }
}

void RunLoopSource::invalidate() {
    Queue queue; // let go outside the lock: it may own what its owner's destruction needs
    std::lock_guard guard(m_mutex);
    m_valid = false;
    m_loop.reset();
    queue = std::move(m_queue);
    m_queue = nullptr;
    m_waiting.clear();
}

void RunLoopSource::dispatchTo(Queue queue) {
    std::lock_guard guard(m_mutex);
    if (!m_valid || !queue) {
        return;
    }
    m_loop.reset();
    m_queue = std::move(queue);
    while (!m_waiting.empty()) {
        m_queue(std::move(m_waiting.front()));
        m_waiting.pop_front();
    }
}

void RunLoopSource::schedule(const std::shared_ptr<RunLoop>& loop) {
    std::lock_guard guard(m_mutex);
    if (!m_valid) {
        return;
    }
    m_queue = nullptr;
    m_loop = loop;
    while (!m_waiting.empty()) {
        loop->perform(std::move(m_waiting.front()));
        m_waiting.pop_front();
    }
}

void RunLoopSource::unschedule(const RunLoop* loop) {
    std::lock_guard guard(m_mutex);
    if (m_loop.lock().get() == loop) {
        m_loop.reset();
    }
}

} // namespace iokit
