#pragma once

#include "Tandalo/core/Executor.h"

#include <atomic>
#include <memory>
#include <optional>

class QObject;

namespace desktop {
class ClockTimers;
}

namespace tandalo::app {

/// The application's main executor on the Qt event loop of the thread that made it: work runs there, from
/// the loop, one item at a time, so the model, its tasks and the desktop services share one thread. Its
/// timers follow the injected clock (desktop::ClockTimers), a virtual one in tests. Any thread may post;
/// make and destroy it on the loop's thread. Work still queued when it is destroyed is dropped.
class QtMainExecutor final : public QueuedExecutor {
public:
    /// At most this many items run in one turn of the loop.
    static constexpr int itemsPerTurn = 64;

    explicit QtMainExecutor(platform::Clock& clock);
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

private:
    void workArrived() override;
    /// Runs what is ready, then sets the one timer to the earliest deadline left. Loop thread.
    void drain();

    std::unique_ptr<QObject> m_context; // on the loop's thread: the drains are posted to it
    std::atomic<bool> m_drainPosted{false};
    std::unique_ptr<desktop::ClockTimers> m_timers; // loop thread only, as the two below
    std::uint64_t m_timer = 0;
    std::optional<platform::Clock::TimePoint> m_timerDeadline;
};

} // namespace tandalo::app
