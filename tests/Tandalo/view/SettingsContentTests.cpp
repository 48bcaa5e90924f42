// What the settings form shows for the model's values.
#include "Tandalo/view/SettingsContent.h"

#include <gtest/gtest.h>

#include <functional>

namespace tandalo::view {
namespace {

TEST(SettingsContentTests, EachSectionFollowsItsValue) {
    struct Case {
        std::string name;
        std::function<void(ModelState&)> change;
        SettingsContent expected;
    };
    const SettingsContent fresh{.folderText = "Not chosen yet"};
    const auto with = [&](const std::function<void(SettingsContent&)>& change) {
        auto content = fresh;
        change(content);
        return content;
    };
    const std::vector<Case> cases{
        {"nothing known yet", [](ModelState&) {}, fresh},
        {"the folder and the preferences",
         [](ModelState& model) {
             model.mountFolder = "/home/me/Tandalo";
             model.autoMount = false;
             model.launchAtLogin = false;
             model.loginItemState = app::LoginItem::State::enabled();
         },
         with([](SettingsContent& content) {
             content.folderText = "/home/me/Tandalo";
             content.autoMount = false;
             content.launchAtLogin = false;
         })},
        {"launch at login failed",
         [](ModelState& model) {
             model.loginItemState = app::LoginItem::State::failed("Read-only file system");
         },
         with([](SettingsContent& content) { content.loginItemFailure = "Read-only file system"; })},
        {"extension on", [](ModelState& model) { model.extensionEnabled = true; },
         with([](SettingsContent& content) {
             content.extensionLabel = ExtensionLabel::enabled;
             content.showsExplanation = false;
         })},
        {"extension off", [](ModelState& model) { model.extensionEnabled = false; },
         with([](SettingsContent& content) { content.extensionLabel = ExtensionLabel::notEnabled; })},
        {"a last error and updates",
         [](ModelState& model) {
             model.lastError = "Launch at login: Permission denied";
             model.canCheckForUpdates = true;
         },
         with([](SettingsContent& content) {
             content.lastError = "Launch at login: Permission denied";
             content.canCheckForUpdates = true;
         })},
    };
    for (const auto& each : cases) {
        ModelState model;
        each.change(model);
        EXPECT_EQ(settingsContent(model), each.expected) << each.name;
    }
    EXPECT_EQ(extensionLabelSymbol(ExtensionLabel::checking), "questionmark.circle");
    EXPECT_EQ(extensionLabelSymbol(ExtensionLabel::enabled), "checkmark.circle.fill");
    EXPECT_EQ(extensionLabelSymbol(ExtensionLabel::notEnabled), "xmark.circle.fill");
}

} // namespace
} // namespace tandalo::view
