#include "Tandalo/desktop/QtMainExecutor.h"

#include "platform/desktop/ClockTimers.h"

#include <QObject>

#include <algorithm>

namespace tandalo::app {

QtMainExecutor::QtMainExecutor(platform::Clock& clock)
    : QueuedExecutor(clock), m_context(std::make_unique<QObject>()),
      m_timers(std::make_unique<desktop::ClockTimers>(clock)) {}

QtMainExecutor::~QtMainExecutor() {
    closeGate();
    m_timers.reset();
    // Drains still posted to the context are dropped with it.
    m_context.reset();
    discardAll();
}

void QtMainExecutor::workArrived() {
    // One drain at a time is posted: it takes everything that arrived until it runs.
    if (!m_drainPosted.exchange(true)) {
        QMetaObject::invokeMethod(
            m_context.get(), [this] { drain(); }, Qt::QueuedConnection);
    }
}

void QtMainExecutor::drain() {
    m_drainPosted = false;
    // A bounded turn: a busy core never starves the windows' events. What is left posts the next turn.
    for (int ran = 0; ran < itemsPerTurn; ++ran) {
        auto work = takeNext();
        if (!work) {
            break;
        }
        (*work)();
        if (ran + 1 == itemsPerTurn) {
            workArrived();
            return;
        }
    }
    const auto deadline = nextDeadline();
    if (deadline == m_timerDeadline) {
        return;
    }
    if (m_timer != 0) {
        m_timers->cancel(m_timer);
        m_timer = 0;
    }
    m_timerDeadline = deadline;
    if (deadline) {
        const auto delay = std::max(*deadline - clock().now(), platform::Clock::Duration::zero());
        m_timer = m_timers->start(delay, [this] {
            m_timer = 0;
            m_timerDeadline.reset();
            drain();
        });
    }
}

} // namespace tandalo::app
