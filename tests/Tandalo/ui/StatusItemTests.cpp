// The status item and the scene over a fake model: the glyph and its words, the settings requests, the
// right click's menu, the window's place, and the desktop without a status area.
#include "Tandalo/core/DesktopSettings.h"
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/MenuWindow.h"
#include "Tandalo/ui/Scene.h"
#include "Tandalo/ui/SettingsWindow.h"
#include "Tandalo/ui/SetupGuide.h"
#include "Tandalo/ui/StatusItem.h"
#include "Tandalo/ui/Style.h"
#include "platform/desktop/StatusNotifierHost.h"
#include "tests/Tandalo/ui/UiTestSupport.h"
#include "tests/platform/desktop/support/FakeDBusService.h"
#include "tests/platform/desktop/support/PrivateBus.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QDBusVariant>
#include <QIcon>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>

namespace tandalo::ui {
namespace {

using app::MountState;
using testing::entries;
using testing::phone;
using view::MenuBarIcon;

class FakeStatusNotifierWatcher final : public desktop::testing::FakeDBusService {
public:
    FakeStatusNotifierWatcher(desktop::testing::PrivateBus& bus, bool hostRegistered)
        : FakeDBusService(bus, QStringLiteral("org.kde.StatusNotifierWatcher"),
                          QStringLiteral("/StatusNotifierWatcher"),
                          QStringLiteral("org.kde.StatusNotifierWatcher")),
          m_hostRegistered(hostRegistered) {}

protected:
    QVariantList answer(const Call&) override {
        return {QVariant::fromValue(QDBusVariant(m_hostRegistered))};
    }

private:
    bool m_hostRegistered;
};

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
    const auto drawn = [](MenuBarIcon icon, bool badged, desktop::ColorScheme scheme) {
        const auto ink = MenuBarImages::panelInk(scheme, colour(Tone::primary));
        return MenuBarImages::image(icon, badged, 36, ink.ink, ink.halo);
    };
    EXPECT_EQ(item.accessibilityText(), "No device connected");
    rig.publish([](view::ModelState& state) { state.waitingVersion = "1.4"; });
    EXPECT_EQ(item.accessibilityText(), "No device connected, update available");
    EXPECT_EQ(shown(), drawn(MenuBarIcon::idle, true, desktop::ColorScheme::noPreference));
    for (const auto icon : view::allMenuBarIcons) {
        rig.publish([&](view::ModelState& state) {
            state.menuBarIcon = icon;
            state.waitingVersion.reset();
        });
        EXPECT_EQ(item.shownIcon(), icon);
        EXPECT_FALSE(item.showsBadge());
        EXPECT_EQ(shown(), drawn(icon, false, desktop::ColorScheme::noPreference));
    }
    EXPECT_EQ(item.accessibilityText(), "No device connected");
    for (const auto scheme : {desktop::ColorScheme::preferDark, desktop::ColorScheme::preferLight}) {
        item.setColorScheme(scheme);
        EXPECT_EQ(shown(), drawn(MenuBarIcon::idle, false, scheme))
            << "the glyph follows the desktop's scheme";
    }
}

// Only a status area on the bus draws a named icon in the panel's colours, and only where the theme has
// it; the pixels always are the glyph with its halo, for the areas that show pixels.
TEST_F(StatusItemTests, GivesTheSymbolicIconByNameOnlyToAStatusAreaOnTheBusThatFindsIt) {
    struct Case {
        const char* what;
        std::optional<bool> hostRegistered; // nothing: no watcher on the bus
        bool iconsBesideProgram;
        bool named;
    };
    const Case cases[] = {
        {"a watcher with a host", true, true, true},
        {"a watcher with a host, icons missing", true, false, false},
        {"a watcher without a host", false, true, false},
        {"no watcher", std::nullopt, true, false},
    };
    const QStringList searchPaths = QIcon::themeSearchPaths();
    const auto ink = MenuBarImages::panelInk(desktop::ColorScheme::noPreference, colour(Tone::primary));
    for (const auto& each : cases) {
        desktop::testing::PrivateBus bus{desktop::testing::PrivateBus::Kind::session};
        std::unique_ptr<FakeStatusNotifierWatcher> watcher;
        if (each.hostRegistered) {
            watcher = std::make_unique<FakeStatusNotifierWatcher>(bus, *each.hostRegistered);
        }
        QIcon::setThemeSearchPaths(searchPaths);
        if (each.iconsBesideProgram) {
            MenuBarImages::findSymbolicIcons(QStringLiteral(TOOLS_FOLDER));
        }
        item.setPanelRecolours(false);
        std::optional<bool> answer;
        desktop::StatusNotifierHostProbe probe(bus.connect(), rig.timers, [&](bool registered) {
            answer = registered;
            item.setPanelRecolours(registered);
        });
        ASSERT_TRUE(desktop::testing::waitUntil([&] { return answer.has_value(); })) << each.what;
        for (const auto icon : view::allMenuBarIcons) {
            rig.publish([&](view::ModelState& state) { state.menuBarIcon = icon; });
            EXPECT_EQ(item.trayIcon().icon().name().toStdString(),
                      each.named ? MenuBarImages::symbolicName(icon).toStdString() : "")
                << each.what;
            EXPECT_EQ(item.trayIcon().icon().pixmap(36).toImage().convertToFormat(
                          QImage::Format_ARGB32_Premultiplied),
                      MenuBarImages::image(icon, false, 36, ink.ink, ink.halo))
                << each.what << ": the pixels sent with the name have the halo";
        }
        rig.publish([](view::ModelState& state) { state.waitingVersion = "1.4"; });
        EXPECT_EQ(item.trayIcon().icon().name().toStdString(), "") << each.what << ": the badge is drawn";
        rig.publish([](view::ModelState& state) { state.waitingVersion.reset(); });
    }
    QIcon::setThemeSearchPaths(searchPaths);
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

TEST_F(StatusItemTests, LeftClickTogglesTheDropDownAndAnotherCopyLeavesTheAnswerToTheModel) {
    MenuWindow& window = scene.window();
    EXPECT_EQ(window.presentation(), MenuWindow::Presentation::popup);
    item.toggleWindow();
    EXPECT_TRUE(window.isVisible());
    item.toggleWindow();
    EXPECT_FALSE(window.isVisible());
    item.toggleWindow();
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    rig.model.calls.clear();
    scene.reopen();
    EXPECT_FALSE(window.isVisible()) << "the notification or the set-up guide answers, not the window too";
    EXPECT_EQ(rig.model.calls, std::vector<std::string>{"handleReopen"});
}

TEST(SceneTests, WithoutAStatusAreaTheWindowOpensAtStartAsAnOrdinaryWindow) {
    testing::UiRig rig;
    Scene scene(rig.model, rig.timers, rig.scene, Scene::StatusArea::missing);
    scene.start();
    EXPECT_TRUE(scene.window().isVisible());
    EXPECT_EQ(scene.window().presentation(), MenuWindow::Presentation::window);
    EXPECT_TRUE(scene.window().windowFlags().testFlag(Qt::Window));
    scene.window().close();
    rig.model.calls.clear();
    scene.reopen();
    EXPECT_TRUE(scene.window().isVisible());
    EXPECT_EQ(std::count(rig.model.calls.begin(), rig.model.calls.end(), "handleReopen"), 0)
        << "the window is the answer; the model says nothing beside it";
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

// The real status item in a real status area (trayer) on one X server with two screens, a dark panel on
// one and a light panel on the other: on both, the glyph stands out from the panel.
TEST(StatusAreaTests, TheGlyphStandsOutOnADarkAndOnALightPanel) {
    const char* searchPath = std::getenv("PATH");
    const auto xvfb = app::findProgram("Xvfb", searchPath != nullptr ? searchPath : "/usr/bin:/bin");
    const auto trayer = app::findProgram("trayer", searchPath != nullptr ? searchPath : "/usr/bin:/bin");
    if (!xvfb || !trayer) {
        GTEST_SKIP() << "Xvfb or trayer is not installed (scripts/setup installs both)";
    }
    auto server =
        testsupport::ChildProcess::start(xvfb->string(), {"-displayfd", "1", "-nolisten", "tcp", "-screen",
                                                          "0", "200x40x24", "-screen", "1", "200x40x24"});
    const auto display = server.readLine();
    if (!display || display->empty()) {
        GTEST_SKIP() << "Xvfb did not start";
    }
    struct Panel {
        const char* name;
        const char* tint;
        bool dark;
    };
    const Panel panels[] = {{"dark", "0x202020", true}, {"light", "0xf0f0f0", false}};
    int screen = 0;
    std::vector<testsupport::ChildProcess> areas;
    for (const auto& panel : panels) {
        const std::string onScreen = ":" + *display + "." + std::to_string(screen++);
        areas.push_back(testsupport::ChildProcess::start(trayer->string(), {"--edge",
                                                                            "top",
                                                                            "--align",
                                                                            "left",
                                                                            "--widthtype",
                                                                            "pixel",
                                                                            "--width",
                                                                            "120",
                                                                            "--height",
                                                                            "32",
                                                                            "--transparent",
                                                                            "true",
                                                                            "--alpha",
                                                                            "0",
                                                                            "--tint",
                                                                            panel.tint,
                                                                            "--SetDockType",
                                                                            "false",
                                                                            "--SetPartialStrut",
                                                                            "false"},
                                                         {"DISPLAY=" + onScreen}));
        const QString picture = QStringLiteral(SCREENSHOT_FOLDER "/status-icon-%1-panel.png").arg(panel.name);
        QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
        // No session bus: the icon goes to the X status area, not to a bus-based one.
        const auto [status, output] =
            testsupport::runToEnd(TRAY_PROBE, {picture.toStdString()},
                                  {"DISPLAY=" + onScreen, "QT_QPA_PLATFORM=xcb",
                                   "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"});
        if (status == 3) {
            GTEST_SKIP() << "trayer gave no status area on " << onScreen << ": " << output;
        }
        ASSERT_EQ(status, 0) << output;
        std::istringstream place(output.substr(output.find_last_of('\n', output.size() - 2) + 1));
        int x = 0, y = 0, width = 0, height = 0;
        ASSERT_TRUE(place >> x >> y >> width >> height) << output;
        const QImage shot(picture);
        ASSERT_FALSE(shot.isNull());
        const QRect icon = QRect(x, y, width, height).intersected(shot.rect());
        const QPoint besideIcon(icon.right() + 8, icon.center().y());
        ASSERT_TRUE(shot.rect().contains(besideIcon) && !icon.isEmpty()) << output;
        const int background = qGray(shot.pixel(besideIcon));
        ASSERT_EQ(background < 80, panel.dark) << "the " << panel.name << " panel is grey " << background;
        int standing = 0;
        for (int row = icon.top(); row <= icon.bottom(); ++row) {
            for (int column = icon.left(); column <= icon.right(); ++column) {
                standing += std::abs(qGray(shot.pixel(column, row)) - background) > 100 ? 1 : 0;
            }
        }
        EXPECT_GT(standing, 30) << "the glyph is lost on the " << panel.name << " panel, see "
                                << picture.toStdString();
        shot.copy(icon.adjusted(-8, -4, 24, 4))
            .scaled(icon.width() * 8 + 256, icon.height() * 8 + 64)
            .save(QStringLiteral(SCREENSHOT_FOLDER "/status-icon-%1-panel-enlarged.png").arg(panel.name));
    }
}

} // namespace
} // namespace tandalo::ui
