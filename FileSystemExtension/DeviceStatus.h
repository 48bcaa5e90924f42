#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo {

/// The shared status of each mounted device, kept in the preferences suite of the shared app group
/// where the application reads it: "deviceStatus.<key>.battery" (an integer, percent) and
/// "deviceStatus.<key>.lastWrite" (a date). The key is the device's serial number, or its registry entry
/// ID in decimal when the serial is empty. Every operation opens the suite anew, so another process's
/// changes are seen at once; when the suite cannot be opened or written, writers do nothing and readers
/// return nothing. The environment names the suite's folder (TANDALO_PREFERENCES_DIR). Any thread; each
/// call blocks for the suite's file.
namespace DeviceStatus {

using Date = platform::Clock::WallTime;

inline constexpr std::string_view suiteName = "K7QW3ZR2LD.group.com.brenwick.Tandalo";

std::string batteryKey(std::string_view deviceKey);
std::string lastWriteKey(std::string_view deviceKey);

/// Stores the level, or removes the entry when there is none.
void setBatteryLevel(std::optional<std::int64_t> level, std::string_view deviceKey,
                     const platform::Environment& environment = platform::Environment::process());
void recordWrite(std::string_view deviceKey, Date date,
                 const platform::Environment& environment = platform::Environment::process());
/// The stored level when it is an integer from 0 to 100, else nothing.
std::optional<std::int64_t>
batteryLevel(std::string_view deviceKey,
             const platform::Environment& environment = platform::Environment::process());
/// The stored last write when it is a date, else nothing.
std::optional<Date> lastWrite(std::string_view deviceKey,
                              const platform::Environment& environment = platform::Environment::process());
/// Removes both entries of the device.
void clear(std::string_view deviceKey,
           const platform::Environment& environment = platform::Environment::process());

} // namespace DeviceStatus

} // namespace tandalo
