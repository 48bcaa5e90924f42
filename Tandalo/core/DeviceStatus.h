#pragma once

#include "Tandalo/core/PreferenceStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo::app {

/// The application's side of the status the file-system extension shares for each device it serves, in
/// the app group's preferences: "deviceStatus.<id>.battery" (percent) and "deviceStatus.<id>.lastWrite"
/// (a date), where <id> is the device's DeviceEntry id. It reads and clears, never writes a value. Each
/// call opens the suite afresh; when it cannot be opened, reads answer nothing and clear does nothing.
class DeviceStatus {
public:
    static constexpr std::string_view suiteName = "K7QW3ZR2LD.group.com.brenwick.Tandalo";

    explicit DeviceStatus(PreferenceSuites& suites) : m_suites(suites) {}

    static std::string batteryKey(std::string_view id);
    static std::string lastWriteKey(std::string_view id);

    /// The stored level when it is an integer from 0 to 100.
    std::optional<int> batteryLevel(std::string_view id) const;
    /// The stored last write when it is a date.
    std::optional<PreferenceStore::Date> lastWrite(std::string_view id) const;
    /// Removes both keys of the device.
    void clear(std::string_view id);

private:
    PreferenceSuites& m_suites;
};

} // namespace tandalo::app
