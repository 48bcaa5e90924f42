#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/Published.h"
#include "Tandalo/core/USBDiscovery.h"
#include "Tandalo/core/USBInterfaceEvents.h"

#include <chrono>
#include <memory>
#include <vector>

namespace tandalo::app {

class Executor;

/// The application's only watcher of the USB bus: half a second after every report that an interface was
/// added or removed, it lists the bus again and publishes the MTP interfaces and the charge-only Android
/// devices attached, each list only when it changed. An observable object that owns its registry
/// reports; it does not interpret devices. Main executor only.
class USBMonitor {
public:
    /// How long after a report the bus is listed: a device's interfaces come one by one.
    static constexpr std::chrono::milliseconds refreshDelay{500};

    /// Sets the empty lists and does nothing else.
    USBMonitor(Executor& executor, USBDiscovery& discovery, USBInterfaceEvents& events);
    /// Ends the reports; a refresh still scheduled then does nothing.
    ~USBMonitor();
    USBMonitor(const USBMonitor&) = delete;
    USBMonitor& operator=(const USBMonitor&) = delete;

    Signal<> objectWillChange;
    /// The MTP interfaces, in discovery order.
    Published<std::vector<corvane::USBDeviceDescriptor>> devices{objectWillChange, {}};
    /// The Android devices without an MTP interface, in discovery order.
    Published<std::vector<corvane::AndroidCandidate>> candidates{objectWillChange, {}};

    /// Arms the reports and schedules the first listing. A monitor is armed at most once: later calls do
    /// nothing, unless the reports could not be set up at all, which a later call tries again.
    void start();
    /// Schedules one refresh after refreshDelay. Earlier ones are neither cancelled nor merged: each report
    /// gets its own, and those that find nothing new publish nothing.
    void scheduleRefresh();
    /// Lists the bus now; publishes devices, then candidates, each only when it differs (order included).
    void refresh();

private:
    Executor& m_executor;
    USBDiscovery& m_discovery;
    USBInterfaceEvents& m_events;
    std::unique_ptr<USBInterfaceEvents::Armed> m_armed;
    // Held weakly by scheduled refreshes and reports, which find it gone once the monitor is.
    std::shared_ptr<USBMonitor*> m_self = std::make_shared<USBMonitor*>(this);
};

} // namespace tandalo::app
