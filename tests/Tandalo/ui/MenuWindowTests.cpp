// The menu-bar window over a fake model: what it shows, what its clicks do, and how it keeps its rows.
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/DeviceRows.h"
#include "Tandalo/ui/MenuWindow.h"
#include "Tandalo/ui/SettingsWindow.h"
#include "Tandalo/ui/SetupGuide.h"
#include "Tandalo/ui/TestControl.h"
#include "tests/Tandalo/ui/UiTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <iostream>

namespace tandalo::ui {
namespace {

using app::MountState;
using testing::chargeOnlyPhone;
using testing::entries;
using testing::phone;
using testing::texts;
using view::RowButton;

class MenuWindowTests : public ::testing::Test {
protected:
    testing::UiRig rig;
    MenuWindow window{rig.model, rig.timers, rig.scene, MenuWindow::Presentation::window};

    void showWindow() {
        window.open({});
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        rig.model.takeCalls();
    }
};

TEST_F(MenuWindowTests, ShowsBannersThenDevicesThenWaitingPhonesOrHowToConnectOne) {
    EXPECT_TRUE(window.emptyState()->isVisibleTo(&window));
    EXPECT_FALSE(window.banner(view::Banner::extensionOff)->isVisibleTo(&window));
    EXPECT_EQ(window.width(), MenuWindow::fixedWidth);

    rig.publish([](view::ModelState& state) {
        state.extensionEnabled = false;
        state.waitingVersion = "1.4";
        state.devices = {phone("R58", MountState::mounted("/m/P"))};
        state.batteryLevels["R58"] = 88;
        state.waitingForFileTransfer = {chargeOnlyPhone(7100, true)};
    });
    EXPECT_FALSE(window.emptyState()->isVisibleTo(&window));
    EXPECT_EQ(texts(*window.banner(view::Banner::extensionOff)),
              std::vector<std::string>{"Tandalo is switched off on this computer"});
    EXPECT_EQ(texts(*window.banner(view::Banner::updateAvailable)),
              std::vector<std::string>{"Tandalo 1.4 is available"});
    EXPECT_EQ(texts(*window.row("R58")), (std::vector<std::string>{"Pixel 7", "88%"}));
    EXPECT_EQ(texts(*window.waitingRow(7100)),
              (std::vector<std::string>{"Galaxy S21", "Connected in charge-only mode (USB debugging)",
                                        chargeOnlyPhone().fileTransferHint()}));

    rig.publish([](view::ModelState& state) {
        state.devices = {phone("R58", MountState::unmounting())};
        state.waitingForFileTransfer.clear();
        state.extensionEnabled = std::nullopt;
    });
    EXPECT_EQ(texts(*window.row("R58")), (std::vector<std::string>{"Pixel 7", "Ejecting…"}));
    EXPECT_EQ(window.waitingRow(7100), nullptr);
    EXPECT_FALSE(window.banner(view::Banner::extensionOff)->isVisibleTo(&window));
}

TEST_F(MenuWindowTests, RowsStayInPlaceThroughChangesSoHoverAndFocusSurvive) {
    rig.publish([](view::ModelState& state) {
        state.devices = {phone("A", MountState::mounted("/m/A")), phone("B", MountState::mounted("/m/B"))};
    });
    showWindow();
    DeviceRow* rowA = window.row("A");
    SoftButton* folderA = rowA->button(RowButton::showInFinder);
    SoftButton* ejectB = window.row("B")->button(RowButton::eject);
    folderA->setFocus();
    QTest::mouseMove(ejectB);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ejectB->isHovering(); }));

    for (int level = 10; level < 100; level += 10) {
        rig.publish([&](view::ModelState& state) {
            state.batteryLevels = {{"A", level}, {"B", 100 - level}};
            std::swap(state.devices[0], state.devices[1]);
        });
    }
    rig.publish([](view::ModelState& state) { state.ejectNotes["A"] = "Still in use."; });
    EXPECT_EQ(window.row("A"), rowA);
    EXPECT_EQ(rowA->button(RowButton::showInFinder), folderA);
    EXPECT_TRUE(folderA->hasFocus());
    EXPECT_EQ(window.row("B")->button(RowButton::eject), ejectB);
    EXPECT_TRUE(ejectB->isHovering());

    rig.publish([](view::ModelState& state) { state.devices.erase(state.devices.begin()); });
    EXPECT_EQ(window.row("B"), nullptr);
    EXPECT_EQ(window.row("A"), rowA);
}

TEST_F(MenuWindowTests, ButtonsActOnTheDeviceAsTheModelHasItNow) {
    struct Case {
        MountState state;
        bool held;
        RowButton button;
        std::string call;
    };
    const std::vector<Case> cases{
        {MountState::mounted("/m/P"), false, RowButton::showInFinder, "openFolder R58 /m/P"},
        {MountState::mounted("/m/P"), false, RowButton::eject, "eject R58"},
        {MountState::failed("In use by Shotwell"), true, RowButton::takeOver, "mount R58 taking over"},
        {MountState::failed("Choose where devices should appear."), false, RowButton::chooseFolder,
         "chooseFolder"},
        {MountState::unmounted(), false, RowButton::mount, "mount R58"},
    };
    for (const auto& each : cases) {
        rig.publish([&](view::ModelState& state) {
            state.devices = {phone("R58", each.state)};
            state.holders.clear();
            if (each.held) {
                state.holders["R58"] = "Shotwell";
            }
            state.mountFolder = each.button == RowButton::chooseFolder
                                    ? std::nullopt
                                    : std::optional<std::filesystem::path>("/home/me/Tandalo");
        });
        rig.model.takeCalls();
        QTest::mouseClick(window.row("R58")->button(each.button), Qt::LeftButton);
        EXPECT_EQ(rig.model.takeCalls(), std::vector<std::string>{each.call});
    }
    rig.publish([](view::ModelState& state) { state.devices = {phone("R58", MountState::mounted("/m/P"))}; });
    rig.model.takeCalls();
    QTest::mouseClick(window.row("R58")->button(RowButton::eject), Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_TRUE(rig.model.calls.empty()) << "a round button's corner is not the button";

    rig.publish([](view::ModelState& state) {
        state.extensionEnabled = false;
        state.waitingVersion = "1.4";
    });
    QTest::mouseClick(window.bannerButton(view::Banner::extensionOff), Qt::LeftButton);
    QTest::mouseClick(window.bannerButton(view::Banner::updateAvailable), Qt::LeftButton);
    EXPECT_EQ(rig.model.takeCalls(), (std::vector<std::string>{"turnOnExtension", "showWaitingUpdate"}));
}

// A serial number may hold anything: the test channel's rows stay one line each and the id they give
// presses the same device's button.
TEST_F(MenuWindowTests, TheTestChannelEscapesItsFields) {
    const std::string serial = "A\nB\tC\\x01\x7F";
    rig.publish([&](view::ModelState& state) {
        state.devices = {phone(serial, MountState::failed("no\nway"))};
        state.mountFolder = "/home/me/Tandalo";
    });
    TestControl control(rig.model, window, [] {});
    const auto escaped = escapedField(serial);
    EXPECT_EQ(escaped, "A\\nB\\tC\\\\x01\\x7F");
    EXPECT_EQ(unescapedField(escaped), serial);
    EXPECT_EQ(unescapedField("\\q\\x4\\"), "\\q\\x4\\") << "unknown escapes stay as written";
    EXPECT_EQ(control.answer("rows"),
              std::vector<std::string>{escaped + "\tPixel 7\tfailed\tno\\nway\tmount"});
    rig.model.takeCalls();
    EXPECT_EQ(control.answer("press " + escaped + " mount"), std::vector<std::string>{"ok"});
    EXPECT_EQ(rig.model.takeCalls(), std::vector<std::string>{"mount " + serial});
}

TEST_F(MenuWindowTests, ShowInFinderOpensTheFolderTheDeviceIsMountedOnAtTheClick) {
    struct Case {
        std::string name;
        std::vector<app::DeviceEntry> devicesAtClick;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases{
        {"still mounted", {phone("R58", MountState::mounted("/m/P"))}, {"openFolder R58 /m/P"}},
        {"mounted again elsewhere", {phone("R58", MountState::mounted("/m/Q"))}, {"openFolder R58 /m/Q"}},
        {"being ejected", {phone("R58", MountState::unmounting())}, {}},
        {"failed since", {phone("R58", MountState::failed("Gone."))}, {}},
        {"unplugged", {}, {}},
    };
    for (const auto& each : cases) {
        rig.publish(
            [](view::ModelState& state) { state.devices = {phone("R58", MountState::mounted("/m/P"))}; });
        SoftButton* folder = window.row("R58")->button(RowButton::showInFinder);
        // The model changes and the click comes before the window has drawn the change.
        rig.model.publish([&](view::ModelState& state) { state.devices = each.devicesAtClick; });
        rig.model.takeCalls();
        QTest::mouseClick(folder, Qt::LeftButton);
        EXPECT_EQ(rig.model.takeCalls(), each.calls) << each.name;
        rig.settle();
    }
}

TEST_F(MenuWindowTests, EachOpeningTidiesAndRefreshesAndTheBatteryIsReadEveryTwentySecondsWhileOpen) {
    const std::vector<std::string> opening{"cleanUpStaleMounts", "refreshBatteryLevels",
                                           "refreshExtensionStatus"};
    const auto waitForCalls = [&](std::size_t count) {
        return QTest::qWaitFor([&] { return rig.model.calls.size() >= count; });
    };
    window.open({});
    EXPECT_EQ(rig.model.takeCalls(), opening);
    for (int tick = 0; tick < 2; ++tick) {
        rig.clock.advance(MenuWindow::batteryInterval);
        ASSERT_TRUE(waitForCalls(1));
        EXPECT_EQ(rig.model.takeCalls(), std::vector<std::string>{"refreshBatteryLevels"});
    }
    window.hide();
    rig.clock.advance(2 * MenuWindow::batteryInterval);
    QTest::qWait(5);
    EXPECT_TRUE(rig.model.calls.empty());
    window.open({});
    EXPECT_EQ(rig.model.takeCalls(), opening);
}

TEST_F(MenuWindowTests, OptionsMenuIsBuiltAtEachOpeningAndRunsTheCommands) {
    showWindow();
    const auto openMenu = [&] {
        QTest::mousePress(window.optionsButton(), Qt::LeftButton);
        QMenu* menu = window.optionsMenu();
        EXPECT_NE(menu, nullptr);
        return menu;
    };
    QMenu* menu = openMenu();
    EXPECT_EQ(entries(*menu), (std::vector<std::string>{"Mount Automatically (checked)", "-", "Setup Guide…",
                                                        "Settings…", "Check for Updates… (disabled)",
                                                        "Copy Diagnostics", "-", "Quit Tandalo"}));
    menu->close();

    rig.publish([](view::ModelState& state) {
        state.devices = {phone("R58", MountState::mounted("/m/P"))};
        state.canCheckForUpdates = true;
    });
    for (const char* title : {"Mount Automatically", "Eject All", "Setup Guide…", "Settings…",
                              "Check for Updates…", "Copy Diagnostics", "Quit Tandalo"}) {
        menu = openMenu();
        testing::action(*menu, QString::fromUtf8(title))->trigger();
        menu->close();
    }
    EXPECT_EQ(rig.model.takeCalls(),
              (std::vector<std::string>{"autoMount off", "ejectAll", "checkForUpdates", "copyDiagnostics"}));
    EXPECT_EQ(rig.sceneCalls, (std::vector<std::string>{"showSetupGuide", "openSettings", "quit"}));

    menu = openMenu();
    QTest::keyClick(menu, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(rig.sceneCalls.back(), "quit") << "Ctrl+Q quits while the menu is open";
    EXPECT_EQ(rig.sceneCalls.size(), 4u);
}

// Pictures of the window in the states a user meets most, to be looked at by a person.
TEST_F(MenuWindowTests, TextsFromDevicesShowAsWrittenInTheWindowsLabelsAndToolTips) {
    // No slash: device names cannot hold one, and tags need no closing to take effect.
    const std::string markup = "<b>x<font size=40 color=red>big";
    rig.publish([&](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = app::NotificationAuthorizationStatus::authorized;
        state.devices = {phone("R58", MountState::failed(markup), markup),
                         phone("R59", MountState::mounted("/m/x"), markup)};
        state.ejectNotes["R59"] = markup;
        auto candidate = chargeOnlyPhone();
        candidate.productName = markup;
        state.waitingForFileTransfer = {candidate};
        state.lastError = markup;
        state.loginItemState = app::LoginItem::State::failed(markup);
    });
    platform::MemoryEnvironment environment;
    SetupGuide guide(rig.model, rig.timers, environment);
    guide.show();
    SettingsWindow settings(rig.model, [] {});
    settings.open();
    window.open({});
    testing::UiRig::settle();
    struct Case {
        const char* name;
        const QWidget* widget;
        std::size_t literal; // texts that hold the markup as written, at the least
        std::function<void(view::ModelState&)> change;
    };
    // The rows' names (but for the one cut short), their tooltips, the failure and the note; the guide's
    // failed device once nothing is mounted and no phone waits; the last error and the login item's
    // failure.
    const Case cases[] = {{"menu window", &window, 6, [](view::ModelState&) {}},
                          {"set-up guide", guide.window(), 1,
                           [](view::ModelState& state) {
                               state.devices.pop_back();
                               state.waitingForFileTransfer.clear();
                           }},
                          {"settings", &settings, 2, [](view::ModelState&) {}}};
    for (const auto& each : cases) {
        rig.publish(each.change);
        std::size_t literal = 0;
        for (const auto& text : testing::textsAndToolTips(*each.widget)) {
            if (text.find("big") != std::string::npos) {
                EXPECT_NE(text.find("<font size=40 color=red>big"), std::string::npos)
                    << each.name << ": " << text;
            }
            literal += text.find(markup) != std::string::npos ? 1 : 0;
        }
        EXPECT_GE(literal, each.literal) << each.name;
    }
    guide.window()->close();
    settings.close();
}

TEST_F(MenuWindowTests, Screenshots) {
    const QString folder = QStringLiteral(SCREENSHOT_FOLDER);
    QDir().mkpath(folder);
    std::cout << "screenshots of the menu-bar window in " << folder.toStdString() << std::endl;
    const auto shoot = [&](const char* name, const std::function<void(view::ModelState&)>& change) {
        rig.publish([&](view::ModelState& state) {
            state = {};
            state.extensionEnabled = true;
            state.mountFolder = "/home/me/Tandalo";
            change(state);
        });
        EXPECT_TRUE(window.grab().save(folder + "/" + QString::fromLatin1(name) + ".png"));
    };
    window.open({});
    shoot("no-device", [](view::ModelState&) {});
    shoot("mounted-with-battery", [](view::ModelState& state) {
        state.devices = {phone("R58", MountState::mounted("/home/me/Tandalo/Pixel 7"))};
        state.batteryLevels["R58"] = 76;
        state.menuBarIcon = view::MenuBarIcon::mounted;
    });
    shoot("failed-take-over", [](view::ModelState& state) {
        state.devices = {phone("R58", MountState::failed("In use by Image Capture (ptpcamerad)"))};
        state.holders["R58"] = "Image Capture (ptpcamerad)";
    });
    shoot("charge-only-phone",
          [](view::ModelState& state) { state.waitingForFileTransfer = {chargeOnlyPhone()}; });
    shoot("update-banner", [](view::ModelState& state) {
        state.waitingVersion = "1.4";
        state.devices = {phone("R58", MountState::mounted("/home/me/Tandalo/Pixel 7"))};
        state.batteryLevels["R58"] = 9;
    });
    shoot("extension-off-busy-devices", [](view::ModelState& state) {
        state.extensionEnabled = false;
        state.devices = {
            phone("R58", MountState::mounting()),
            phone("K7", MountState::unmounting(), "Kobo Clara 2E with a rather long name", "Kobo"),
            phone("Z9", MountState::mounted("/m/Z9"), "Galaxy Tab S8", "Samsung"),
            phone("N1", MountState::unmounted(), "Nexus", "")};
        state.ejectNotes["Z9"] = "Still in use. Close files on the device and try again.";
    });
}

} // namespace
} // namespace tandalo::ui
