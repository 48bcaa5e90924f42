// The Linux USB backend against a real kernel USB stack: run inside the machine of scripts/usb-vm, where
// umtprd serves a folder as a USB gadget on the dummy host controller (tests/platform/usbfs/vm/suite.sh
// sets it up and names it in the environment). Everything here is real: sysfs, uevents, usbfs, another
// process's claim, D-Bus. Outside the machine every test skips.
#include "VmHelper.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Corvane/wire/PTPError.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/usbfs/LinuxBus.h"
#include "platform/usbfs/UsbfsDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace usbfs::vm {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

// The machine is real: conditions are polled in real time, up to a limit.
template <typename Predicate> bool eventually(Predicate predicate, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<std::byte> readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::vector<std::byte> result(bytes.size());
    std::memcpy(result.data(), bytes.data(), bytes.size());
    return result;
}

std::vector<std::byte> pattern(std::size_t size, unsigned seed) {
    std::vector<std::byte> bytes(size);
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<std::byte>((index * 2654435761u + seed) >> 13);
    }
    return bytes;
}

std::int64_t number(const usb::RegistryEntry& entry, const char* key) {
    const auto* value = entry.property(key);
    return value == nullptr ? -1 : std::get<std::int64_t>(*value);
}

std::string text(const usb::RegistryEntry& entry, const char* key) {
    const auto* value = entry.property(key);
    return value == nullptr ? std::string() : std::get<std::string>(*value);
}

class KernelUSB : public ::testing::Test {
protected:
    void SetUp() override {
        if (environment("TANDALO_VM_GADGET").empty()) {
            GTEST_SKIP() << "runs inside the USB machine only (scripts/usb-vm-tests)";
        }
        bus = LinuxBus::create();
        defaultBus.emplace(bus);
        // Generous: the harness may be binding the gadget again after umtprd let it go.
        ASSERT_TRUE(eventually([&] { return mtpInterface().has_value(); }, 90s))
            << "the gadget is not on the bus";
        // What a test before did to umtprd on a loaded machine (a reset, transfers ended by their
        // time-outs) can leave it serving no more, and this test would fail for it: an unplug and a plug
        // make it start over.
        for (int attempt = 0; attempt < 3 && Helper({"--answers"}).finish() != 0; ++attempt) {
            unplug();
            plug();
        }
    }

    std::optional<usb::RegistryEntry> mtpInterface() {
        for (auto& entry : bus->matchingEntries(usb::interfaceClassName)) {
            if (number(entry, "bInterfaceClass") == 6) {
                return entry;
            }
        }
        return std::nullopt;
    }

    corvane::USBDeviceDescriptor descriptor() {
        const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces(iokit::MainPort::forBus(bus));
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? corvane::USBDeviceDescriptor{} : found.front();
    }

    fs::path node() { return bus->deviceNode(mtpInterface()->parentID).value_or(""); }

    // Writing the gadget's UDC file binds it to the device controller (a plug); an empty line unbinds it.
    static fs::path udcFile() { return fs::path(environment("TANDALO_VM_GADGET")) / "UDC"; }
    static bool setUDC(const std::string& value) {
        std::ofstream file(udcFile());
        file << value << '\n';
        file.flush();
        return file.good();
    }
    static bool bound() {
        std::string value;
        std::getline(std::ifstream(udcFile()), value);
        return !value.empty();
    }
    // The harness binds the gadget again whenever umtprd unbinds it while the cable is in (gadget.sh):
    // the cable's state changes under the harness's lock, together with the UDC file.
    static bool setCable(bool in) {
        const int fd = ::open(environment("TANDALO_VM_PLUGGED").c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        ::flock(fd, LOCK_EX);
        const bool done = ::pwrite(fd, in ? "1\n" : "0\n", 2, 0) == 2 && (in || !bound() || setUDC(""));
        ::close(fd);
        return done;
    }
    void unplug() { ASSERT_TRUE(setCable(false)); }
    void plug() {
        ASSERT_TRUE(setCable(true));
        // umtprd declares its function anew after an unplug, and unbinds the gadget while it does; until
        // it has, a bind fails or does not last. So the bind is repeated until the device has stayed, with
        // the same entry, for two seconds: the next test must not find it just before it goes again.
        std::optional<usb::RegistryEntryID> seen;
        auto since = std::chrono::steady_clock::now();
        ASSERT_TRUE(eventually(
            [&] {
                if (!bound()) {
                    setUDC(environment("TANDALO_VM_UDC"));
                }
                const auto interface = mtpInterface();
                const auto now = std::chrono::steady_clock::now();
                if (!interface || !bound() || interface->id != seen) {
                    seen = interface ? std::optional(interface->id) : std::nullopt;
                    since = now;
                    return false;
                }
                return now - since >= 2s;
            },
            180s))
            << "the gadget did not come back";
    }

    // A transfer is on its way to the device once the kernel has counted its URB: only then may a test
    // unplug, abort or close under it, which a fixed pause cannot promise on a loaded machine.
    static unsigned long submittedURBs() {
        std::string count;
        std::getline(std::ifstream("/sys/bus/usb/devices/1-1/urbnum"), count);
        return count.empty() ? 0 : std::stoul(count);
    }

    static fs::path store() { return environment("TANDALO_VM_STORE"); }

    std::shared_ptr<LinuxBus> bus;
    std::optional<usb::ScopedDefaultBus> defaultBus;
};

TEST_F(KernelUSB, EnumeratesTheGadgetWithItsDescriptors) {
    const auto interface = *mtpInterface();
    const auto device = bus->entry(interface.parentID);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->className, usb::deviceClassName);
    EXPECT_EQ(number(*device, "idVendor"), 0x18D1);
    EXPECT_EQ(number(*device, "idProduct"), 0x4EE1);
    EXPECT_EQ(text(*device, "USB Serial Number"), "0123456789ABCDEF");
    EXPECT_EQ(text(*device, "USB Product Name"), "VM Phone");
    EXPECT_EQ(text(*device, "USB Vendor Name"), "VM Maker");
    EXPECT_EQ(number(*device, "Device Speed"), 2); // high speed
    EXPECT_EQ(number(*device, "locationID"), 0x01100000);

    EXPECT_EQ(number(interface, "bInterfaceSubClass"), 1);
    EXPECT_EQ(number(interface, "bInterfaceProtocol"), 1);
    EXPECT_EQ(number(interface, "bInterfaceNumber"), 0);
    EXPECT_EQ(text(interface, "USB Interface Name"), "MTP");
    EXPECT_EQ(bus->children(device->id), std::vector{interface});

    const auto endpoints = bus->endpoints(interface.id);
    ASSERT_EQ(endpoints.size(), 3u);
    EXPECT_EQ(endpoints[0].address, 0x81);
    EXPECT_EQ(endpoints[0].transferType(), usb::TransferType::bulk);
    EXPECT_EQ(endpoints[0].packetSize(), 512u);
    EXPECT_EQ(endpoints[1].direction(), usb::Direction::out);
    EXPECT_EQ(endpoints[1].transferType(), usb::TransferType::bulk);
    EXPECT_EQ(endpoints[2].direction(), usb::Direction::in);
    EXPECT_EQ(endpoints[2].transferType(), usb::TransferType::interrupt);

    const auto found = descriptor();
    EXPECT_EQ(found.registryEntryID, interface.id);
    EXPECT_EQ(found.serialNumber, "0123456789ABCDEF");
    EXPECT_EQ(found.interfaceName, "MTP");
    EXPECT_EQ(mtpInterface()->id, interface.id) << "an entry keeps its ID while the device stays";
}

class KernelTransports : public KernelUSB, public ::testing::WithParamInterface<corvane::TransportKind> {};

TEST_P(KernelTransports, RunAWholeSession) {
    const auto device = corvane::MTPDevice::connect(descriptor(), GetParam());
    const auto info = device->hold()->open();
    EXPECT_EQ(info.manufacturer, "VM Maker");
    const auto storages = device->hold()->getStorages();
    ASSERT_FALSE(storages.empty());
    const std::uint32_t storage = storages.front().id;

    const auto root = device->hold()->listDirectory(storage, 0xFFFFFFFF);
    const auto seed =
        std::find_if(root.begin(), root.end(), [](const auto& each) { return each.name() == "seed"; });
    ASSERT_NE(seed, root.end());
    const auto children = device->hold()->listDirectory(storage, seed->handle());
    const auto big = std::find_if(children.begin(), children.end(),
                                  [](const auto& each) { return each.name() == "big.bin"; });
    ASSERT_NE(big, children.end());

    // Whole and partial reads, against the folder's own bytes.
    const auto expected = readFile(store() / "seed" / "big.bin");
    const auto urbsBefore = submittedURBs();
    std::vector<std::byte> received;
    device->hold()->getObject(big->handle(), [&](std::span<const std::byte> chunk) {
        received.insert(received.end(), chunk.begin(), chunk.end());
    });
    const auto urbsAfter = submittedURBs();
    EXPECT_EQ(received, expected);
    // A megabyte is one request: 16 KiB pieces would need over 300 for this object.
    EXPECT_LT(urbsAfter - urbsBefore, 16u) << "URBs for a " << expected.size() << "-byte GetObject";
    const auto partial = device->hold()->readPartial(big->handle(), 1'000'000, 70'000);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), expected.begin() + 1'000'000));
    EXPECT_EQ(partial.size(), 70'000u);

    // Send, rename and delete, checked in the folder the device serves.
    const auto sent = pattern(2 * 1024 * 1024 + 7, static_cast<unsigned>(GetParam()));
    const std::string name =
        GetParam() == corvane::TransportKind::iousbLib ? "sent-lib.bin" : "sent-host.bin";
    const auto handle = device->exclusive([&](auto& session) {
        const auto created = session.createFile(storage, seed->handle(), name, sent.size(), std::nullopt);
        session.sendObject(sent);
        return created;
    });
    EXPECT_TRUE(eventually([&] { return readFile(store() / "seed" / name) == sent; }, 5s));
    device->hold()->rename(handle, "renamed-" + name);
    EXPECT_TRUE(eventually([&] { return fs::exists(store() / "seed" / ("renamed-" + name)); }, 5s));
    device->hold()->deleteObject(handle);
    EXPECT_TRUE(eventually([&] { return !fs::exists(store() / "seed" / ("renamed-" + name)); }, 5s));
    device->close();
}

INSTANTIATE_TEST_SUITE_P(BothTransports, KernelTransports,
                         ::testing::Values(corvane::TransportKind::iousbLib,
                                           corvane::TransportKind::iousbHost));

TEST_F(KernelUSB, UnbindingAndRebindingTheGadgetIsAnUnplugAndAPlug) {
    std::mutex mutex;
    std::vector<usb::RegistryEvent> events;
    const auto record = [&](const usb::RegistryEvent& event) {
        std::lock_guard guard(mutex);
        events.push_back(event);
    };
    const auto devices = bus->subscribe(usb::deviceClassName, record);
    const auto interfaces = bus->subscribe(usb::interfaceClassName, record);
    const auto before = *mtpInterface();
    const auto count = [&] {
        std::lock_guard guard(mutex);
        return events.size();
    };

    unplug();
    ASSERT_TRUE(eventually([&] { return count() >= 2; })) << "no terminations";
    plug();
    ASSERT_TRUE(eventually([&] { return count() >= 4; })) << "no publications";
    bus->unsubscribe(devices.id);
    bus->unsubscribe(interfaces.id);

    std::lock_guard guard(mutex);
    using Kind = usb::RegistryEvent::Kind;
    // On a loaded machine umtprd may unbind the gadget once more while it deals with the unplug, and
    // plug() binds it again: any events after the first four are that, an unplug and a plug of their own.
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.size() % 4, 0u);
    EXPECT_EQ(events[0].kind, Kind::terminated);
    EXPECT_EQ(events[0].entry.id, before.id) << "the interface goes first";
    EXPECT_EQ(events[1].kind, Kind::terminated);
    EXPECT_EQ(events[1].entry.id, before.parentID);
    EXPECT_EQ(events[2].kind, Kind::published);
    EXPECT_EQ(events[2].entry.className, usb::deviceClassName) << "the device comes first";
    EXPECT_EQ(events[3].kind, Kind::published);
    EXPECT_EQ(events[3].entry.parentID, events[2].entry.id);
    EXPECT_GT(events[3].entry.id, before.id) << "a device that came back has new IDs";
}

TEST_F(KernelUSB, AnUnplugEndsATransferAtOnceWithNotAttached) {
    const auto interface = *mtpInterface();
    const auto handle = bus->open(interface.id, usb::OpenMode::exclusive);
    std::optional<usb::Status> ended;
    std::string message;
    std::chrono::steady_clock::duration took{};
    const auto submitted = submittedURBs();
    std::jthread reader([&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::byte> buffer(512);
        try {
            bus->readPipe(handle, 0x81, std::span(buffer), usb::Timeout(60'000));
        } catch (const usb::USBError& error) {
            ended = error.status();
            message = error.what();
        }
        took = std::chrono::steady_clock::now() - start;
    });
    ASSERT_TRUE(eventually([&] { return submittedURBs() > submitted; })) << "the read never went out";
    unplug();
    reader.join();
    bus->close(handle);
    EXPECT_EQ(ended, usb::Status::noDevice) << message;
    EXPECT_LT(took, 5s) << "the read waited for its time-out instead";
    plug();
}

TEST_F(KernelUSB, AbortAndCloseFromAnotherThreadEndATransferAtOnce) {
    const auto interface = *mtpInterface();
    const auto handle = bus->open(interface.id, usb::OpenMode::exclusive);
    for (const bool byClose : {false, true}) {
        std::optional<usb::Status> ended;
        const auto submitted = submittedURBs();
        std::jthread reader([&] {
            std::vector<std::byte> buffer(1024 * 1024);
            try {
                bus->readPipe(handle, 0x81, std::span(buffer), usb::Timeout(60'000));
            } catch (const usb::USBError& error) {
                ended = error.status();
            }
        });
        ASSERT_TRUE(eventually([&] { return submittedURBs() > submitted; })) << "the read never went out";
        const auto start = std::chrono::steady_clock::now();
        if (byClose) {
            bus->close(handle);
        } else {
            bus->abortPipe(handle, 0x81);
        }
        reader.join();
        EXPECT_EQ(ended, usb::Status::aborted) << (byClose ? "close" : "abort");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

// While a read waits on the device, whichever thread reaps for the node must hand the others' transfers
// over to them, and an abort must still reach the waiting read.
TEST_F(KernelUSB, TransfersEndWhileAnotherThreadWaitsOnTheDevice) {
    const auto interface = *mtpInterface();
    const auto handle = bus->open(interface.id, usb::OpenMode::exclusive);
    for (const auto& waiting : bus->endpoints(interface.id)) {
        if (waiting.direction() != usb::Direction::in) {
            continue;
        }
        SCOPED_TRACE(static_cast<int>(waiting.address));
        std::optional<usb::Status> ended;
        const auto submitted = submittedURBs();
        std::jthread reader([&] {
            std::vector<std::byte> buffer(waiting.packetSize());
            try {
                bus->readPipe(handle, waiting.address, std::span(buffer), usb::Timeout(60'000));
            } catch (const usb::USBError& error) {
                ended = error.status();
            }
        });
        ASSERT_TRUE(eventually([&] { return submittedURBs() > submitted; })) << "the read never went out";
        const auto start = std::chrono::steady_clock::now();
        for (int request = 0; request < 3; ++request) {
            EXPECT_GE(bus->controlRequest(handle, {0xA1, 0x67, 0, 0, 64}, {}, usb::Timeout(5000)).size(), 4u);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        bus->abortPipe(handle, waiting.address);
        reader.join();
        EXPECT_EQ(ended, usb::Status::aborted);
    }
    bus->close(handle);
}

// A transfer looks its open up, then submits; a close on another thread may come between the two. The
// transfer must then fail at once, not go out on the claim the close gave back (usbfs would quietly take
// it again) and hold the interface until its time-out.
TEST_F(KernelUSB, ATransferOfAnOwnerWhoseTransfersWereAllAbortedFailsAtOnce) {
    const auto usbfs = UsbfsDevice::open(node(), platform::Clock::system());
    usbfs->claimInterface(static_cast<std::uint8_t>(number(*mtpInterface(), "bInterfaceNumber")));
    usbfs->abort(1, std::nullopt, usb::Status::aborted);
    usbfs->abort(2, 0x81, usb::Status::aborted);
    struct Case {
        std::uint64_t owner;
        usb::Status status;
    };
    for (const auto& each : {Case{1, usb::Status::aborted}, Case{2, usb::Status::timeout}}) {
        SCOPED_TRACE(each.owner);
        std::vector<std::byte> buffer(512);
        std::optional<usb::Status> ended;
        const auto start = std::chrono::steady_clock::now();
        try {
            usbfs->transfer(UsbfsDevice::TransferType::bulk, 0x81, buffer, usb::Timeout(3000), each.owner,
                            "readPipe");
        } catch (const usb::USBError& error) {
            ended = error.status();
        }
        EXPECT_EQ(ended, each.status);
        EXPECT_LT(std::chrono::steady_clock::now() - start, each.status == usb::Status::timeout ? 10s : 1s);
    }
}

TEST_F(KernelUSB, ClassRequestsHaltsAndTimeOutsReachTheDevice) {
    const auto interface = *mtpInterface();
    const auto handle = bus->open(interface.id, usb::OpenMode::exclusive);
    // Get Device Status answers with its length, then the response code "OK" (0x2001).
    const auto status = bus->controlRequest(handle, {0xA1, 0x67, 0, 0, 64}, {}, usb::Timeout(5000));
    ASSERT_GE(status.size(), 4u);
    EXPECT_EQ(std::to_integer<int>(status[2]) | std::to_integer<int>(status[3]) << 8, 0x2001);
    EXPECT_NO_THROW(bus->controlRequest(handle, {0x21, 0x66, 0, 0, 0}, {}, usb::Timeout(5000)))
        << "Device Reset";
    for (const auto& endpoint : bus->endpoints(interface.id)) {
        EXPECT_NO_THROW(bus->clearStall(handle, endpoint.address));
        if (endpoint.direction() != usb::Direction::in) {
            continue;
        }
        // Nothing to read on either IN pipe, bulk or interrupt: the read ends at its time-out.
        std::vector<std::byte> buffer(endpoint.packetSize());
        try {
            bus->readPipe(handle, endpoint.address, std::span(buffer), usb::Timeout(200));
            ADD_FAILURE() << "a read returned without data to read";
        } catch (const usb::USBError& error) {
            EXPECT_EQ(error.status(), usb::Status::timeout) << error.what();
        }
    }
    bus->close(handle);
}

struct HolderCase {
    const char* name;
    bool isCameraService;
};

class KernelHolders : public KernelUSB, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(KernelHolders, AnotherProgramsClaimIsNamedRefusedAndTakenOnlyWhenAllowed) {
    const auto interface = *mtpInterface();
    Helper holder({"--hold", GetParam().name, node().string(), "0"});
    ASSERT_EQ(holder.readLine(), "held");

    const std::string owner = "pid " + std::to_string(holder.pid()) + ", " + GetParam().name;
    EXPECT_EQ(bus->property(interface.id, usb::exclusiveOwnerKey), usb::PropertyValue(owner));
    const auto found = descriptor();
    const auto held = corvane::USBDeviceDiscovery::holder(found, iokit::MainPort::forBus(bus));
    ASSERT_TRUE(held);
    EXPECT_EQ(held->pid, holder.pid());
    EXPECT_EQ(corvane::USBDeviceDiscovery::isCameraService(held->name), GetParam().isCameraService);

    try {
        bus->open(interface.id, usb::OpenMode::exclusive);
        ADD_FAILURE() << "opened an interface another program holds";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::exclusiveAccess);
        EXPECT_NE(std::string(error.what()).find(owner), std::string::npos) << error.what();
    }
    EXPECT_THROW(corvane::IOUSBLibTransport::open(found, corvane::TakeOver::never), corvane::PTPError);

    const auto policy =
        GetParam().isCameraService ? corvane::TakeOver::fromCameraService : corvane::TakeOver::fromAnyone;
    if (!GetParam().isCameraService) {
        EXPECT_THROW(corvane::IOUSBLibTransport::open(found, corvane::TakeOver::fromCameraService),
                     corvane::PTPError);
    }
    auto transport = corvane::IOUSBLibTransport::open(found, policy);
    corvane::MTPDevice device(std::move(transport), found);
    EXPECT_EQ(device.hold()->open().manufacturer, "VM Maker") << "the taken interface works";
    const auto now = *mtpInterface();
    EXPECT_EQ(bus->property(now.id, usb::exclusiveOwnerKey),
              usb::PropertyValue("pid " + std::to_string(::getpid()) + ", " +
                                 platform::processName(::getpid()).value_or("")));
    device.close();
}

INSTANTIATE_TEST_SUITE_P(Holders, KernelHolders,
                         ::testing::Values(HolderCase{"holder-test", false}, HolderCase{"gvfsd-mtp", true},
                                           HolderCase{"gvfsd-gphoto2", true}));

TEST_F(KernelUSB, TheDesktopsMTPServiceIsAskedToUnmountBeforeAnythingIsTaken) {
    if (environment("DBUS_SESSION_BUS_ADDRESS").empty()) {
        GTEST_SKIP() << "no session bus in this machine";
    }
    Helper service({"--gvfs", "gvfsd-mtp", node().string(), "0"});
    ASSERT_EQ(service.readLine(), "held");
    auto transport = corvane::IOUSBLibTransport::open(descriptor(), corvane::TakeOver::fromCameraService);
    EXPECT_EQ(service.readLine(5s), "unmounted") << "the service was not asked to let go";
    corvane::MTPDevice device(std::move(transport), descriptor());
    EXPECT_NO_THROW(device.hold()->open());
    device.close();
}

TEST_F(KernelUSB, AUserWithoutAccessToTheNodeIsToldWhichNodeAndWhatToDo) {
    Helper user({"--open-as-nobody"});
    const auto message = user.readLine().value_or("");
    EXPECT_EQ(user.finish(), 0) << message;
    EXPECT_NE(message.find(node().string()), std::string::npos) << message;
    EXPECT_NE(message.find("udev rule"), std::string::npos) << message;
}

TEST_F(KernelUSB, AResetDropsAnotherProgramsClaim) {
    Helper holder({"--hold", "holder-test", node().string(), "0"});
    ASSERT_EQ(holder.readLine(), "held");
    ASSERT_TRUE(bus->property(mtpInterface()->id, usb::exclusiveOwnerKey).has_value());
    UsbfsDevice::open(node(), platform::Clock::system())->reset();
    EXPECT_TRUE(
        eventually([&] { return !bus->property(mtpInterface()->id, usb::exclusiveOwnerKey).has_value(); }));
}

} // namespace

} // namespace usbfs::vm

int main(int argc, char** argv) {
    if (const auto status = usbfs::vm::runHelperMode(argc, argv)) {
        return *status;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
