#include "platform/updates/Timers.h"

#include <QTimer>

#include <algorithm>
#include <limits>

namespace updates {
namespace {

class QtTimer final : public Timer {
public:
    QtTimer(std::chrono::milliseconds delay, std::function<void()> action) {
        m_timer.setSingleShot(true);
        // QTimer counts in int milliseconds; the framework never asks for more than a few hours, and a
        // longer delay is shortened rather than wrapped around.
        const auto limit = std::chrono::milliseconds(std::numeric_limits<int>::max());
        m_timer.setInterval(std::clamp(delay, std::chrono::milliseconds(0), limit));
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(action));
        m_timer.start();
    }

private:
    QTimer m_timer;
};

class QtTimers final : public Timers {
public:
    std::unique_ptr<Timer> startTimer(std::chrono::milliseconds delay,
                                      std::function<void()> action) override {
        return std::make_unique<QtTimer>(delay, std::move(action));
    }
};

} // namespace

Timers& Timers::qt() {
    static QtTimers timers;
    return timers;
}

} // namespace updates
