// The desktop services and the update service's windows need a Qt application on the main thread; these
// tests run its event loop, and feeds are fetched without any proxy.
#include "tests/support/OffscreenTests.h"

#include <QNetworkProxy>

int main(int argc, char** argv) {
    return testsupport::runOffscreenTests(argc, argv,
                                          [] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
}
