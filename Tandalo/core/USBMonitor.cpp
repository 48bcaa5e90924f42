#include "Tandalo/core/USBMonitor.h"

#include "Tandalo/core/Executor.h"

namespace tandalo::app {

USBMonitor::USBMonitor(Executor& executor, USBDiscovery& discovery, USBInterfaceEvents& events)
    : m_executor(executor), m_discovery(discovery), m_events(events) {}

USBMonitor::~USBMonitor() {
    m_self.reset();
    m_armed.reset();
}

void USBMonitor::start() {
    if (m_armed) {
        return;
    }
    m_armed = m_events.arm(m_executor, [weak = std::weak_ptr(m_self)] {
        if (const auto self = weak.lock()) {
            (*self)->scheduleRefresh();
        }
    });
    if (!m_armed) {
        return;
    }
    // The devices attached before start have no report of their own.
    scheduleRefresh();
}

void USBMonitor::scheduleRefresh() {
    m_executor.postAt(m_executor.clock().deadlineAfter(refreshDelay), [weak = std::weak_ptr(m_self)] {
        if (const auto self = weak.lock()) {
            (*self)->refresh();
        }
    });
}

void USBMonitor::refresh() {
    if (auto found = m_discovery.findMTPInterfaces(); found != devices.get()) {
        devices.set(std::move(found));
    }
    if (auto waiting = m_discovery.findAndroidCandidatesWithoutMTP(); waiting != candidates.get()) {
        candidates.set(std::move(waiting));
    }
}

} // namespace tandalo::app
