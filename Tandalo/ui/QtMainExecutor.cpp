#include "Tandalo/ui/QtMainExecutor.h"

#include <QObject>

namespace tandalo::ui {

QtMainExecutor::QtMainExecutor(platform::Clock& clock)
    : QueuedExecutor(clock), m_context(std::make_unique<QObject>()), m_timers(clock) {}

QtMainExecutor::~QtMainExecutor() {
    closeGate();
    // The queued turns die with their receiver; the timers' worker stops with m_timers.
    m_context.reset();
    discardAll();
}

void QtMainExecutor::workArrived() {
    // One turn queued at a time: a burst of posts from a task costs one event, not one each.
    if (m_turnQueued.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        m_context.get(), [this] { drain(); }, Qt::QueuedConnection);
}

void QtMainExecutor::drain() {
    // Cleared before running, so work posted by the work itself queues the next turn.
    m_turnQueued = false;
    for (int ran = 0; ran < itemsPerTurn; ++ran) {
        auto work = takeNext();
        if (!work) {
            armTimer();
            return;
        }
        (*work)();
    }
    workArrived();
}

void QtMainExecutor::armTimer() {
    const auto deadline = nextDeadline();
    if (deadline == m_armedDeadline) {
        return;
    }
    if (m_armedDeadline) {
        m_timers.cancel(m_armedTimer);
    }
    m_armedDeadline = deadline;
    if (deadline) {
        const auto delay = std::max(*deadline - clock().now(), platform::Clock::Duration::zero());
        m_armedTimer = m_timers.start(delay, [this] {
            m_armedDeadline.reset();
            drain();
        });
    }
}

} // namespace tandalo::ui
