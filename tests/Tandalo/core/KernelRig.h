#pragma once

#include "platform/busservice/BusSocket.h"
#include "platform/foundation/MountInfo.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/tools/MountedFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace tandalo::app::testing {

// What the tests that mount through the kernel share: they skip without FUSE or root, and whatever a test
// left mounted under its folder is forced away, so that no mount of a failed test outlives it. A derived
// SetUp returns when this one skipped; the test names the bus in the socket variable, which this unsets.
class KernelRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = tools::testing::fuseUnavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason << ": no FUSE on this machine";
        }
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting through the kernel needs root here";
        }
    }

    void TearDown() override {
        const auto under = m_root.path().string() + "/";
        for (const auto& mount : platform::MountInfo::read()) {
            if (mount.mountPoint.string().starts_with(under)) {
                ::umount2(mount.mountPoint.c_str(), MNT_FORCE | MNT_DETACH);
            }
        }
        ::unsetenv(std::string(busservice::socketVariable).c_str());
    }

    platform::testing::TemporaryFolder m_root;
};

} // namespace tandalo::app::testing
