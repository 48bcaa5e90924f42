#pragma once

#include "platform/fuse/FuseError.h"
#include "platform/usb/USBBus.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/tools/MountedFolder.h"
#include "tools/MountHelper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tandalo::tools::testing {

// The rig of the tests that mount a device in this process and work in its folder through the kernel: it
// skips where FUSE or mounting is not allowed, bounds every piece of work, and shuts the mount down after
// the test. A derived SetUp returns when this one skipped, sets the default bus, then calls mount().
class MountedRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = fuseUnavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason << ": no FUSE on this machine";
        }
    }

    void TearDown() override {
        if (m_mount) {
            EXPECT_NO_THROW(m_mount->shutdown());
            m_mount.reset();
        }
        m_defaultBus.reset();
    }

    /// Mounts the resource on m_folder; the test skips where mounting is not permitted (EPERM).
    void mount(const std::string& resource) {
        try {
            m_mount = mountResource({resource, m_folder.path()});
        } catch (const fusehost::FuseError& error) {
            if (error.code() == EPERM) {
                GTEST_SKIP() << "mounting is not permitted here (EPERM)";
            }
            throw;
        }
    }

    void withinLimit(const std::function<void()>& work) { testing::withinLimit(*m_mount, work); }

    /// A path in the mounted folder, on the device's one storage.
    std::string at(const std::string& relative) const {
        return (m_mount->folder() / m_storageFolder / relative).string();
    }

    std::optional<usb::ScopedDefaultBus> m_defaultBus;
    platform::testing::TemporaryFolder m_folder;
    std::unique_ptr<fusehost::FuseMount> m_mount;
    /// The folder the mount shows for the storage.
    std::string m_storageFolder = "Internal shared storage";
};

} // namespace tandalo::tools::testing
