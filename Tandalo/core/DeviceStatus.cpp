#include "Tandalo/core/DeviceStatus.h"

#include "platform/foundation/Logger.h"

namespace tandalo::app {

std::string DeviceStatus::batteryKey(std::string_view id) {
    return "deviceStatus." + std::string(id) + ".battery";
}

std::string DeviceStatus::lastWriteKey(std::string_view id) {
    return "deviceStatus." + std::string(id) + ".lastWrite";
}

std::optional<int> DeviceStatus::batteryLevel(std::string_view id) const {
    const auto suite = m_suites.suite(suiteName);
    const auto level = suite ? suite->integerValue(batteryKey(id)) : std::nullopt;
    if (!level || *level < 0 || *level > 100) {
        return std::nullopt;
    }
    return static_cast<int>(*level);
}

std::optional<PreferenceStore::Date> DeviceStatus::lastWrite(std::string_view id) const {
    const auto suite = m_suites.suite(suiteName);
    return suite ? suite->dateValue(lastWriteKey(id)) : std::nullopt;
}

void DeviceStatus::clear(std::string_view id) {
    const auto suite = m_suites.suite(suiteName);
    if (!suite) {
        return;
    }
    for (const auto& key : {batteryKey(id), lastWriteKey(id)}) {
        try {
            suite->remove(key);
        } catch (const std::exception& error) {
            // The extension removes them itself when it unloads the volume; a leftover is only stale.
            oslog::Logger("com.brenwick.Tandalo", "mount")
                .error("%{public}s not cleared: %{public}s", key, error.what());
        }
    }
}

} // namespace tandalo::app
