// The status item and the scene over a fake model: the glyph and its words, the settings requests, the
// right click's menu, the window's place, and the desktop without a status area.
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/MenuWindow.h"
#include "Tandalo/ui/Scene.h"
#include "Tandalo/ui/SettingsWindow.h"
#include "Tandalo/ui/SetupGuide.h"
#include "Tandalo/ui/StatusItem.h"
#include "Tandalo/ui/Style.h"
#include "tests/Tandalo/ui/UiTestSupport.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace tandalo::ui {
namespace {

using app::MountState;
using testing::entries;
using testing::phone;
using view::MenuBarIcon;

class StatusItemTests : public ::testing::Test {
protected:
    testing::UiRig rig;
    Scene scene{rig.model, rig.timers, rig.scene, Scene::StatusArea::available};
    StatusItem& item = scene.statusItem();
};

TEST_F(StatusItemTests, ShowsTheStatusGlyphWithTheUpdateBadgeAndSaysIt) {
    const auto shown = [&] {
        return item.trayIcon().icon().pixmap(36).toImage().convertToFormat(
            QImage::Format_ARGB32_Premultiplied);
    };
    EXPECT_EQ(item.accessibilityText(), "No device connected");
    rig.publish([](view::ModelState& state) { state.waitingVersion = "1.4"; });
    EXPECT_EQ(item.accessibilityText(), "No device connected, update available");
    EXPECT_EQ(shown(), MenuBarImages::image(MenuBarIcon::idle, true, 36, colour(Tone::primary)));
    for (const auto icon : view::allMenuBarIcons) {
        rig.publish([&](view::ModelState& state) {
            state.menuBarIcon = icon;
            state.waitingVersion.reset();
        });
        EXPECT_EQ(item.shownIcon(), icon);
        EXPECT_FALSE(item.showsBadge());
        EXPECT_EQ(shown(), MenuBarImages::image(icon, false, 36, colour(Tone::primary)));
    }
    EXPECT_EQ(item.accessibilityText(), "No device connected");
}

TEST_F(StatusItemTests, OpensTheSettingsAtEachRequestButNotForTheCountItFindsAtStart) {
    testing::UiRig late;
    late.model.current.settingsRequests = 4;
    Scene lateScene(late.model, late.timers, late.scene, Scene::StatusArea::available);
    late.publish([](view::ModelState& state) { state.autoMount = false; });
    EXPECT_TRUE(late.sceneCalls.empty());
    for (int request = 5; request <= 6; ++request) {
        late.publish([&](view::ModelState& state) { state.settingsRequests = request; });
    }
    EXPECT_EQ(late.sceneCalls, (std::vector<std::string>{"openSettings", "openSettings"}));
}

TEST_F(StatusItemTests, RightClickMenuIsBuiltWhenItOpensAndAsksTheModelForTheSettings) {
    QMenu& menu = item.menu();
    const auto open = [&] {
        menu.popup(QPoint(0, 0));
        const auto shown = entries(menu);
        menu.close();
        return shown;
    };
    EXPECT_EQ(open().front(), "Mount Automatically (checked)");
    rig.publish([](view::ModelState& state) {
        state.autoMount = false;
        state.devices = {phone("R58", MountState::mounted("/m/P"))};
    });
    EXPECT_EQ(open(), (std::vector<std::string>{"Mount Automatically", "Eject All", "-", "Setup Guide…",
                                                "Settings…", "Check for Updates… (disabled)",
                                                "Copy Diagnostics", "-", "Quit Tandalo"}));
    menu.popup(QPoint(0, 0));
    testing::action(menu, QStringLiteral("Settings…"))->trigger();
    testing::action(menu, QStringLiteral("Mount Automatically"))->trigger();
    EXPECT_EQ(rig.model.takeCalls(), (std::vector<std::string>{"requestSettings", "autoMount on"}));
    EXPECT_TRUE(rig.sceneCalls.empty());
}

TEST_F(StatusItemTests, LeftClickTogglesTheDropDownAndAnotherCopyShowsIt) {
    MenuWindow& window = scene.window();
    EXPECT_EQ(window.presentation(), MenuWindow::Presentation::popup);
    item.toggleWindow();
    EXPECT_TRUE(window.isVisible());
    item.toggleWindow();
    EXPECT_FALSE(window.isVisible());
    item.toggleWindow();
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    scene.reopen();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(rig.model.calls.back(), "handleReopen");
}

TEST(SceneTests, WithoutAStatusAreaTheWindowOpensAtStartAsAnOrdinaryWindow) {
    testing::UiRig rig;
    Scene scene(rig.model, rig.timers, rig.scene, Scene::StatusArea::missing);
    scene.start();
    EXPECT_TRUE(scene.window().isVisible());
    EXPECT_EQ(scene.window().presentation(), MenuWindow::Presentation::window);
    EXPECT_TRUE(scene.window().windowFlags().testFlag(Qt::Window));
    scene.window().close();
    scene.reopen();
    EXPECT_TRUE(scene.window().isVisible());
}

TEST(SceneTests, TheMenusAndTheSettingsReachTheScenesOwnGuideAndSettings) {
    testing::UiRig rig;
    SceneActions actions;
    actions.quit = [] {};
    Scene scene(rig.model, rig.timers, actions, Scene::StatusArea::missing);
    scene.start();
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed()) << "closing a window never ends the application";
    const auto choose = [&](const char* title) {
        QTest::mousePress(scene.window().optionsButton(), Qt::LeftButton);
        QMenu* menu = scene.window().optionsMenu();
        ASSERT_NE(menu, nullptr);
        testing::action(*menu, QString::fromUtf8(title))->trigger();
        menu->close();
    };
    choose("Settings…");
    EXPECT_TRUE(scene.settings().isVisible());
    scene.settings().button(QStringLiteral("Show setup guide…"))->click();
    ASSERT_NE(scene.setupGuide().window(), nullptr);
    EXPECT_TRUE(scene.setupGuide().window()->isVisible());
    SetupGuideWindow* guide = scene.setupGuide().window();
    guide->close();
    choose("Setup Guide…");
    EXPECT_EQ(scene.setupGuide().window(), guide);
    EXPECT_TRUE(guide->isVisible());
}

// A window the user minimised stays visible to Qt, so showing and raising it alone would leave it down.
TEST(SceneTests, AMinimisedWindowComesBackWhenItIsAskedFor) {
    testing::UiRig rig;
    Scene scene(rig.model, rig.timers, rig.scene, Scene::StatusArea::missing);
    scene.start();
    scene.showSetupGuide();
    scene.openSettings();
    struct Case {
        const char* what;
        std::function<QWidget*()> window;
        std::function<void()> ask;
    };
    const std::vector<Case> cases{
        {"the settings", [&] { return &scene.settings(); }, [&] { scene.openSettings(); }},
        {"the set-up guide", [&] { return scene.setupGuide().window(); }, [&] { scene.showSetupGuide(); }},
        {"the ordinary window, on reopen", [&] { return &scene.window(); }, [&] { scene.reopen(); }},
    };
    for (const auto& each : cases) {
        QWidget* window = each.window();
        ASSERT_NE(window, nullptr) << each.what;
        window->setWindowState(window->windowState() | Qt::WindowMinimized);
        each.ask();
        EXPECT_TRUE(window->isVisible()) << each.what;
        EXPECT_FALSE(window->isMinimized()) << each.what;
    }
}

TEST(SceneTests, TheDropDownHangsBelowItsAnchorAndStaysOnTheScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize size(300, 200);
    struct Case {
        const char* what;
        QRect anchor;
        QPoint position;
    };
    const std::vector<Case> cases{
        {"an icon in a top bar", QRect(1000, 0, 24, 24), QPoint(861, 24)},
        {"an icon at the right edge", QRect(1890, 0, 24, 24), QPoint(1620, 24)},
        {"an icon in a bottom panel", QRect(1000, 1050, 24, 30), QPoint(861, 850)},
        {"the pointer near the left edge", QRect(10, 300, 1, 1), QPoint(0, 301)},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(dropDownPosition(each.anchor, size, screen), each.position) << each.what;
    }
}

} // namespace
} // namespace tandalo::ui
