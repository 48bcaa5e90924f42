#include <QApplication>
#include <QNetworkProxy>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

QtMessageHandler qtHandler = nullptr;

// The offscreen platform reports every window feature it lacks (raising, size hints) on each show; those
// lines would bury the test output, everything else Qt says is kept.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.startsWith(QLatin1String("This plugin does not support"))) {
        qtHandler(type, context, message);
    }
}

} // namespace

// The update windows are real widgets: they need one QApplication for the whole program, drawn offscreen
// so that tests never open windows on a desktop, and the feeds are fetched without any proxy.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qtHandler = qInstallMessageHandler(messageHandler);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    return RUN_ALL_TESTS();
}
