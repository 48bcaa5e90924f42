#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace iokit {

class RunLoopSource;

/// A run loop of our own, in place of the platform's: a queue of work that one thread runs until it is
/// told to stop. Notification ports deliver their callbacks through it, so callbacks run on the thread
/// that runs the loop. Owns its queued work.
///
/// Unlike the platform's loop, a stop that arrives before run() is entered is kept and ends the next
/// run() at once: a watcher thread that is stopped just as it starts can never be left running.
class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
    /// The calling thread's loop (CFRunLoopGetCurrent), created on first use.
    static std::shared_ptr<RunLoop> current();
    /// A loop that no thread has yet; whichever thread calls run() runs its work.
    static std::shared_ptr<RunLoop> create();

    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    /// Runs queued work until stop() (CFRunLoopRun). Blocks. Work that throws is dropped, so one bad
    /// callback cannot end the loop.
    void run();
    /// Ends run() once the work in progress returns (CFRunLoopStop). Any thread.
    void stop();
    /// Runs the work queued now, without waiting for more, and returns how much ran. For tests that
    /// drive a loop from their own thread.
    std::size_t runPending();
    /// Queues work and wakes the loop (CFRunLoopPerformBlock and CFRunLoopWakeUp). Any thread.
    void perform(std::function<void()> work);
    /// Schedules a source on this loop (CFRunLoopAddSource): its signalled work runs here from now on.
    void addSource(const std::shared_ptr<RunLoopSource>& source);
    /// Unschedules it (CFRunLoopRemoveSource); its later work waits until it is scheduled again.
    void removeSource(const std::shared_ptr<RunLoopSource>& source);
    /// True while a thread is inside run().
    bool isRunning() const;

private:
    RunLoop() = default;

    mutable std::mutex m_mutex; // guards the fields below; never held while work runs
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopRequested = false;
    bool m_running = false;
};

/// Something that produces work for a run loop: a notification port's source. Work signalled while the
/// source is on no loop waits, in order, until it is added to one.
class RunLoopSource {
public:
    /// Takes work and runs it later on a thread of its own choosing, in the order given; called from
    /// any thread, never while it runs work of this source.
    using Queue = std::function<void(std::function<void()>)>;

    void signal(std::function<void()> work);
    /// Drops the waiting work and leaves the loop for good (the port was destroyed).
    void invalidate();
    /// Hands the signalled work to the queue from now on, instead of a run loop (a port's dispatch queue).
    void dispatchTo(Queue queue);

private:
    friend class RunLoop;
    void schedule(const std::shared_ptr<RunLoop>& loop);
    void unschedule(const RunLoop* loop);

    std::mutex m_mutex; // guards the fields below; taken before a RunLoop's own mutex and held across
                        // the queue's call, so the work keeps its order
    std::weak_ptr<RunLoop> m_loop;
    Queue m_queue;
    std::deque<std::function<void()>> m_waiting;
    bool m_valid = true;
};

} // namespace iokit
