#pragma once

#include "Tandalo/core/Executor.h"
#include "platform/desktop/ClockTimers.h"

#include <atomic>
#include <memory>
#include <optional>

class QObject;

namespace tandalo::ui {

/// The application core's main executor: its work runs on the Qt main thread, between the events of the
/// event loop, and its timers fire on the injected clock through desktop::ClockTimers. Work may be posted
/// from any thread; create and destroy it on the main thread, with a QCoreApplication running there.
/// Destroying it drops what is still queued.
class QtMainExecutor final : public app::QueuedExecutor {
public:
    /// At most this many items run in one turn, so that a busy core never starves the windows' events.
    static constexpr int itemsPerTurn = 64;

    explicit QtMainExecutor(platform::Clock& clock);
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    /// Timers on the same clock for the windows (battery refresh, menus); main thread only.
    desktop::ClockTimers& timers() { return m_timers; }

private:
    void workArrived() override;
    void drain();
    void armTimer();

    std::unique_ptr<QObject> m_context; // the main thread's receiver of the queued turns
    desktop::ClockTimers m_timers;
    std::atomic<bool> m_turnQueued{false};
    std::optional<platform::Clock::TimePoint> m_armedDeadline; // main thread only
    desktop::ClockTimers::Id m_armedTimer = 0;                 // main thread only
};

} // namespace tandalo::ui
