#pragma once

#include "platform/foundation/Guarded.h"
#include "platform/foundation/Task.h"

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace tandalo::app {

/// The threads on which the Linux backings wait for blocking calls (a child process, an unmount), each
/// for one call. It owns them: destroying it asks each to stop and joins it. Any thread.
class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;
    ~WorkerThreads();

    /// Runs the work on a new thread; an exception that leaves it is logged with the name.
    void start(std::string name, std::function<void(std::stop_token)> work);
    /// Asks every thread to stop and joins it; work started afterwards runs as before.
    void stopAll();

private:
    platform::Guarded<std::vector<platform::Task>> m_threads;
};

} // namespace tandalo::app
