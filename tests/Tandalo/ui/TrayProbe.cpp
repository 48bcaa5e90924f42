// The application's status item in the status area of a real X display, as it shows a mounted device: once
// the area has taken the icon in and drawn it, prints the icon's place on the screen ("x y width height")
// and saves a picture of the whole screen; exits 3 when no status area turns up in time.
#include "Tandalo/ui/Scene.h"
#include "Tandalo/ui/StatusItem.h"
#include "platform/desktop/ClockTimers.h"
#include "tests/Tandalo/ui/FakeApplicationModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include <iostream>

namespace {

using namespace tandalo;

// Generous, for a machine loaded by many builds; each wait ends as soon as its condition holds.
constexpr int statusAreaLimitMs = 30000;
constexpr int drawnLimitMs = 10000;
constexpr int pollMs = 50;

/// Whether the icon's place on the screen shows anything but one colour.
bool drawn(const QImage& screen, const QRect& icon) {
    const QRgb first = screen.pixel(icon.topLeft());
    for (int y = icon.top(); y <= icon.bottom(); ++y) {
        for (int x = icon.left(); x <= icon.right(); ++x) {
            if (screen.pixel(x, y) != first) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: tandalo-tray-probe <picture.png>\n";
        return 2;
    }
    const QString picture = QString::fromLocal8Bit(argv[1]);
    QElapsedTimer waited;
    waited.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (waited.elapsed() > statusAreaLimitMs) {
            std::cerr << "no status area on the display\n";
            return 3;
        }
        QApplication::processEvents(QEventLoop::AllEvents, pollMs);
    }

    ui::testing::FakeApplicationModel model;
    model.current.menuBarIcon = view::MenuBarIcon::mounted;
    desktop::ClockTimers timers(platform::Clock::system());
    ui::Scene scene(model, timers, ui::SceneActions{}, ui::Scene::StatusArea::available);
    scene.start();

    QRect icon;
    QImage screen;
    QElapsedTimer shown;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        icon = scene.statusItem().trayIcon().geometry();
        if (!icon.isValid() || icon.isEmpty()) {
            if (waited.elapsed() > statusAreaLimitMs) {
                QApplication::exit(3);
            }
            return;
        }
        if (!shown.isValid()) {
            shown.start();
        }
        screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        const QRect onScreen = icon.intersected(screen.rect());
        if ((!onScreen.isEmpty() && drawn(screen, onScreen)) || shown.elapsed() > drawnLimitMs) {
            QApplication::exit(0);
        }
    });
    poll.start();
    const int status = QApplication::exec();
    if (status != 0) {
        std::cerr << "the status area did not take the icon in\n";
        return status;
    }
    if (!screen.save(picture)) {
        std::cerr << "could not save " << picture.toStdString() << "\n";
        return 4;
    }
    std::cout << icon.x() << " " << icon.y() << " " << icon.width() << " " << icon.height() << std::endl;
    return 0;
}
