// What the menu-bar window shows above its footer, and the commands of its menus.
#include "Tandalo/view/MenuContent.h"
#include "tests/Tandalo/view/ViewTestSupport.h"

#include <gtest/gtest.h>

namespace tandalo::view {
namespace {

using app::MountState;
using testing::chargeOnlyPhone;
using testing::phone;

TEST(MenuContentTests, BannersShowForAnExtensionKnownToBeOffAndForAWaitingUpdate) {
    struct Case {
        std::optional<bool> extensionEnabled;
        std::optional<std::string> waitingVersion;
        std::vector<Banner> banners;
    };
    const std::vector<Case> cases{
        {std::nullopt, std::nullopt, {}},
        {false, std::nullopt, {Banner::extensionOff}},
        {true, std::nullopt, {}},
        {true, "1.4", {Banner::updateAvailable}},
        {false, "1.4", {Banner::extensionOff, Banner::updateAvailable}},
        {std::nullopt, "1.4", {Banner::updateAvailable}},
    };
    for (const auto& each : cases) {
        ModelState model;
        model.extensionEnabled = each.extensionEnabled;
        model.waitingVersion = each.waitingVersion;
        const auto content = menuContent(model);
        EXPECT_EQ(content.banners, each.banners);
        EXPECT_EQ(content.updateVersion, each.waitingVersion.value_or(""));
    }
}

TEST(MenuContentTests, ListsDevicesThenWaitingPhonesInOrderAndTheEmptyStateOnlyWithoutEither) {
    ModelState model;
    EXPECT_TRUE(menuContent(model).showsEmptyState);

    model.waitingForFileTransfer = {chargeOnlyPhone(7100)};
    auto content = menuContent(model);
    EXPECT_FALSE(content.showsEmptyState);
    ASSERT_EQ(content.waitingRows.size(), 1u);
    EXPECT_TRUE(content.rows.empty());

    model.devices = {phone("B", MountState::mounted("/m/B")), phone("A", MountState::failed("No."))};
    model.waitingForFileTransfer.push_back(chargeOnlyPhone(7000));
    content = menuContent(model);
    ASSERT_EQ(content.rows.size(), 2u);
    EXPECT_EQ(content.rows[0].id, "B");
    EXPECT_EQ(content.rows[1], deviceRowState(model.devices[1], model));
    ASSERT_EQ(content.waitingRows.size(), 2u);
    EXPECT_EQ(content.waitingRows[1].id, 7000u);
}

TEST(MenuContentTests, CommandMenuOffersEjectAllOnlyWithAMountedDeviceAndFollowsTheSettings) {
    const MenuItem separator{};
    const auto items = [](bool autoMount, bool canCheck, MountState state) {
        ModelState model;
        model.autoMount = autoMount;
        model.canCheckForUpdates = canCheck;
        model.devices = {phone("A", MountState::unmounted()), phone("B", std::move(state))};
        return commandMenu(model);
    };
    const auto tail = [&](bool canCheck) {
        return std::vector<MenuItem>{separator,
                                     {.command = MenuCommand::setupGuide},
                                     {.command = MenuCommand::settings},
                                     {.command = MenuCommand::checkForUpdates, .enabled = canCheck},
                                     {.command = MenuCommand::copyDiagnostics},
                                     separator,
                                     {.command = MenuCommand::quit}};
    };
    auto expected = tail(true);
    expected.insert(expected.begin(),
                    {{.command = MenuCommand::mountAutomatically, .checkable = true, .checked = true},
                     {.command = MenuCommand::ejectAll}});
    EXPECT_EQ(items(true, true, MountState::mounted("/m/B")), expected);

    for (auto state : {MountState::unmounted(), MountState::mounting(), MountState::unmounting(),
                       MountState::failed("No.")}) {
        expected = tail(false);
        expected.insert(expected.begin(), {.command = MenuCommand::mountAutomatically, .checkable = true});
        EXPECT_EQ(items(false, false, state), expected);
    }
}

} // namespace
} // namespace tandalo::view
