#include "SysfsFixture.h"

#include "platform/foundation/Guarded.h"
#include "platform/usbfs/LinuxBus.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/socket.h>
#include <tuple>

namespace usbfs {
namespace {

using Kind = usb::RegistryEvent::Kind;

std::optional<std::string> commOf(const std::filesystem::path& proc, pid_t pid) {
    std::string name;
    std::getline(std::ifstream(proc / std::to_string(pid) / "comm"), name);
    return name.empty() ? std::nullopt : std::optional(name);
}

// A LinuxBus over a fixture tree, with the kernel's uevent socket replaced by a socket pair whose other
// end the test writes to.
class LinuxBusTests : public ::testing::Test {
protected:
    void SetUp() override {
        tree.addPhone("1-1", 1, 2);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
        kernel = platform::UniqueFd(pair[0]);
        LinuxBusOptions options;
        options.sysfsRoot = tree.sysfs();
        options.deviceRoot = tree.dev();
        options.procRoot = tree.proc();
        options.nameOf = [proc = tree.proc()](pid_t pid) { return commOf(proc, pid); };
        options.uevents = platform::UniqueFd(pair[1]);
        options.holderRelease = nullptr;
        bus = LinuxBus::create(std::move(options));
    }

    void uevent(const std::string& action, const std::string& subsystem = "usb") {
        using namespace std::string_literals;
        const std::string message =
            action + "@/devices/x\0ACTION="s + action + "\0SUBSYSTEM="s + subsystem + '\0';
        ASSERT_EQ(::send(kernel.get(), message.data(), message.size(), 0),
                  static_cast<ssize_t>(message.size()));
        ASSERT_TRUE(bus->waitUntilIdle());
    }

    std::vector<usb::RegistryEntryID> ids(std::string_view className) {
        std::vector<usb::RegistryEntryID> found;
        for (const auto& entry : bus->matchingEntries(className)) {
            found.push_back(entry.id);
        }
        return found;
    }

    usb::RegistryEntryID interfaceID() { return ids(usb::interfaceClassName).at(0); }

    std::vector<std::pair<Kind, std::string>> watch() {
        return events.withLock([](auto& list) { return std::exchange(list, {}); });
    }

    void subscribeBoth() {
        for (const auto className : {usb::deviceClassName, usb::interfaceClassName}) {
            bus->subscribe(className, [this](const usb::RegistryEvent& event) {
                events.withLock([&](auto& list) { list.emplace_back(event.kind, event.entry.className); });
            });
        }
    }

    testing::SysfsFixture tree;
    platform::UniqueFd kernel;
    std::shared_ptr<LinuxBus> bus;
    platform::Guarded<std::vector<std::pair<Kind, std::string>>> events;
};

TEST_F(LinuxBusTests, PublishesDevicesAtTheRootAndInterfacesUnderThem) {
    const auto devices = bus->matchingEntries(usb::deviceClassName);
    const auto interfaces = bus->matchingEntries(usb::interfaceClassName);
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(devices[0].parentID, 0u);
    EXPECT_EQ(interfaces[0].parentID, devices[0].id);
    EXPECT_GT(interfaces[0].id, devices[0].id) << "registry order: the device first";
    EXPECT_EQ(bus->children(devices[0].id), interfaces);
    EXPECT_EQ(bus->entry(interfaces[0].id), interfaces[0]);
    EXPECT_EQ(bus->property(devices[0].id, "USB Serial Number"), usb::PropertyValue("SER1"));
    EXPECT_EQ(bus->property(devices[0].id, "no such key"), std::nullopt);
    EXPECT_EQ(bus->endpoints(interfaces[0].id).size(), 3u);
    EXPECT_EQ(bus->deviceNode(devices[0].id), tree.dev() / "001" / "002");
    EXPECT_EQ(bus->deviceNode(interfaces[0].id), std::nullopt);

    EXPECT_EQ(bus->entry(0x42), std::nullopt);
    EXPECT_THROW(bus->children(0x42), usb::USBError);
    EXPECT_THROW(bus->property(0x42, "idVendor"), usb::USBError);
    EXPECT_THROW(bus->endpoints(devices[0].id), usb::USBError) << "a device has no endpoint list";
}

TEST_F(LinuxBusTests, HotPlugEventsFollowTheTreeAndIDsStayWhileTheDeviceDoes) {
    subscribeBoth();
    const auto before = ids(usb::interfaceClassName);

    uevent("change"); // nothing changed: no news, same IDs
    EXPECT_TRUE(watch().empty());
    EXPECT_EQ(ids(usb::interfaceClassName), before);

    tree.addPhone("1-2", 1, 3, "SER2");
    tree.remove("1-1:1.0"); // a configuration change takes the interface away...
    uevent("add", "block");
    EXPECT_TRUE(watch().empty()) << "another subsystem's event does not concern the bus";
    uevent("remove");
    const std::vector<std::pair<Kind, std::string>> expected{
        {Kind::terminated, "IOUSBHostInterface"},
        {Kind::published, "IOUSBHostDevice"},
        {Kind::published, "IOUSBHostInterface"},
    };
    EXPECT_EQ(watch(), expected);

    tree.addInterface("1-1:1.0", 0, "06", "MTP"); // ...and brings it back, as a new entry
    uevent("add");
    EXPECT_EQ(watch(), (std::vector<std::pair<Kind, std::string>>{{Kind::published, "IOUSBHostInterface"}}));
    EXPECT_EQ(ids(usb::interfaceClassName).size(), 2u);
    EXPECT_GT(ids(usb::interfaceClassName).back(), before.back());

    tree.remove("1-1:1.0");
    tree.remove("1-1");
    uevent("remove");
    EXPECT_EQ(watch(), (std::vector<std::pair<Kind, std::string>>{{Kind::terminated, "IOUSBHostInterface"},
                                                                  {Kind::terminated, "IOUSBHostDevice"}}))
        << "an unplugged device's interfaces go before it";
}

TEST_F(LinuxBusTests, ASubscriptionGetsEachEntryEitherAsExistingOrAsAnEventNeverBoth) {
    const auto subscription =
        bus->subscribe(usb::interfaceClassName, [this](const usb::RegistryEvent& event) {
            events.withLock([&](auto& list) { list.emplace_back(event.kind, event.entry.className); });
        });
    EXPECT_EQ(subscription.existing.size(), 1u);
    uevent("change");
    EXPECT_TRUE(watch().empty());
    tree.addPhone("1-2", 1, 3, "SER2");
    bus->unsubscribe(subscription.id);
    uevent("add");
    EXPECT_TRUE(watch().empty()) << "an observer is never called after unsubscribe";
}

// The kernel makes a device's folder first and writes some of what is in it later: a look in between sees
// an entry without its class, its name or its serial number, and such an entry must not stay that way.
TEST_F(LinuxBusTests, AnEntryReadWhileTheKernelAddedItIsPublishedAnewOnceComplete) {
    subscribeBoth();
    const std::pair device{Kind::published, std::string(usb::deviceClassName)};
    const std::pair interface { Kind::published, std::string(usb::interfaceClassName) };
    const std::pair deviceGone{Kind::terminated, device.second};
    const std::pair interfaceGone{Kind::terminated, interface.second};
    for (const auto& [name, file, key] : {std::tuple{"1-2", "1-2:1.0/interface", "USB Interface Name"},
                                          std::tuple{"1-3", "1-3:1.0/bInterfaceClass", "bInterfaceClass"},
                                          std::tuple{"1-4", "1-4/serial", "USB Serial Number"}}) {
        SCOPED_TRACE(file);
        tree.addPhone(name, 1, static_cast<unsigned>(name[2] - '0') + 10);
        std::string text;
        std::getline(std::ifstream(tree.sysfs() / file), text);
        std::filesystem::remove(tree.sysfs() / file);
        uevent("add");
        EXPECT_EQ(watch(), (std::vector{device, interface}));

        tree.write(tree.sysfs() / file, text + "\n");
        uevent("bind");
        const bool ofDevice = std::string_view(file).find(':') == std::string_view::npos;
        EXPECT_EQ(watch(), (ofDevice ? std::vector{interfaceGone, deviceGone, device, interface}
                                     : std::vector{interfaceGone, interface}));
        EXPECT_TRUE(
            bus->property(ids(ofDevice ? usb::deviceClassName : usb::interfaceClassName).back(), key));
        uevent("change");
        EXPECT_TRUE(watch().empty()) << "published anew once only";
    }
}

TEST_F(LinuxBusTests, TheHolderIsNamedFromTheDriverAndTheProgramsThatHaveTheNodeOpen) {
    const auto node = tree.dev() / "001" / "002";
    tree.addProcess(4242, "gvfsd-mtp", node);
    tree.addProcess(4343, "bash", tree.dev() / "null");
    struct Case {
        const char* driver;
        std::optional<std::string> owner;
    };
    for (const auto& each : {Case{"", std::nullopt}, Case{"usbfs", "pid 4242, gvfsd-mtp"},
                             Case{"usb-storage", "pid 0, kernel driver usb-storage"}}) {
        tree.bind("1-1:1.0", each.driver);
        const auto owner = bus->property(interfaceID(), usb::exclusiveOwnerKey);
        EXPECT_EQ(owner, each.owner ? std::optional<usb::PropertyValue>(*each.owner) : std::nullopt)
            << each.driver;
        EXPECT_EQ(bus->entry(interfaceID())->properties.contains(std::string(usb::exclusiveOwnerKey)),
                  each.owner.has_value());
    }
    std::filesystem::remove_all(tree.proc() / "4242");
    tree.bind("1-1:1.0", "usbfs");
    EXPECT_EQ(bus->property(interfaceID(), usb::exclusiveOwnerKey),
              usb::PropertyValue("pid 0, a program of another user"));
}

TEST_F(LinuxBusTests, OpeningAnEntryWhoseNodeIsGoneOrUnknownFails) {
    try {
        bus->open(interfaceID(), usb::OpenMode::exclusive);
        ADD_FAILURE() << "opened a device without a node";
    } catch (const usb::USBError& error) {
        EXPECT_EQ(error.status(), usb::Status::noDevice);
        EXPECT_NE(std::string(error.what()).find((tree.dev() / "001" / "002").string()), std::string::npos)
            << error.what();
    }
    EXPECT_THROW(bus->open(0x42, usb::OpenMode::exclusive), usb::USBError);
    EXPECT_THROW(bus->readPipe(7, 0x81, 512, usb::Timeout(10)), usb::USBError) << "an unknown handle";
    bus->close(7); // an unknown handle is ignored
}

} // namespace
} // namespace usbfs
