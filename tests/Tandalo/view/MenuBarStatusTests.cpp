// How each menu-bar status looks and what it says to assistive technology.
#include "Tandalo/view/MenuBarStatus.h"

#include <gtest/gtest.h>

namespace tandalo::view {
namespace {

TEST(MenuBarStatusTests, EachStatusHasItsLookAndWords) {
    struct Case {
        MenuBarIcon icon;
        GlyphLook look;
        std::string text;
    };
    const std::vector<Case> cases{
        {MenuBarIcon::mounted, {true, false, 1.0}, "Device mounted"},
        {MenuBarIcon::connected, {false, false, 1.0}, "Device connected, not mounted"},
        {MenuBarIcon::needsFileTransfer, {true, true, 1.0}, "Device needs File Transfer mode"},
        {MenuBarIcon::failed, {true, true, 1.0}, "Device could not be mounted"},
        {MenuBarIcon::idle, {false, false, 0.5}, "No device connected"},
    };
    ASSERT_EQ(cases.size(), std::size(allMenuBarIcons));
    for (const auto& each : cases) {
        EXPECT_EQ(glyphLook(each.icon), each.look) << each.text;
        EXPECT_EQ(accessibilityText(each.icon, false), each.text);
        EXPECT_EQ(accessibilityText(each.icon, true), each.text + ", update available");
    }
}

} // namespace
} // namespace tandalo::view
