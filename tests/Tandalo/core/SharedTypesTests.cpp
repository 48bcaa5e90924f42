// The application's shared types, and the device status it shares with the extension.
#include "FileSystemExtension/DeviceStatus.h"
#include "Tandalo/core/DeviceEntry.h"
#include "Tandalo/core/DeviceStatus.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using testing::device;

TEST(SharedTypesTests, DeviceEntriesAreKeyedBySerialOrRegistryIDAndComparedWhole) {
    EXPECT_EQ((DeviceEntry{device("R58m12ABCDE"), MountState::unmounted()}.id()), "R58m12ABCDE");
    EXPECT_EQ((DeviceEntry{device(""), MountState::unmounted()}.id()), "4300");
    EXPECT_NE((DeviceEntry{device("A"), MountState::unmounted()}),
              (DeviceEntry{device("A"), MountState::mounting()}));
    EXPECT_EQ(MountState::mounting(), MountState::mounting());
    EXPECT_NE(MountState::failed("a"), MountState::failed("b"));
    EXPECT_NE(MountState::mounted("/m/a"), MountState::mounted("/m/b"));
    EXPECT_EQ(*MountState::mounted("/m/a").mountedFolder(), "/m/a");
    EXPECT_EQ(MountState::mounting().mountedFolder(), nullptr);
    const std::vector<std::pair<MountState, std::string>> words{{MountState::mounted("/m"), "mounted"},
                                                                {MountState::failed("No."), "failed: No."},
                                                                {MountState::unmounted(), "not mounted"},
                                                                {MountState::mounting(), "mounting"},
                                                                {MountState::unmounting(), "ejecting"}};
    for (const auto& [state, text] : words) {
        EXPECT_EQ(state.diagnosticsText(), text);
    }
}

TEST(SharedTypesTests, ReadsTheNameVersionAndBuildFromTheBundleInformation) {
    struct Case {
        std::map<std::string, BundleInformation::Value, std::less<>> values;
        std::string name;
        std::string version;
        std::optional<std::int64_t> build;
    };
    const std::vector<Case> cases{
        {{{"CFBundleName", "Files"}, {"CFBundleVersion", "27"}}, "Files", "? (27)", 27},
        {{{"CFBundleDisplayName", ""}, {"CFBundleName", "Files"}}, "", "? (?)", std::nullopt},
        {{{"CFBundleDisplayName", 5}, {"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "27b"}},
         "This app",
         "1.2 (27b)",
         std::nullopt},
        {{{"CFBundleVersion", "0042"}}, "This app", "? (0042)", 42},
        {{{"CFBundleVersion", "-7"}}, "This app", "? (-7)", -7},
        {{{"CFBundleVersion", "+7"}}, "This app", "? (+7)", 7},
        {{{"CFBundleVersion", "12.1"}}, "This app", "? (12.1)", std::nullopt},
        {{{"CFBundleVersion", "99999999999999999999"}}, "This app", "? (99999999999999999999)", std::nullopt},
        {{{"CFBundleVersion", 27}}, "This app", "? (?)", std::nullopt},
    };
    for (const auto& each : cases) {
        testing::FakeBundleInformation bundle;
        bundle.values = each.values;
        EXPECT_EQ(appDisplayName(bundle), each.name);
        EXPECT_EQ(appVersionString(bundle), each.version);
        EXPECT_EQ(appBuildNumber(bundle), each.build);
    }
    EXPECT_EQ(appDisplayName(), "Tandalo");
}

TEST(SharedTypesTests, ReadsAndClearsTheStatusTheExtensionWrites) {
    platform::testing::TemporaryFolder folder;
    platform::MemoryEnvironment environment{{"TANDALO_PREFERENCES_DIR", folder.path().string()}};
    FilePreferenceSuites suites(environment);
    DeviceStatus status(suites);
    const auto written = platform::Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 3 / 1));
    tandalo::DeviceStatus::setBatteryLevel(100, "R58", environment);
    tandalo::DeviceStatus::recordWrite("R58", written, environment);
    EXPECT_EQ(status.batteryLevel("R58"), 100);
    EXPECT_EQ(status.lastWrite("R58"), written);
    status.clear("R58");
    EXPECT_EQ(status.batteryLevel("R58"), std::nullopt);
    EXPECT_EQ(status.lastWrite("R58"), std::nullopt);
    status.clear("never written");

    testing::MemoryPreferenceSuites memory;
    DeviceStatus fromMemory(memory);
    const auto suite = memory.suite(DeviceStatus::suiteName);
    const std::vector<std::pair<PreferenceStore::Value, std::optional<int>>> levels{
        {std::int64_t{0}, 0},
        {std::int64_t{101}, std::nullopt},
        {std::int64_t{-1}, std::nullopt},
        {std::string("50"), std::nullopt},
        {written, std::nullopt}};
    for (const auto& [stored, level] : levels) {
        suite->set(DeviceStatus::batteryKey("x"), stored);
        EXPECT_EQ(fromMemory.batteryLevel("x"), level);
    }
    suite->set(DeviceStatus::lastWriteKey("x"), std::int64_t{5});
    EXPECT_EQ(fromMemory.lastWrite("x"), std::nullopt);
    memory.makeUnavailable();
    EXPECT_EQ(fromMemory.batteryLevel("x"), std::nullopt);
    fromMemory.clear("x"); // nothing to open: nothing happens
}

} // namespace
} // namespace tandalo::app
