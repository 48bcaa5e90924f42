// The desktop services need a Qt application object on the main thread, and these tests run its event
// loop; so this program has its own main instead of GoogleTest's. The update service's windows are real
// widgets, drawn offscreen so that tests never open windows on a desktop, and feeds are fetched without
// any proxy.
#include <QApplication>
#include <QNetworkProxy>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    return RUN_ALL_TESTS();
}
