#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

namespace testsupport {

namespace detail {
inline QtMessageHandler qtHandler = nullptr;

// The offscreen platform reports every window feature it lacks (raising, size hints) on each show; those
// lines would bury the test output, everything else Qt says is kept.
inline void offscreenMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.startsWith(QLatin1String("This plugin does not support"))) {
        detail::qtHandler(type, context, message);
    }
}
} // namespace detail

/// Runs a test program's tests in one QApplication on the main thread, drawn offscreen so that tests never
/// open windows on a desktop; setUp runs once the application exists.
template <typename SetUp> int runOffscreenTests(int argc, char** argv, SetUp setUp) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    detail::qtHandler = qInstallMessageHandler(detail::offscreenMessages);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    setUp();
    return RUN_ALL_TESTS();
}

} // namespace testsupport
