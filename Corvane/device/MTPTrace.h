#pragma once

#include "Corvane/wire/PTPOperation.h"
#include "platform/foundation/Clock.h"

#include <functional>
#include <string>
#include <string_view>

namespace oslog {
class LogStore;
}

namespace platform {
class Environment;
}

namespace corvane {

/// The switch and the writer of one device's transaction trace. Lines go to the unified log under
/// subsystem "Corvane", category "trace", and are copied to standard error while the environment holds
/// CORVANE_TRACE. It refers to the environment and log store it was given, which must outlive it.
class MTPTrace {
public:
    using StandardError = std::function<void(std::string_view text)>;

    /// Whether a new device traces: yes when the environment holds CORVANE_TRACE, whatever its value (an
    /// empty one too); otherwise the standard preferences' Boolean CorvaneTrace, no when it is absent.
    static bool isRequested(const platform::Environment& environment);

    /// A trace that writes nothing.
    MTPTrace();
    MTPTrace(bool enabled, const platform::Environment& environment, oslog::LogStore& store,
             StandardError standardError);

    bool isEnabled() const noexcept { return m_enabled; }

    /// The line for one exchange: "getObjectInfo 4.2ms ok 184B".
    static std::string line(PTPOperation operation, platform::Clock::Duration elapsed, std::string_view note);

    /// Writes the line to the log at info level and, when CORVANE_TRACE is set at this moment, "[mtp] " +
    /// line + a line feed to standard error. Does nothing while the trace is off. Never throws.
    void write(std::string_view line) const noexcept;

private:
    bool m_enabled = false;
    const platform::Environment* m_environment = nullptr;
    oslog::LogStore* m_store = nullptr;
    StandardError m_standardError;
};

} // namespace corvane
