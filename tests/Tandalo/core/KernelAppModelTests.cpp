// The application model with its Linux services against real processes: the bus service program hosts
// the phone, tandalo-busctl plugs and unplugs it, and the model mounts it by running mount-tandalo, which
// serves it through the kernel's FUSE. Files go in and out through the kernel. Needs root and /dev/fuse,
// and is skipped elsewhere.
#include "Corvane/usb/DeviceName.h"
#include "Tandalo/core/AppModel.h"
#include "Tandalo/core/LinuxProcessRunner.h"
#include "Tandalo/core/ManualExecutor.h"
#include "platform/buschoice/ProcessBus.h"
#include "platform/busservice/BusSocket.h"
#include "tests/Tandalo/core/AppFakes.h"
#include "tests/Tandalo/core/KernelRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/tools/MountedFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tandalo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tools::testing::readThrough;
using tools::testing::writeThrough;

constexpr const char* storageFolder = "Internal shared storage";

class KernelAppModelTests : public testing::KernelRig {
protected:
    void SetUp() override {
        KernelRig::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_service.emplace(testsupport::ChildProcess::start(
            TANDALO_BUS_PROGRAM, {"--socket", m_socket.string(), "phone serial=" + m_serial}));
        std::optional<std::string> line;
        while ((line = m_service->readLine()) && !line->starts_with("tandalo-bus: listening on")) {
        }
        ASSERT_TRUE(line) << "the bus service ended before it listened";
        // mount-tandalo inherits both: the bus, and where the extension shares the device status.
        ::setenv(std::string(busservice::socketVariable).c_str(), m_socket.c_str(), 1);
        ::setenv("TANDALO_PREFERENCES_DIR", (m_root.path() / "preferences").c_str(), 1);
        m_bus.emplace(buschoice::processBus(platform::Environment::process()));
        m_suites.standard()->set(MountLocation::bookmarkKey, m_mountFolder.string());
        m_suites.standard()->set(AppModel::hasCompletedOnboardingKey, true);
        fs::create_directories(m_mountFolder);
        m_clock.setWallTime(std::chrono::system_clock::now());
        m_model = AppModel::create(services());
    }

    void TearDown() override {
        m_model.reset();
        KernelRig::TearDown();
        if (m_service) {
            m_service->signal(SIGTERM);
            EXPECT_EQ(m_service->wait(), 0);
        }
        ::unsetenv("TANDALO_PREFERENCES_DIR");
    }

    AppModelServices services() {
        return AppModelServices{m_executor, m_suites,  m_files,     m_table,     m_panel,      m_processes,
                                m_volumes,  m_servers, m_tools,     m_discovery, m_events,     m_extension,
                                m_login,    m_notes,   m_workspace, m_sleep,     m_onboarding, nullptr};
    }

    /// Runs the model until the condition holds, moving its clock on while it waits for a timer (the USB
    /// monitor's settling, a retry); false after 20 s of real time.
    bool eventually(const std::function<bool()>& condition) {
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < limit) {
            if (m_executor.runUntil(condition, 20ms)) {
                return true;
            }
            m_executor.advanceBy(100ms);
        }
        return condition();
    }
    void busctl(const std::vector<std::string>& command) {
        std::vector<std::string> arguments{"--socket", m_socket.string()};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const auto [status, output] = testsupport::runToEnd(TANDALO_BUSCTL_PROGRAM, arguments);
        ASSERT_EQ(status, 0) << output;
    }
    const DeviceEntry* phone() const {
        for (const auto& entry : *m_model->devices) {
            if (entry.id() == m_serial) {
                return &entry;
            }
        }
        return nullptr;
    }
    const fs::path* mountedFolder() const { return phone() ? phone()->state.mountedFolder() : nullptr; }
    /// Whether anything of this test is mounted: other tests mount phones too.
    bool mountedInTable() const {
        const auto rows = m_model->mounter().mounts();
        return std::any_of(rows.begin(), rows.end(), [&](const MountManager::Mount& row) {
            return row.on.string().starts_with(m_root.path().string());
        });
    }
    bool listed() const {
        const auto found = m_discovery.findMTPInterfaces();
        return std::any_of(found.begin(), found.end(), [&](const corvane::USBDeviceDescriptor& device) {
            return device.serialNumber == m_serial;
        });
    }

    const fs::path m_socket = m_root.path() / "bus" / "usb-bus.sock";
    const fs::path m_mountFolder = m_root.path() / "Phones";
    const std::string m_serial = "E2E" + std::to_string(::getpid());
    std::optional<testsupport::ChildProcess> m_service;
    std::optional<usb::ScopedDefaultBus> m_bus;

    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    testing::CallLog m_log;
    FilePreferenceSuites m_suites;
    LinuxFileOperations m_files;
    LinuxMountTable m_table;
    testing::FakeFolderPanel m_panel;
    LinuxProcessRunner m_processes{m_clock};
    LinuxVolumeUnmounter m_volumes{m_processes};
    LinuxVolumeServers m_servers;
    MountTools m_tools{MOUNT_TANDALO};
    mutable RegistryUSBDiscovery m_discovery;
    RegistryInterfaceEvents m_events;
    testing::FakeExtensionStatus m_extension{m_log};
    testing::FakeLoginService m_login{m_log};
    testing::FakeNotificationCenter m_notes{m_log, m_executor};
    testing::FakeWorkspace m_workspace{m_log, m_executor};
    SleepNotifications m_sleep;
    testing::FakeOnboarding m_onboarding{m_log, m_clock};
    std::shared_ptr<AppModel> m_model;
};

TEST_F(KernelAppModelTests, APhoneIsMountedInItsFolderEjectedMountedAgainAndUnpluggedDuringACopy) {
    // Plugged: mounted by itself in its own folder, with the notification.
    ASSERT_TRUE(eventually([&] { return mountedFolder() != nullptr; })) << "the phone was never mounted";
    const auto folder = *mountedFolder();
    EXPECT_EQ(folder.parent_path(), m_mountFolder);
    EXPECT_EQ(m_log.entries("notifications: add"),
              (std::vector<std::string>{"notifications: add tandalo.mounted." + m_serial}));

    // Files in and out through the kernel.
    const auto storage = folder / storageFolder;
    EXPECT_EQ(readThrough((storage / "Download" / "readme.txt").string()),
              "This file lives on the simulated phone.\n");
    const std::string copied = tools::testing::patterned(300'000, 7);
    writeThrough((storage / "Download" / "copied in.bin").string(), copied);

    // Ejected: unmounted, its folder gone.
    m_model->eject(*phone());
    ASSERT_TRUE(eventually([&] { return phone() && phone()->state.isUnmounted(); }));
    EXPECT_FALSE(mountedInTable());
    EXPECT_FALSE(fs::exists(folder));

    // Plugged again: mounted again, and what was copied in is on the phone.
    busctl({"unplug", m_serial});
    ASSERT_TRUE(eventually([&] { return phone() == nullptr; }));
    busctl({"replug", m_serial});
    ASSERT_TRUE(eventually([&] { return mountedFolder() != nullptr; }));
    const auto again = *mountedFolder() / storageFolder;
    EXPECT_EQ(readThrough((again / "Download" / "copied in.bin").string()), copied);

    // Unplugged while a copy onto it runs: the user is warned, the mount and its folder go.
    writeThrough((again / "Download" / "first.bin").string(), copied);
    const int file =
        ::open((again / "Download" / "second.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, copied.data(), 4096), 4096);
    busctl({"unplug", m_serial});
    // The extension dates its writes by the real clock: the model's is set to it once the bus has told.
    ASSERT_TRUE(m_executor.runUntil([&] { return !listed(); }));
    m_clock.setWallTime(std::chrono::system_clock::now());
    ASSERT_TRUE(eventually([&] { return phone() == nullptr && !mountedInTable(); }));
    ::close(file);
    EXPECT_EQ(m_log.entries("notifications: add").back(), "notifications: add tandalo.unplugged." + m_serial);
    EXPECT_TRUE(eventually([&] { return !fs::exists(again.parent_path()); })) << "the folder is cleaned";
}

// Another local user prepares a shared, sticky mount folder (as the system's temporary folder is): a link
// named after the phone into their own folder, and a token folder of theirs whose mode folder is a link
// into the victim's autostart folder. Nothing is written or mounted through either; the phone fails with
// a message that names the place.
TEST_F(KernelAppModelTests, NothingIsWrittenOrMountedThroughWhatAnotherUserPlantedInASharedMountFolder) {
    constexpr uid_t otherUser = 54321;
    ASSERT_EQ(::chmod(m_mountFolder.c_str(), 01777), 0);
    const auto theirs = m_root.path() / "theirs";
    const auto autostart = m_root.path() / "victim" / ".config" / "autostart";
    fs::create_directories(theirs);
    fs::create_directories(autostart);
    const auto plantLink = [&](const fs::path& target, const fs::path& link) {
        fs::create_symlink(target, link);
        ASSERT_EQ(::lchown(link.c_str(), otherUser, otherUser), 0);
    };
    fs::create_directory(m_mountFolder / ".tandalo");
    ASSERT_EQ(::chown((m_mountFolder / ".tandalo").c_str(), otherUser, otherUser), 0);
    plantLink(autostart, m_mountFolder / ".tandalo" / "1");
    const auto found = m_discovery.findMTPInterfaces();
    const auto device =
        std::find_if(found.begin(), found.end(),
                     [&](const corvane::USBDeviceDescriptor& each) { return each.serialNumber == m_serial; });
    ASSERT_NE(device, found.end());
    const auto phoneFolder =
        m_mountFolder /
        corvane::DeviceName::clean(device->productName, device->vendorName, device->serialNumber);
    plantLink(theirs, phoneFolder);

    // First the phone's folder is refused, then, with that link gone, the token folder.
    const std::vector<std::pair<fs::path, std::function<void()>>> rounds{
        {phoneFolder, [] {}},
        {m_mountFolder / ".tandalo",
         [&] {
             fs::remove(phoneFolder);
             busctl({"unplug", m_serial});
             ASSERT_TRUE(eventually([&] { return phone() == nullptr; }));
             busctl({"replug", m_serial});
         }},
    };
    for (const auto& [refused, prepare] : rounds) {
        SCOPED_TRACE(refused.string());
        prepare();
        ASSERT_TRUE(eventually([&] { return phone() && phone()->state.isFailed(); })) << "never failed";
        EXPECT_NE(phone()->state.failureMessage()->find(refused.string()), std::string::npos)
            << *phone()->state.failureMessage();
        EXPECT_FALSE(mountedInTable());
        EXPECT_TRUE(fs::is_empty(theirs));
        EXPECT_TRUE(fs::is_empty(autostart));
    }
}

} // namespace
} // namespace tandalo::app
