// The set-up guide over a fake model: its one window and what closing and finishing do to it, the status
// checks every 2 s while it is shown, what its steps say and what their buttons do.
#include "Tandalo/core/MountLocation.h"
#include "Tandalo/ui/SetupGuide.h"
#include "tests/Tandalo/ui/UiTestSupport.h"

#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace tandalo::ui {
namespace {

using app::MountState;
using app::NotificationAuthorizationStatus;
using testing::chargeOnlyPhone;
using testing::phone;
using testing::texts;
using view::SetupStep;

class SetupGuideTests : public ::testing::Test {
protected:
    testing::UiRig rig;
    platform::MemoryEnvironment environment;
    SetupGuide guide{rig.model, rig.timers, environment};

    SetupGuideWindow& shownWindow() {
        guide.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(guide.window()));
        return *guide.window();
    }
    bool waitForCalls(std::size_t count) {
        return QTest::qWaitFor([&] { return rig.model.calls.size() >= count; });
    }
};

TEST_F(SetupGuideTests, OneWindowThatClosingKeepsAndFinishingEndsWithStatusChecksOnlyWhileShown) {
    const std::vector<std::string> check{"refreshExtensionStatus", "refreshNotificationStatus"};
    SetupGuideWindow* window = &shownWindow();
    EXPECT_EQ(window->windowTitle(), "Set up Tandalo");
    EXPECT_EQ(window->size(), SetupGuideWindow::contentSize);
    EXPECT_EQ(rig.model.takeCalls(), check) << "checked as soon as it shows";
    for (int pass = 0; pass < 2; ++pass) {
        rig.clock.advance(SetupGuideWindow::statusInterval);
        ASSERT_TRUE(waitForCalls(2));
        EXPECT_EQ(rig.model.takeCalls(), check);
    }

    window->close();
    EXPECT_FALSE(window->isVisible());
    rig.clock.advance(3 * SetupGuideWindow::statusInterval);
    QTest::qWait(5);
    EXPECT_TRUE(rig.model.calls.empty()) << "no checks while hidden";
    EXPECT_EQ(&shownWindow(), window) << "the same window comes back";
    EXPECT_EQ(rig.model.takeCalls(), check);
    guide.show();
    EXPECT_TRUE(rig.model.calls.empty()) << "showing it again in front starts no second round";

    QPointer<SetupGuideWindow> finished = window;
    EXPECT_EQ(window->footerButton()->text(), "Close");
    QTest::mouseClick(window->footerButton(), Qt::LeftButton);
    EXPECT_EQ(rig.model.takeCalls(), std::vector<std::string>{"onboarding completed"});
    EXPECT_EQ(guide.window(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(finished.isNull());
    rig.clock.advance(SetupGuideWindow::statusInterval);
    QTest::qWait(5);
    EXPECT_TRUE(rig.model.calls.empty()) << "an ended window checks nothing";

    window = &shownWindow();
    rig.model.takeCalls();
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(rig.model.takeCalls(), std::vector<std::string>{"onboarding completed"}) << "Return finishes";
}

TEST_F(SetupGuideTests, HeaderStepsAndFooterFollowTheModel) {
    SetupGuideWindow& window = shownWindow();
    EXPECT_EQ(window.title()->text(), "Welcome to Tandalo");
    EXPECT_EQ(texts(*window.step(SetupStep::extension)),
              (std::vector<std::string>{
                  "Turn on the file system extension",
                  "Linux must let you make FUSE mounts once. Open the set-up page to see what "
                  "this computer still lacks for Tandalo and how to add it.",
                  "Waiting for you to switch it on…"}));
    EXPECT_EQ(window.step(SetupStep::folder), nullptr);
    EXPECT_EQ(window.step(SetupStep::allSet), nullptr);

    rig.publish([](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::authorized;
        state.mountFolder = "/home/me/Tandalo";
        state.devices = {phone("R58", MountState::mounted("/m/P"))};
    });
    EXPECT_EQ(window.title()->text(), "Tandalo is set up");
    EXPECT_EQ(window.footerButton()->text(), "Done");
    EXPECT_EQ(texts(*window.step(SetupStep::extension)),
              std::vector<std::string>{"Turn on the file system extension"});
    ASSERT_NE(window.step(SetupStep::allSet), nullptr);

    environment.set(app::MountLocation::sandboxVariable, "");
    rig.publish([](view::ModelState& state) {
        state.mountFolder.reset();
        state.devices.clear();
    });
    ASSERT_NE(window.step(SetupStep::folder), nullptr) << "the environment is read at every change";
    EXPECT_EQ(texts(*window.step(SetupStep::device)),
              (std::vector<std::string>{"Plug in your device", "Choose a folder above first."}));
    EXPECT_EQ(window.step(SetupStep::allSet), nullptr);
    EXPECT_EQ(window.footerButton()->text(), "Close");
}

TEST_F(SetupGuideTests, AStepIsAsHighAsItsContentRightAfterTheContentChanges) {
    SetupGuideWindow& window = shownWindow();
    const QWidget* extension = window.step(SetupStep::extension);
    const QWidget* notifications = window.step(SetupStep::notifications);
    const int gap = notifications->y() - extension->geometry().bottom();
    // Content that goes, comes, changes and goes again; each time the step below follows at once.
    const NotificationAuthorizationStatus statuses[] = {
        NotificationAuthorizationStatus::authorized, NotificationAuthorizationStatus::notDetermined,
        NotificationAuthorizationStatus::denied, NotificationAuthorizationStatus::authorized};
    for (const auto status : statuses) {
        rig.publish([&](view::ModelState& state) {
            state.notificationStatus = status;
            state.canOpenNotificationSettings = true;
        });
        const QWidget* device = window.step(SetupStep::device);
        ASSERT_NE(device, nullptr);
        const int content = notifications->layout()->hasHeightForWidth()
                                ? notifications->layout()->totalHeightForWidth(notifications->width())
                                : notifications->layout()->totalSizeHint().height();
        EXPECT_EQ(notifications->height(), content) << int(status);
        EXPECT_EQ(device->y() - notifications->geometry().bottom(), gap) << int(status);
        if (status == NotificationAuthorizationStatus::authorized) {
            EXPECT_EQ(notifications->height(), 26) << "a step without content is as high as its badge";
        }
    }
}

TEST_F(SetupGuideTests, StepButtonsCallTheModelForTheDeviceAsItIsAtTheClick) {
    struct Case {
        std::string name;
        std::function<void(view::ModelState&)> drawn;
        SetupStep step;
        QString title;
        std::function<void(view::ModelState&)> atClick; // before the window drew it
        std::vector<std::string> calls;
    };
    const auto nothing = [](view::ModelState&) {};
    const auto mountedOn = [](std::filesystem::path folder) {
        return [folder](view::ModelState& state) {
            state.extensionEnabled = true;
            state.devices = {phone("R58", MountState::mounted(folder))};
        };
    };
    const std::vector<Case> cases{
        {"extension", nothing, SetupStep::extension, "Open Set-up Page", nothing, {"turnOnExtension"}},
        {"notifications",
         nothing,
         SetupStep::notifications,
         "Allow Notifications",
         nothing,
         {"requestNotificationAuthorization"}},
        {"notifications off",
         [](view::ModelState& state) {
             state.notificationStatus = NotificationAuthorizationStatus::denied;
             state.canOpenNotificationSettings = true;
         },
         SetupStep::notifications,
         "Open Notification Settings",
         nothing,
         {"openNotificationSettings"}},
        {"folder",
         [](view::ModelState& state) { state.mountFolder.reset(); },
         SetupStep::folder,
         "Choose Folder…",
         nothing,
         {"chooseFolder"}},
        {"failed",
         [](view::ModelState& state) { state.devices = {phone("R58", MountState::failed("No."))}; },
         SetupStep::device,
         "Try Again",
         nothing,
         {"mount R58"}},
        {"unmounted",
         [](view::ModelState& state) { state.devices = {phone("R58", MountState::unmounted())}; },
         SetupStep::device,
         "Mount",
         nothing,
         {"mount R58"}},
        {"unplugged before the click",
         [](view::ModelState& state) { state.devices = {phone("R58", MountState::unmounted())}; },
         SetupStep::device,
         "Mount",
         [](view::ModelState& state) { state.devices.clear(); },
         {}},
        {"mounted",
         mountedOn("/m/P"),
         SetupStep::allSet,
         "Show in File Manager",
         nothing,
         {"openFolder R58 /m/P"}},
        {"mounted elsewhere since",
         mountedOn("/m/P"),
         SetupStep::allSet,
         "Show in File Manager",
         mountedOn("/m/Q"),
         {"openFolder R58 /m/Q"}},
        {"being ejected since",
         mountedOn("/m/P"),
         SetupStep::allSet,
         "Show in File Manager",
         [](view::ModelState& state) { state.devices = {phone("R58", MountState::unmounting())}; },
         {}},
    };
    environment.set(app::MountLocation::sandboxVariable, "tandalo");
    SetupGuideWindow& window = shownWindow();
    for (const auto& each : cases) {
        rig.publish([&](view::ModelState& state) {
            state = {};
            state.mountFolder = "/home/me/Tandalo";
            each.drawn(state);
        });
        QPushButton* button = window.stepButton(each.step);
        ASSERT_NE(button, nullptr) << each.name;
        EXPECT_EQ(button->text(), each.title) << each.name;
        rig.model.publish(each.atClick);
        rig.model.takeCalls();
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(rig.model.takeCalls(), each.calls) << each.name;
        rig.settle();
    }
}

// Pictures of the guide at each step, to be looked at by a person.
TEST_F(SetupGuideTests, Screenshots) {
    SetupGuideWindow& window = shownWindow();
    const auto shoot = [&](const char* name, const std::function<void(view::ModelState&)>& change) {
        rig.publish([&](view::ModelState& state) {
            state = {};
            state.mountFolder = "/home/me/Tandalo";
            change(state);
        });
        EXPECT_TRUE(
            testing::saveScreenshot(window, QStringLiteral("setup-guide-%1").arg(QLatin1String(name))));
    };
    std::cout << "screenshots of the set-up guide in " << SCREENSHOT_FOLDER << std::endl;
    shoot("1-extension-unknown", [](view::ModelState&) {});
    shoot("1-extension-off", [](view::ModelState& state) { state.extensionEnabled = false; });
    shoot("2-notifications-off", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::denied;
    });
    shoot("3-plug-in", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::authorized;
    });
    shoot("3-charge-only", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::authorized;
        state.waitingForFileTransfer = {chargeOnlyPhone()};
    });
    shoot("3-failed", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.devices = {phone("R58", MountState::failed("The phone did not allow access. Unlock it and tap "
                                                         "Allow, then try again."))};
    });
    shoot("3-mounting", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::authorized;
        state.devices = {phone("R58", MountState::mounting())};
    });
    shoot("4-all-set", [](view::ModelState& state) {
        state.extensionEnabled = true;
        state.notificationStatus = NotificationAuthorizationStatus::authorized;
        state.devices = {phone("R58", MountState::mounted("/home/me/Tandalo/Pixel 7"))};
    });
    environment.set(app::MountLocation::sandboxVariable, "");
    shoot("sandboxed-folder", [](view::ModelState& state) {
        state.mountFolder.reset();
        state.extensionEnabled = true;
    });
}

} // namespace
} // namespace tandalo::ui
