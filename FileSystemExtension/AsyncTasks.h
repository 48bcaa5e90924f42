#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace tandalo {

/// The asynchronous tasks of one owner (the file system's loads and unloads, a volume's operations):
/// each task runs on a thread of its own and ends when its body returns. The owner waits for them when it
/// goes, so no task outlives what it works on. It owns the threads.
///
/// A task may hold its owner strongly (a volume operation keeps its volume alive until it has replied);
/// when such a task lets go of the last reference, the owner and its AsyncTasks end on that task's
/// thread, which then finishes on its own. Any thread may call any member.
class AsyncTasks {
public:
    using Body = std::function<void(std::stop_token)>;

    /// name appears in the log line of a body that throws.
    explicit AsyncTasks(std::string name, oslog::Logger log);
    /// Requests every task to stop and waits for them all, except the calling task itself.
    ~AsyncTasks();
    AsyncTasks(const AsyncTasks&) = delete;
    AsyncTasks& operator=(const AsyncTasks&) = delete;

    /// Starts body on a new thread and returns at once. The stop token is requested when the owner goes.
    /// The body must reply to its caller itself; an exception that escapes it is logged and dropped.
    void start(Body body);
    /// Requests every task started so far, and every later one, to stop; returns at once.
    void requestStop();
    /// Blocks until every task started so far has ended. Not from inside a task.
    void waitAll();
    /// The same, for at most limit on the clock; returns whether they all ended.
    bool waitAll(platform::Clock& clock, platform::Clock::Duration limit);
    /// Tasks started and not yet ended.
    std::size_t activeCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace tandalo
