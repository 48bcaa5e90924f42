// Two processes, as the application and the mount helper run: this test process hosts the bus service
// with a phone, and mount-tandalo, started as its own process with TANDALO_USB_BUS, mounts the phone
// through the kernel. Skipped where /dev/fuse or mounting is not allowed.
#include "ChildProcess.h"
#include "platform/busservice/BusSocket.h"
#include "platform/foundation/MountInfo.h"
#include "simulation/DemoPhone.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/tools/MountedFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace tandalo::tools {
namespace {

namespace fs = std::filesystem;
using simulation::DemoPhone;
using testing::readThrough;
using testing::writeThrough;

constexpr const char* serial = "KRN0001";

void unmount(const fs::path& folder) {
    if (::umount2(folder.c_str(), 0) != 0 && errno == EBUSY) {
        ::umount2(folder.c_str(), MNT_DETACH);
    }
}

class MountedServiceTests : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = testing::fuseUnavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason << ": no FUSE on this machine";
        }
        m_service = simulation::BusService::start(
            m_bus, m_root.path() / "bus" / "usb-bus.sock",
            [this](const busservice::CommandWords& words) { return m_devices.run(words); });
        m_devices.plug({"phone", std::string("serial=") + serial, "video-size=64M"});
        m_phone = m_devices.phone(serial);
        m_storage = m_phone->storages().front().id;
        const auto [status, output] = mountTool(std::string("mtp://") + serial, m_folder);
        if (status != 0 && output.find("not permitted") != std::string::npos) {
            GTEST_SKIP() << "mounting is not permitted here: " << output;
        }
        ASSERT_EQ(status, 0) << output;
    }

    void TearDown() override {
        for (const auto& folder : m_mounted) {
            unmount(folder);
        }
        if (m_service) {
            EXPECT_TRUE(m_service->waitForClients(0)) << "mount-tandalo did not let go of the phone";
        }
    }

    /// Runs mount-tandalo, which returns once the mount is live and leaves a process serving it.
    std::pair<int, std::string> mountTool(const std::string& resource, const fs::path& folder) {
        fs::create_directories(folder);
        auto outcome = testsupport::runToEnd(
            MOUNT_TANDALO_PROGRAM, {"-t", "tandalo", resource, folder.string()},
            {std::string(busservice::socketVariable) + "=" + m_service->socketPath().string()});
        if (outcome.first == 0) {
            m_mounted.push_back(folder);
        }
        return outcome;
    }

    usb::RegistryEntryID interface() const {
        return m_bus->matchingEntries(usb::interfaceClassName).front().id;
    }
    std::optional<std::string> holder() const {
        const auto owner = m_bus->property(interface(), usb::exclusiveOwnerKey);
        return owner ? std::optional(std::get<std::string>(*owner)) : std::nullopt;
    }
    /// The process that serves the mount, as the bus names the holder of the phone's interface.
    pid_t servingProcess() const {
        const auto text = holder().value_or("");
        return text.starts_with("pid ") ? static_cast<pid_t>(std::stol(text.substr(4))) : -1;
    }
    std::string at(const std::string& relative, const fs::path& folder = {}) const {
        return ((folder.empty() ? m_folder : folder) / "Internal shared storage" / relative).string();
    }
    void withinLimit(const std::function<void()>& work) {
        testing::withinLimit([&] { ::umount2(m_folder.c_str(), MNT_FORCE | MNT_DETACH); }, work);
    }

    platform::testing::TemporaryFolder m_root;
    const fs::path m_folder = m_root.path() / serial;
    std::shared_ptr<simulation::SimulatedBus> m_bus = std::make_shared<simulation::SimulatedBus>();
    simulation::ServiceDevices m_devices{m_bus};
    std::shared_ptr<simulation::SimulatedPhone> m_phone;
    std::uint32_t m_storage = 0;
    std::unique_ptr<simulation::BusService> m_service;
    std::vector<fs::path> m_mounted;
};

TEST_F(MountedServiceTests, AnotherProcessMountsTheServicesPhoneAndIsNamedAsItsHolder) {
    withinLimit([&] {
        EXPECT_EQ(readThrough(at("DCIM/Camera/IMG_20261202.jpg")), DemoPhone::photoBytes(2));
        writeThrough(at("Download/from-the-kernel.txt"), "written in one process, stored by another");
        const auto stored = m_phone->find(m_storage, "Download/from-the-kernel.txt");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(m_phone->contentsText(*stored), "written in one process, stored by another");
    });
    const auto pid = servingProcess();
    EXPECT_NE(pid, ::getpid());
    EXPECT_EQ(holder(), "pid " + std::to_string(pid) + ", mount-tandalo");
}

TEST_F(MountedServiceTests, MountsTheApplicationsTokenFiles) {
    unmount(m_folder);
    ASSERT_TRUE(m_service->waitForClients(0));
    const auto tokens = m_root.path() / ".tandalo" / "take-over-1";
    fs::create_directories(tokens);
    const auto token = tokens / (std::string(serial) + ".tandalo");
    std::ofstream{token};
    const auto folder = m_root.path() / "Phone";
    const auto [status, output] = mountTool(token.string(), folder);
    ASSERT_EQ(status, 0) << output;
    withinLimit([&] {
        EXPECT_EQ(readThrough(at("DCIM/Camera/IMG_20261201.jpg", folder)), DemoPhone::photoBytes(1));
    });

    const auto [missingStatus, missingOutput] =
        mountTool((tokens / "nothing.tandalo").string(), m_root.path() / "None");
    EXPECT_EQ(missingStatus, 1);
    EXPECT_NE(missingOutput.find("does not exist"), std::string::npos) << missingOutput;
}

// The phone goes away in the middle of a copy out: pulled out of the bus, or dropping off in the middle
// of a transfer in either direction. The copy fails at once instead of hanging or going on, and the mount
// can still be taken down.
TEST_F(MountedServiceTests, APhoneThatGoesAwayMidCopyFailsTheCopy) {
    const std::vector<std::vector<std::string>> departures{
        {"unplug", serial},
        {"fault", serial, "disconnect", "endpoint=0x81"},
        {"fault", serial, "disconnect", "endpoint=0x02"},
    };
    for (const auto& departure : departures) {
        SCOPED_TRACE(departure.front() + " " + departure.back());
        if (m_bus->matchingEntries(usb::interfaceClassName).empty()) {
            ASSERT_TRUE(m_devices.run({"replug", serial}).succeeded);
            unmount(m_folder);
            m_mounted.clear();
            const auto [status, output] = mountTool(std::string("mtp://") + serial, m_folder);
            ASSERT_EQ(status, 0) << output;
        }
        withinLimit([&] {
            const int file = ::open(at("video.mp4").c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(file, 0) << std::strerror(errno);
            std::vector<char> piece(1u << 20);
            ASSERT_EQ(::read(file, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
            ASSERT_TRUE(m_devices.run(departure).succeeded);
            const auto start = std::chrono::steady_clock::now();
            std::uint64_t total = piece.size();
            ssize_t got = 0;
            while ((got = ::read(file, piece.data(), piece.size())) > 0) {
                total += static_cast<std::uint64_t>(got);
            }
            const int error = errno;
            ::close(file);
            EXPECT_LT(got, 0) << "the copy ended without an error after " << total << " bytes";
            EXPECT_LT(total, 64u << 20);
            EXPECT_NE(error, 0);
            RecordProperty(
                "secondsToFail " + departure.back(),
                std::to_string(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()));
        });
    }
}

// The serving process ends with its unmount, whoever unmounted the folder, rather than serving on for
// nothing. It is not this process's child: it ends when it is gone or only waits to be reaped.
TEST_F(MountedServiceTests, TheServingProcessEndsWithItsUnmount) {
    const auto pid = servingProcess();
    ASSERT_GT(pid, 0);
    withinLimit([&] { EXPECT_EQ(readThrough(at("Download/readme.txt")).size(), 40u); });
    const auto ended = [pid] {
        std::ifstream status("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText;
        std::string name;
        std::string state;
        return !(status >> pidText >> name >> state) || state == "Z";
    };
    const auto start = std::chrono::steady_clock::now();
    unmount(m_folder);
    while (!ended() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(ended()) << "pid " << pid << " still serves 20 s after its unmount";
    RecordProperty(
        "secondsToEnd",
        std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()));
}

TEST_F(MountedServiceTests, ACrashedMountReleasesThePhoneForTheNextOne) {
    const auto pid = servingProcess();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(m_service->waitForClients(0)) << "the service still counts the crashed process";
    EXPECT_FALSE(holder());

    const auto folder = m_root.path() / "Again";
    const auto [status, output] = mountTool(std::string("mtp://") + serial, folder);
    ASSERT_EQ(status, 0) << output;
    withinLimit([&] {
        EXPECT_EQ(readThrough(at("Download/readme.txt", folder)),
                  "This file lives on the simulated phone.\n");
    });
    EXPECT_NE(servingProcess(), pid);
}

// The program that ran the mount tool went away while a slow phone was still being mounted (an application
// that quit meanwhile): nobody knows of the mount that follows, so it is not left behind, live or broken.
TEST_F(MountedServiceTests, AMountWhoseCallerWentAwayIsTakenDownAgain) {
    m_devices.plug({"phone", "serial=LATE", "turnaround=300"});
    const auto folder = m_root.path() / "Late";
    fs::create_directories(folder);
    m_mounted.push_back(folder); // taken down at the end should the test fail
    auto tool = testsupport::ChildProcess::start(
        MOUNT_TANDALO_PROGRAM, {"-t", "tandalo", "mtp://LATE", folder.string()},
        {std::string(busservice::socketVariable) + "=" + m_service->socketPath().string()});
    const auto late = m_bus->matchingEntries(usb::interfaceClassName).back().id;
    withinLimit([&] {
        while (!m_bus->property(late, usb::exclusiveOwnerKey)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    tool.signal(
        SIGKILL); // the phone is open, and each of its answers takes 300 ms: the mount is not live yet
    tool.wait();
    ASSERT_TRUE(m_service->waitForClients(1)) << "the serving process serves on for nobody";
    for (const auto& mount : platform::MountInfo::read()) {
        EXPECT_NE(mount.mountPoint, folder) << "left mounted";
    }
}

} // namespace
} // namespace tandalo::tools
