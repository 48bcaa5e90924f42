// The settings over a fake model: what each section shows as the model changes, what each control does,
// the height that follows the content, and the folder panel over the file dialog.
#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/DialogFolderPanel.h"
#include "Tandalo/ui/SettingsWindow.h"
#include "tests/Tandalo/ui/UiTestSupport.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace tandalo::ui {
namespace {

using testing::texts;

class SettingsWindowTests : public ::testing::Test {
protected:
    testing::UiRig rig;
    int guideRequests = 0;
    SettingsWindow window{rig.model, [this] { ++guideRequests; }};

    void showWindow() {
        window.open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        rig.model.takeCalls();
    }
};

TEST_F(SettingsWindowTests, SectionsFollowTheModelAndTheHeightFollowsThem) {
    showWindow();
    EXPECT_EQ(window.width(), SettingsWindow::fixedWidth);
    EXPECT_EQ(testing::shownText(window.folderPath()->toolTip(), Qt::AutoText), "Not chosen yet");
    EXPECT_EQ(window.extensionLabel()->text(), "Checking…");
    EXPECT_TRUE(window.explanation()->isVisibleTo(&window));
    EXPECT_FALSE(window.loginItemFailure()->isVisibleTo(&window));
    EXPECT_FALSE(window.lastErrorSection()->isVisibleTo(&window));
    EXPECT_FALSE(window.button("Check for Updates…")->isEnabled());
    EXPECT_TRUE(window.button("Change…")->isEnabled());
    EXPECT_EQ(window.version()->text().toStdString(), "Tandalo " + app::appVersionString());
    EXPECT_TRUE(window.autoMountToggle()->isChecked());
    const int threeSections = window.height();

    struct Case {
        std::string name;
        std::function<void(view::ModelState&)> change;
        std::function<void()> check;
    };
    const std::vector<Case> cases{
        {"extension on", [](view::ModelState& state) { state.extensionEnabled = true; },
         [&] {
             EXPECT_EQ(window.extensionLabel()->text(), "Enabled");
             EXPECT_FALSE(window.explanation()->isVisibleTo(&window));
         }},
        {"extension off", [](view::ModelState& state) { state.extensionEnabled = false; },
         [&] {
             EXPECT_EQ(window.extensionLabel()->text(), "Not enabled");
             EXPECT_TRUE(window.explanation()->isVisibleTo(&window));
         }},
        {"launch at login failed",
         [](view::ModelState& state) {
             state.launchAtLogin = false;
             state.loginItemState = app::LoginItem::State::failed("Read-only file system");
         },
         [&] {
             EXPECT_FALSE(window.launchAtLoginToggle()->isChecked());
             EXPECT_TRUE(window.loginItemFailure()->isVisibleTo(&window));
             EXPECT_EQ(window.loginItemFailure()->text(), "Read-only file system");
         }},
        {"a last error", [](view::ModelState& state) { state.lastError = "The phone did not answer."; },
         [&] {
             EXPECT_TRUE(window.lastErrorSection()->isVisibleTo(&window));
             EXPECT_EQ(texts(*window.lastErrorSection()),
                       (std::vector<std::string>{"Last error", "The phone did not answer."}));
             EXPECT_TRUE(window.lastError()->textInteractionFlags() & Qt::TextSelectableByMouse);
             EXPECT_GT(window.height(), threeSections);
         }},
        {"updates and a folder",
         [](view::ModelState& state) {
             state.canCheckForUpdates = true;
             state.autoMount = false;
             state.mountFolder = "/home/me/Tandalo";
         },
         [&] {
             EXPECT_TRUE(window.button("Check for Updates…")->isEnabled());
             EXPECT_FALSE(window.autoMountToggle()->isChecked());
             EXPECT_EQ(window.folderPath()->text(), "/home/me/Tandalo");
         }},
        {"a path too long for its row",
         [](view::ModelState& state) {
             state.mountFolder =
                 "/home/me/Documents/Archive/2026/Devices that I plug in now and then/Tandalo";
         },
         [&] {
             const QString shown = window.folderPath()->text();
             EXPECT_TRUE(shown.startsWith("/home") && shown.endsWith("Tandalo") && shown.contains(u'…'))
                 << shown.toStdString();
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        rig.publish([&](view::ModelState& state) {
            state = {};
            each.change(state);
        });
        each.check();
    }
    rig.publish([](view::ModelState& state) { state = {}; });
    EXPECT_EQ(window.height(), threeSections) << "the sections that went take their height with them";
}

TEST_F(SettingsWindowTests, ControlsGoThroughTheModel) {
    rig.publish([](view::ModelState& state) { state.canCheckForUpdates = true; });
    showWindow();
    QTest::mouseClick(window.autoMountToggle(), Qt::LeftButton);
    QTest::mouseClick(window.launchAtLoginToggle(), Qt::LeftButton);
    for (const char* title :
         {"Change…", "Set-up Page…", "Recheck", "Show setup guide…", "Check for Updates…"}) {
        QAbstractButton* button = window.button(QString::fromUtf8(title));
        ASSERT_NE(button, nullptr) << title;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    EXPECT_EQ(rig.model.takeCalls(),
              (std::vector<std::string>{"autoMount off", "launchAtLogin off", "chooseFolder",
                                        "turnOnExtension", "refreshExtensionStatus", "checkForUpdates"}));
    EXPECT_EQ(guideRequests, 1);
    rig.settle();
    EXPECT_TRUE(window.autoMountToggle()->isChecked()) << "the toggle shows the model's value, not the click";
}

TEST_F(SettingsWindowTests, FolderPanelAsksTheFileDialogAndReturnsTheFolderChosen) {
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Tandalo"));
    const app::FolderPanelRequest request{"Use This Folder", "Choose where connected devices should appear.",
                                          home.path().toStdString(), "Tandalo"};
    struct Case {
        bool accept;
        std::optional<std::filesystem::path> chosen;
    };
    for (const auto& each : std::vector<Case>{{true, home.path().toStdString() + "/Tandalo"}, {false, {}}}) {
        std::vector<std::string> seen;
        DialogFolderPanel panel([&](QFileDialog& dialog) {
            seen = {dialog.windowTitle().toStdString(), dialog.labelText(QFileDialog::Accept).toStdString(),
                    dialog.directory().absolutePath().toStdString(),
                    dialog.fileMode() == QFileDialog::Directory ? "folders" : "files"};
            return each.accept;
        });
        EXPECT_EQ(panel.chooseFolder(request), each.chosen);
        EXPECT_EQ(seen, (std::vector<std::string>{request.message, request.prompt, home.path().toStdString(),
                                                  "folders"}));
    }
}

// Pictures of the settings, to be looked at by a person.
TEST_F(SettingsWindowTests, Screenshots) {
    showWindow();
    std::cout << "screenshots of the settings in " << SCREENSHOT_FOLDER << std::endl;
    rig.publish([](view::ModelState& state) {
        state.extensionEnabled = true;
        state.mountFolder = "/home/me/Tandalo";
        state.canCheckForUpdates = true;
    });
    EXPECT_TRUE(testing::saveScreenshot(window, "settings"));
    rig.publish([](view::ModelState& state) {
        state.extensionEnabled = false;
        state.mountFolder = "/home/me/Documents/Archive/2026/Devices that I plug in now and then/Tandalo";
        state.loginItemState = app::LoginItem::State::failed(
            "Could not write /home/me/.config/autostart/com.brenwick.Tandalo.desktop: Read-only file system");
        state.lastError = "Pixel 7: The phone did not allow access. Unlock it and tap Allow, then try again.";
    });
    EXPECT_TRUE(testing::saveScreenshot(window, "settings-problems"));
}

} // namespace
} // namespace tandalo::ui
