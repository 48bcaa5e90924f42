// What a device row and a waiting row show, by mount state and the model's notes, levels and holders.
#include "Tandalo/view/DeviceRowState.h"
#include "tests/Tandalo/view/ViewTestSupport.h"

#include <gtest/gtest.h>

namespace tandalo::view {
namespace {

using app::MountState;
using testing::phone;

TEST(DeviceRowStateTests, StatusLineAndButtonsFollowTheStateNotesLevelsHoldersAndFolder) {
    struct Case {
        const char* what;
        MountState state;
        bool note = false;
        bool battery = false;
        bool holder = false;
        bool folder = true;
        RowStatus status;
        std::string text;
        std::vector<RowButton> buttons;
    };
    const std::vector<RowButton> mountedButtons{RowButton::showInFinder, RowButton::eject};
    const std::vector<Case> cases{
        {"mounted, note and level", MountState::mounted("/m/P"), true, true, false, true,
         RowStatus::ejectNote, "Still in use.", mountedButtons},
        {"mounted with a level", MountState::mounted("/m/P"), false, true, false, true, RowStatus::battery,
         "63%", mountedButtons},
        {"mounted with neither", MountState::mounted("/m/P"), false, false, false, true, RowStatus::none, "",
         mountedButtons},
        {"failed, held, no folder",
         MountState::failed("In use by Shotwell"),
         false,
         false,
         true,
         false,
         RowStatus::failure,
         "In use by Shotwell",
         {RowButton::takeOver}},
        {"failed, no folder",
         MountState::failed("No."),
         false,
         false,
         false,
         false,
         RowStatus::failure,
         "No.",
         {RowButton::chooseFolder}},
        {"failed with a folder",
         MountState::failed("No."),
         false,
         true,
         false,
         true,
         RowStatus::failure,
         "No.",
         {RowButton::mount}},
        {"unmounted",
         MountState::unmounted(),
         true,
         true,
         false,
         true,
         RowStatus::none,
         "",
         {RowButton::mount}},
        {"unmounted, held",
         MountState::unmounted(),
         false,
         false,
         true,
         true,
         RowStatus::none,
         "",
         {RowButton::takeOver}},
        {"mounting", MountState::mounting(), false, true, true, true, RowStatus::mounting, "", {}},
        {"ejecting is not mounting",
         MountState::unmounting(),
         true,
         true,
         false,
         true,
         RowStatus::ejecting,
         "",
         {}},
    };
    for (const auto& each : cases) {
        ModelState model;
        if (each.note) {
            model.ejectNotes["R58"] = "Still in use.";
        }
        if (each.battery) {
            model.batteryLevels["R58"] = 63;
        }
        if (each.holder) {
            model.holders["R58"] = "Shotwell";
        }
        if (each.folder) {
            model.mountFolder = "/home/me/Tandalo";
        }
        model.ejectNotes["other"] = "Not this one.";
        const auto row = deviceRowState(phone("R58", each.state), model);
        EXPECT_EQ(row.status, each.status) << each.what;
        EXPECT_EQ(row.statusText, each.text) << each.what;
        EXPECT_EQ(row.buttons, each.buttons) << each.what;
        EXPECT_EQ(row.isMounted, each.state.isMounted()) << each.what;
        EXPECT_EQ(row.batterySymbol, each.status == RowStatus::battery ? "battery.75" : "") << each.what;
    }
}

TEST(DeviceRowStateTests, BatterySymbolsFollowStrictThresholds) {
    const std::vector<std::pair<int, std::string_view>> levels{
        {100, "battery.100"}, {88, "battery.100"}, {87, "battery.75"}, {63, "battery.75"}, {62, "battery.50"},
        {38, "battery.50"},   {37, "battery.25"},  {13, "battery.25"}, {12, "battery.0"},  {0, "battery.0"}};
    for (const auto& [level, symbol] : levels) {
        EXPECT_EQ(batterySymbol(level), symbol) << level;
    }
}

TEST(DeviceRowStateTests, NamesDevicesCleanlyAndKeysThemByID) {
    const auto row = deviceRowState(phone("R58", MountState::unmounted(), "Pixel_7 MTP R58", "Google"), {});
    EXPECT_EQ(row.name, "Pixel 7");
    EXPECT_EQ(row.id, "R58");
    EXPECT_EQ(deviceRowState(phone("", MountState::unmounted()), {}).id, "4300");

    const auto waiting = waitingRowState(testing::chargeOnlyPhone(7100, true));
    EXPECT_EQ(waiting.id, 7100u);
    EXPECT_EQ(waiting.name, "Galaxy S21");
    EXPECT_TRUE(waiting.hasADB);
    EXPECT_EQ(waiting.hint, testing::chargeOnlyPhone().fileTransferHint());
}

} // namespace
} // namespace tandalo::view
