#include "Corvane/device/MTPTrace.h"

#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/Preferences.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace corvane {

namespace {

constexpr std::string_view traceVariable = "CORVANE_TRACE";
constexpr std::string_view tracePreference = "CorvaneTrace";

/// The shared store's logger is made once, on the first traced line of the process.
const oslog::Logger& sharedTraceLogger() {
    static const oslog::Logger logger("Corvane", "trace");
    return logger;
}

} // namespace

bool MTPTrace::isRequested(const platform::Environment& environment) {
    if (environment.contains(traceVariable)) {
        return true;
    }
    return platform::Preferences::standard(environment).boolValue(tracePreference).value_or(false);
}

MTPTrace::MTPTrace() = default;

MTPTrace::MTPTrace(bool enabled, const platform::Environment& environment, oslog::LogStore& store,
                   StandardError standardError)
    : m_enabled(enabled), m_environment(&environment), m_store(&store),
      m_standardError(std::move(standardError)) {}

std::string MTPTrace::line(PTPOperation operation, platform::Clock::Duration elapsed, std::string_view note) {
    const double milliseconds = std::chrono::duration<double, std::milli>(elapsed).count();
    char number[64];
    std::snprintf(number, sizeof number, "%.1f", milliseconds);
    std::string text = name(operation);
    text += ' ';
    text += number;
    text += "ms ";
    text += note;
    return text;
}

void MTPTrace::write(std::string_view line) const noexcept {
    if (!m_enabled || m_store == nullptr) {
        return;
    }
    try {
        if (m_store == &oslog::LogStore::shared()) {
            sharedTraceLogger().info("%{public}s", line);
        } else {
            oslog::Logger("Corvane", "trace", *m_store).info("%{public}s", line);
        }
        if (m_environment != nullptr && m_environment->contains(traceVariable) && m_standardError) {
            std::string text = "[mtp] ";
            text += line;
            text += '\n';
            m_standardError(text);
        }
    } catch (...) {
        // A trace line is never worth failing a transfer for; allocation failure is all that can reach here.
    }
}

} // namespace corvane
