#pragma once

#include "tests/platform/desktop/support/FakeDBusService.h"

#include "platform/foundation/UniqueFd.h"

#include <cstddef>
#include <vector>

namespace desktop::testing {

/// systemd-logind's manager (org.freedesktop.login1 on the system bus) for tests: Inhibit hands out the
/// write end of a pipe as the lock and keeps the read end, so the test can see how many locks are still
/// held anywhere; the test announces sleep and wake with PrepareForSleep.
class FakeLogind : public FakeDBusService {
public:
    explicit FakeLogind(PrivateBus& systemBus);

    /// How many of the locks handed out are still held by someone.
    std::size_t heldLocks();
    /// Sends PrepareForSleep(goingToSleep).
    void prepareForSleep(bool goingToSleep);

protected:
    QVariantList answer(const Call& call) override;

private:
    std::vector<platform::UniqueFd> m_lockReadEnds;
};

} // namespace desktop::testing
