#include "FileSystemExtension/DeviceStatus.h"

#include "ExtensionScenario.h"
#include "platform/foundation/Preferences.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace tandalo {
namespace {

TEST(DeviceStatusTests, StoresTheBatteryLevelUnderTheDevicesKey) {
    testing::TemporaryPreferences preferences;
    DeviceStatus::setBatteryLevel(87, "R58N123ABC", preferences.environment());
    EXPECT_EQ(preferences.suite().integerValue("deviceStatus.R58N123ABC.battery"), 87);
    EXPECT_EQ(DeviceStatus::batteryLevel("R58N123ABC", preferences.environment()), 87);
    EXPECT_EQ(DeviceStatus::batteryLevel("other", preferences.environment()), std::nullopt);

    DeviceStatus::setBatteryLevel(std::nullopt, "R58N123ABC", preferences.environment());
    EXPECT_FALSE(preferences.suite().value("deviceStatus.R58N123ABC.battery"));
}

TEST(DeviceStatusTests, ReadsBackOnlyLevelsFromZeroToAHundred) {
    struct Case {
        const char* name;
        platform::Preferences::Value stored;
        std::optional<std::int64_t> read;
    };
    const std::vector<Case> cases{
        {"0", std::int64_t{0}, 0},
        {"100", std::int64_t{100}, 100},
        {"101", std::int64_t{101}, std::nullopt},
        {"-1", std::int64_t{-1}, std::nullopt},
        {"text", std::string("87"), std::nullopt},
        {"double", 87.0, std::nullopt},
    };
    testing::TemporaryPreferences preferences;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        preferences.suite().set("deviceStatus.key.battery", each.stored);
        EXPECT_EQ(DeviceStatus::batteryLevel("key", preferences.environment()), each.read);
    }
}

TEST(DeviceStatusTests, RecordsTheLastWriteAsADate) {
    testing::TemporaryPreferences preferences;
    const DeviceStatus::Date date{std::chrono::milliseconds(1'700'000'000'250)};
    DeviceStatus::recordWrite("4242", date, preferences.environment());
    EXPECT_EQ(preferences.suite().dateValue("deviceStatus.4242.lastWrite"), date);
    EXPECT_EQ(DeviceStatus::lastWrite("4242", preferences.environment()), date);

    preferences.suite().setString("deviceStatus.4242.lastWrite", "yesterday");
    EXPECT_EQ(DeviceStatus::lastWrite("4242", preferences.environment()), std::nullopt);
}

TEST(DeviceStatusTests, ClearRemovesBothEntriesOfOnlyThatDevice) {
    testing::TemporaryPreferences preferences;
    const DeviceStatus::Date date{std::chrono::seconds(1'700'000'000)};
    DeviceStatus::setBatteryLevel(50, "a", preferences.environment());
    DeviceStatus::recordWrite("a", date, preferences.environment());
    DeviceStatus::setBatteryLevel(60, "b", preferences.environment());
    DeviceStatus::clear("a", preferences.environment());
    EXPECT_FALSE(preferences.suite().value("deviceStatus.a.battery"));
    EXPECT_FALSE(preferences.suite().value("deviceStatus.a.lastWrite"));
    EXPECT_EQ(DeviceStatus::batteryLevel("b", preferences.environment()), 60);
    // Clearing a device that has no entries changes nothing and fails nothing.
    DeviceStatus::clear("never", preferences.environment());
}

TEST(DeviceStatusTests, UsesTheSharedAppGroupSuite) {
    testing::TemporaryPreferences preferences;
    DeviceStatus::setBatteryLevel(12, "x", preferences.environment());
    EXPECT_EQ(preferences.suite().suiteName(), "K7QW3ZR2LD.group.com.brenwick.Tandalo");
    EXPECT_TRUE(
        std::filesystem::exists(preferences.folder() / "K7QW3ZR2LD.group.com.brenwick.Tandalo.prefs"));
}

TEST(DeviceStatusTests, DoesNothingWhenTheSuiteCannotBeWritten) {
    testing::TemporaryPreferences preferences;
    // A file where the folder should be: the suite cannot be created.
    const auto blocked = preferences.folder() / "blocked";
    std::ofstream(blocked) << "not a folder";
    const platform::MemoryEnvironment environment{{"TANDALO_PREFERENCES_DIR", blocked.string()}};
    DeviceStatus::setBatteryLevel(40, "x", environment);
    DeviceStatus::recordWrite("x", DeviceStatus::Date{}, environment);
    DeviceStatus::clear("x", environment);
    EXPECT_EQ(DeviceStatus::batteryLevel("x", environment), std::nullopt);
    EXPECT_EQ(DeviceStatus::lastWrite("x", environment), std::nullopt);
}

} // namespace
} // namespace tandalo
