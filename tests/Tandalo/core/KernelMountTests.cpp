// The mount manager against real mounts through the kernel, as the application makes them: this test
// hosts the bus service with its phones, and mount-tandalo, run by the mount manager as a process of its
// own, finds them through TANDALO_USB_BUS. They need root and /dev/fuse, and are skipped elsewhere.
#include "Tandalo/core/MountManager.h"

#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Tandalo/core/LinuxProcessRunner.h"
#include "Tandalo/core/ManualExecutor.h"
#include "platform/busservice/BusSocket.h"
#include "platform/foundation/Unicode.h"
#include "platform/usb/USBBus.h"
#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedPhone.h"
#include "simulation/service/BusService.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/Tandalo/core/KernelRig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using corvane::TakeOver;

constexpr const char* storageFolder = "Internal shared storage";

class KernelMountTests : public testing::KernelRig {
protected:
    void SetUp() override {
        KernelRig::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_service = simulation::BusService::start(m_bus, m_root.path() / "bus" / "usb-bus.sock");
        // The application's environment names the bus, and the mount tool inherits it.
        ::setenv(std::string(busservice::socketVariable).c_str(), m_service->socketPath().c_str(), 1);
        m_defaultBus.emplace(m_bus);
        // A serial number of its own: the mount table is the machine's, and other tests mount phones too.
        plug("KERNEL" + std::to_string(::getpid()), "readme.txt");
    }
    void TearDown() override {
        KernelRig::TearDown();
        if (m_service) {
            EXPECT_TRUE(m_service->waitForClients(0)) << "a mount-tandalo did not let go of its phone";
        }
    }

    /// Plugs a phone whose storage holds one file of that name.
    void plug(const std::string& serial, const std::string& file) {
        auto phone = std::make_shared<simulation::SimulatedPhone>();
        const auto storage = phone->addStorage();
        phone->addFile(storage, simulation::SimulatedPhone::root, file, std::string_view("here"));
        simulation::PhoneUSBIdentity identity;
        identity.serialNumber = serial;
        m_plugged.push_back(simulation::plugPhone(*m_bus, phone, identity));
        m_phones.push_back(std::move(phone));
    }
    corvane::USBDeviceDescriptor attached(const std::string& serial) const {
        for (const auto& device : corvane::USBDeviceDiscovery::findMTPInterfaces()) {
            if (device.serialNumber == serial) {
                return device;
            }
        }
        throw std::runtime_error("no device " + serial);
    }
    template <typename T> testing::Outcome<T> finish(Task<T> task) {
        testing::Outcome<T> outcome;
        bool finished = false;
        spawn(m_executor, testing::capture(std::move(task), outcome, finished));
        EXPECT_TRUE(m_executor.runUntil([&] { return finished; }));
        return outcome;
    }
    testing::Outcome<std::filesystem::path> mount(const corvane::USBDeviceDescriptor& device,
                                                  const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        auto made = finish(m_manager.mount(device, folder, true, TakeOver::fromCameraService));
        return {made.value ? std::optional(made.value->folder) : std::nullopt, made.error};
    }

    std::shared_ptr<simulation::SimulatedBus> m_bus = std::make_shared<simulation::SimulatedBus>();
    std::vector<std::shared_ptr<simulation::SimulatedPhone>> m_phones;
    std::vector<simulation::PluggedDevice> m_plugged;
    std::unique_ptr<simulation::BusService> m_service;
    std::optional<usb::ScopedDefaultBus> m_defaultBus;
    const std::string m_serialNumber = "KERNEL" + std::to_string(::getpid());
    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    LinuxProcessRunner m_processes{m_clock};
    LinuxMountTable m_table;
    LinuxFileOperations m_files;
    LinuxVolumeUnmounter m_volumes{m_processes};
    LinuxVolumeServers m_servers;
    MountManager m_manager{MountServices{m_processes, m_table, m_files, m_volumes, m_servers, m_clock},
                           MountTools{MOUNT_TANDALO}};
};

// Serial numbers that would reach outside the token folder or change a URL's host, each on a phone of its
// own: the application's token file reaches the extension through mount-tandalo, the extension finds that
// phone, and the mount table names it again.
TEST_F(KernelMountTests, EverySerialNumberMountsItsOwnPhoneAndIsFoundInTheMountTable) {
    const std::vector<std::string> serials{"/", "..", ".", "?", "#", "@", ":", " ", "a/../../b c", "any"};
    for (std::size_t index = 0; index < serials.size(); ++index) {
        plug(serials[index], "phone " + std::to_string(index));
    }
    for (std::size_t index = 0; index < serials.size(); ++index) {
        SCOPED_TRACE(serials[index]);
        const auto folder = m_root.path() / ("folder " + std::to_string(index));
        const auto device = attached(serials[index]);
        const auto mounted = mount(device, folder);
        ASSERT_EQ(mounted.value, folder) << mounted.errorText();
        EXPECT_TRUE(std::filesystem::exists(folder / storageFolder / ("phone " + std::to_string(index))));
        EXPECT_EQ(m_manager.existingMount(device), folder);
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_root.path() / ".tandalo")) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(entry.path().parent_path(), m_root.path() / ".tandalo" / "1") << entry.path();
        }
    }
}

TEST_F(KernelMountTests, UnmountsAndRemovesTheFolderOnlyWhenNothingIsLeftInIt) {
    const auto device = attached(m_serialNumber);
    for (const bool withFile : {false, true}) {
        SCOPED_TRACE(withFile ? "with a file" : "empty");
        const auto folder = m_root.path() / "Phone";
        std::filesystem::create_directories(folder);
        if (withFile) {
            std::ofstream(folder / "kept.txt") << "put here while nothing was mounted";
        }
        ASSERT_EQ(mount(device, folder).value, folder);
        EXPECT_TRUE(m_manager.isMounted(device, folder));
        EXPECT_TRUE(finish(m_manager.unmountVolume(folder)).value);
        EXPECT_EQ(m_manager.existingMount(device), std::nullopt);
        EXPECT_EQ(std::filesystem::exists(folder / "kept.txt"), withFile);
        EXPECT_EQ(std::filesystem::exists(folder), withFile);
        // The serving process ends once its folder is unmounted, and lets go of the phone.
        EXPECT_TRUE(m_service->waitForClients(0));
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_root.path() / ".tandalo")) {
            EXPECT_FALSE(entry.is_regular_file()) << entry.path() << " is left";
        }
    }
}

TEST_F(KernelMountTests, AFileInUseStopsTheNormalUnmountButNotTheForcedOne) {
    const auto device = attached(m_serialNumber);
    const auto folder = m_root.path() / "Phone";
    ASSERT_EQ(mount(device, folder).value, folder);
    const int open = ::open((folder / storageFolder / "readme.txt").c_str(), O_RDONLY);
    ASSERT_GE(open, 0) << std::strerror(errno);
    const auto refused = finish(m_manager.unmountVolume(folder));
    EXPECT_NE(refused.errorText().find("busy"), std::string::npos) << refused.errorText();
    EXPECT_EQ(m_manager.existingMount(device), folder);
    EXPECT_TRUE(finish(m_manager.forceUnmount(folder)).value);
    EXPECT_EQ(m_manager.existingMount(device), std::nullopt);
    char byte = 0;
    EXPECT_LT(::read(open, &byte, 1), 0) << "the open file went with the connection";
    ::close(open);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(KernelMountTests, ASecondMountOfAMountedDeviceIsRefusedWithWhereItIsMounted) {
    const auto device = attached(m_serialNumber);
    const auto folder = m_root.path() / "Phone";
    ASSERT_EQ(mount(device, folder).value, folder);
    std::filesystem::create_directories(m_root.path() / "Again");
    const auto again = finish(run(m_processes, ProcessCommand{MOUNT_TANDALO,
                                                              {"-t", "tandalo", "mtp://" + m_serialNumber,
                                                               (m_root.path() / "Again").string()}}));
    ASSERT_TRUE(again.value);
    EXPECT_NE(again.value->status, 0);
    EXPECT_EQ(again.value->output, "mount-tandalo: Simulated Phone is already mounted at " + folder.string() +
                                       ": Text file busy\n");
}

// A mount whose mount-tandalo was killed stays in the mount table and answers ENOTCONN: mount-tandalo says
// so of the folder, which the stale-folder rule reads, and the next mount takes it down and mounts anew.
TEST_F(KernelMountTests, AMountWhoseServerWasKilledIsSeenDeadAndMountedAnew) {
    const auto device = attached(m_serialNumber);
    const auto folder = m_root.path() / "Phone";
    std::filesystem::create_directories(folder);
    const auto made = finish(m_manager.mount(device, folder, true, TakeOver::fromCameraService));
    ASSERT_TRUE(made.value && made.value->server) << made.errorText();
    EXPECT_EQ(m_servers.serverOf(folder, MOUNT_TANDALO), made.value->server) << "found as it serves";
    std::promise<void> ended;
    const auto watch = m_servers.watchProcess(*made.value->server, [&ended] { ended.set_value(); });
    ASSERT_EQ(::kill(*made.value->server, SIGKILL), 0) << std::strerror(errno);
    ASSERT_EQ(ended.get_future().wait_for(20s), std::future_status::ready) << "its end was not seen";
    struct stat status {};
    EXPECT_NE(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(m_manager.existingMount(device), folder) << "a dead mount stays in the table";
    ASSERT_TRUE(m_service->waitForClients(0)) << "the killed process let go of the phone";

    const auto again = finish(
        run(m_processes,
            ProcessCommand{MOUNT_TANDALO, {"-t", "tandalo", "mtp://" + m_serialNumber, folder.string()}}));
    ASSERT_TRUE(again.value);
    EXPECT_EQ(again.value->output,
              "mount-tandalo: mount folder " + folder.string() + ": Transport endpoint is not connected\n");
    EXPECT_TRUE(
        MountManager::findingsOf(platform::unicode::lowercased(again.value->output)).isStaleMountPoint);

    EXPECT_EQ(finish(m_manager.hasLostServer(folder)).value, true);
    const auto anew = finish(m_manager.mount(device, folder, true, TakeOver::fromCameraService));
    ASSERT_TRUE(anew.value) << anew.errorText();
    EXPECT_EQ(anew.value->folder, folder);
    EXPECT_TRUE(std::filesystem::exists(folder / storageFolder / "readme.txt"));
    EXPECT_EQ(finish(m_manager.hasLostServer(folder)).value, false);
}

// What mount-tandalo prints for a device that is on no bus it can see becomes the application's message.
TEST_F(KernelMountTests, WhatMountTandaloPrintsForAMissingDeviceBecomesTheMessage) {
    const auto outcome = mount(testing::device("NOT-ON-THE-BUS"), m_root.path() / "Missing");
    EXPECT_EQ(outcome.errorText(),
              "The device didn't answer. Unlock it and make sure USB mode is set to File Transfer.");
}

} // namespace
} // namespace tandalo::app
