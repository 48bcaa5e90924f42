#include "FileSystemExtension/DeviceStatus.h"

#include "FileSystemExtension/ExtensionLog.h"
#include "platform/foundation/Preferences.h"

#include <exception>

namespace tandalo::DeviceStatus {

namespace {

std::optional<platform::Preferences> openSuite(const platform::Environment& environment) {
    return platform::Preferences::suite(suiteName, environment);
}

/// Runs a write on a fresh handle of the suite. The status is advisory: a suite that cannot be written
/// must never fail a file operation, so the failure is only logged.
template <typename Write> void withSuite(const platform::Environment& environment, Write write) {
    try {
        if (auto suite = openSuite(environment)) {
            write(*suite);
        }
    } catch (const std::exception& error) {
        extensionLog().error("device status not written: %{public}s", error.what());
    }
}

} // namespace

std::string batteryKey(std::string_view deviceKey) {
    return "deviceStatus." + std::string(deviceKey) + ".battery";
}

std::string lastWriteKey(std::string_view deviceKey) {
    return "deviceStatus." + std::string(deviceKey) + ".lastWrite";
}

void setBatteryLevel(std::optional<std::int64_t> level, std::string_view deviceKey,
                     const platform::Environment& environment) {
    withSuite(environment, [&](platform::Preferences& suite) {
        if (level) {
            suite.setInteger(batteryKey(deviceKey), *level);
        } else {
            suite.remove(batteryKey(deviceKey));
        }
    });
}

void recordWrite(std::string_view deviceKey, Date date, const platform::Environment& environment) {
    withSuite(environment,
              [&](platform::Preferences& suite) { suite.setDate(lastWriteKey(deviceKey), date); });
}

std::optional<std::int64_t> batteryLevel(std::string_view deviceKey,
                                         const platform::Environment& environment) {
    const auto suite = openSuite(environment);
    if (!suite) {
        return std::nullopt;
    }
    const auto level = suite->integerValue(batteryKey(deviceKey));
    // Compared as an unsigned value, so that a negative level counts as absent too.
    if (!level || static_cast<std::uint64_t>(*level) > 100) {
        return std::nullopt;
    }
    return level;
}

std::optional<Date> lastWrite(std::string_view deviceKey, const platform::Environment& environment) {
    const auto suite = openSuite(environment);
    if (!suite) {
        return std::nullopt;
    }
    return suite->dateValue(lastWriteKey(deviceKey));
}

void clear(std::string_view deviceKey, const platform::Environment& environment) {
    withSuite(environment, [&](platform::Preferences& suite) { suite.remove(batteryKey(deviceKey)); });
    withSuite(environment, [&](platform::Preferences& suite) { suite.remove(lastWriteKey(deviceKey)); });
}

} // namespace tandalo::DeviceStatus
