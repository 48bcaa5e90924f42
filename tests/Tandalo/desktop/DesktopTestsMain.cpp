// The desktop services and the update service's windows need a Qt application on the main thread, drawn
// offscreen; these tests run its event loop, and feeds are fetched without any proxy.
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
