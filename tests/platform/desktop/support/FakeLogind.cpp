#include "tests/platform/desktop/support/FakeLogind.h"

#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace desktop::testing {

FakeLogind::FakeLogind(PrivateBus& systemBus)
    : FakeDBusService(systemBus, QStringLiteral("org.freedesktop.login1"),
                      QStringLiteral("/org/freedesktop/login1"),
                      QStringLiteral("org.freedesktop.login1.Manager")) {}

std::size_t FakeLogind::heldLocks() {
    // Nobody writes to the pipes, so a read end that polls as ready has seen its last write end close.
    std::erase_if(m_lockReadEnds, [](const platform::UniqueFd& readEnd) {
        pollfd entry{readEnd.get(), POLLIN, 0};
        return ::poll(&entry, 1, 0) != 0;
    });
    return m_lockReadEnds.size();
}

void FakeLogind::prepareForSleep(bool goingToSleep) {
    emitSignal(QStringLiteral("PrepareForSleep"), {goingToSleep});
}

QVariantList FakeLogind::answer(const Call& call) {
    if (call.member != QLatin1String("Inhibit")) {
        return {};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return {};
    }
    m_lockReadEnds.emplace_back(ends[0]);
    // The reply carries its own duplicate; ours must not keep the lock alive.
    const platform::UniqueFd writeEnd(ends[1]);
    return {QVariant::fromValue(QDBusUnixFileDescriptor(writeEnd.get()))};
}

} // namespace desktop::testing
