#pragma once

#include "platform/foundation/Clock.h"
#include "platform/updates/Timers.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace updates::testing {

/// Timers that fire only when the test moves time forward, together with the virtual clock the service
/// reads its dates from.
class ManualTimers final : public Timers {
public:
    explicit ManualTimers(platform::VirtualClock& clock) : m_clock(clock) {}

    std::unique_ptr<Timer> startTimer(std::chrono::milliseconds delay,
                                      std::function<void()> action) override {
        auto entry = std::make_shared<Entry>(Entry{m_clock.now() + delay, std::move(action), m_started++});
        m_entries.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    /// Moves time forward by duration, running every timer that falls due, in order, at its own time.
    void advance(platform::Clock::Duration duration) {
        const auto target = m_clock.now() + duration;
        while (true) {
            std::erase_if(m_entries, [](const auto& entry) { return entry.use_count() == 1; });
            const auto next =
                std::min_element(m_entries.begin(), m_entries.end(), [](const auto& a, const auto& b) {
                    return a->deadline != b->deadline ? a->deadline < b->deadline : a->order < b->order;
                });
            if (next == m_entries.end() || (*next)->deadline > target) {
                break;
            }
            const auto entry = *next;
            m_entries.erase(next);
            m_clock.advance(entry->deadline - m_clock.now());
            entry->action();
        }
        m_clock.advance(target - m_clock.now());
    }

private:
    struct Entry {
        platform::Clock::TimePoint deadline;
        std::function<void()> action;
        unsigned order;
    };
    // The handle shares the entry; once the handle is gone the entry is cancelled and dropped.
    struct Handle final : Timer {
        explicit Handle(std::shared_ptr<Entry> entry) : entry(std::move(entry)) {}
        std::shared_ptr<Entry> entry;
    };

    platform::VirtualClock& m_clock;
    std::vector<std::shared_ptr<Entry>> m_entries;
    unsigned m_started = 0;
};

} // namespace updates::testing
