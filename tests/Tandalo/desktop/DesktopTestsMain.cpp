// The desktop services need a Qt application object on the main thread, and these tests run its event
// loop; so this program has its own main instead of GoogleTest's.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
