#include "Tandalo/core/WorkerThreads.h"

#include <algorithm>
#include <utility>

namespace tandalo::app {

WorkerThreads::~WorkerThreads() {
    stopAll();
}

void WorkerThreads::stopAll() {
    // Joined outside the lock: a thread that ends may still be on its way out of start().
    auto threads = m_threads.withLock([](auto& running) { return std::exchange(running, {}); });
    threads.clear();
}

void WorkerThreads::start(std::string name, std::function<void(std::stop_token)> work) {
    auto thread = platform::Task::start(std::move(name), std::move(work),
                                        oslog::Logger("com.brenwick.Tandalo", "worker"));
    std::vector<platform::Task> finished;
    m_threads.withLock([&](auto& running) {
        const auto ended = std::stable_partition(
            running.begin(), running.end(), [](const platform::Task& task) { return !task.isFinished(); });
        finished.assign(std::make_move_iterator(ended), std::make_move_iterator(running.end()));
        running.erase(ended, running.end());
        running.push_back(std::move(thread));
        return 0;
    });
}

} // namespace tandalo::app
