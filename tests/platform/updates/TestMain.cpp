#include "tests/support/OffscreenTests.h"

#include <QNetworkProxy>

// The update windows are real widgets; the feeds are fetched without any proxy.
int main(int argc, char** argv) {
    return testsupport::runOffscreenTests(argc, argv,
                                          [] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
}
