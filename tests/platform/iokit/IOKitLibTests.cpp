#include "platform/iokit/IOKitLib.h"
#include "simulation/SimulatedBus.h"

#include <gtest/gtest.h>

#include <utility>

namespace iokit {
namespace {

simulation::DeviceSpec phone(std::string serial) {
    simulation::DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.productName = "Pixel 7";
    spec.serialNumber = std::move(serial);
    spec.interfaces = {simulation::InterfaceSpec::vendorMTP(0), simulation::InterfaceSpec::adb(1)};
    return spec;
}

struct Registry {
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    MainPort port = MainPort::forBus(bus);
};

std::vector<std::uint64_t> drainIDs(const io_iterator_t& iterator) {
    std::vector<std::uint64_t> ids;
    while (const auto object = IOIteratorNext(iterator)) {
        std::uint64_t id = 0;
        EXPECT_EQ(IORegistryEntryGetRegistryEntryID(object, id), kIOReturnSuccess);
        ids.push_back(id);
    }
    return ids;
}

TEST(ObjectRefTests, MoveHandsTheReferenceOverAndReleasesWhatTheTargetHeld) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("A"));
    const auto before = ObjectRef::liveObjectCount();
    {
        auto a = IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.deviceID));
        auto b =
            IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.interfaceIDs[0]));
        EXPECT_EQ(ObjectRef::liveObjectCount(), before + 2);

        b = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_EQ(ObjectRef::liveObjectCount(), before + 1) << "the target's object must be released";
        std::uint64_t id = 0;
        ASSERT_EQ(IORegistryEntryGetRegistryEntryID(b, id), kIOReturnSuccess);
        EXPECT_EQ(id, plugged.deviceID);

        auto& self = b;
        b = std::move(self);
        EXPECT_TRUE(b);
        EXPECT_EQ(ObjectRef::liveObjectCount(), before + 1);

        ObjectRef c(std::move(b));
        EXPECT_FALSE(b);
        auto retained = IOObjectRetain(c);
        EXPECT_TRUE(IOObjectIsEqualTo(retained, c));
        EXPECT_EQ(ObjectRef::liveObjectCount(), before + 1) << "a retain shares the object";
        EXPECT_EQ(IOObjectRelease(c), kIOReturnSuccess);
        EXPECT_FALSE(c);
        EXPECT_EQ(ObjectRef::liveObjectCount(), before + 1);
    }
    EXPECT_EQ(ObjectRef::liveObjectCount(), before);
}

TEST(IOKitLibTests, MatchingByClassListsServicesInRegistryOrder) {
    Registry registry;
    const auto first = registry.bus->plug(phone("A"));
    const auto second = registry.bus->plug(phone("B"));
    io_iterator_t iterator;
    ASSERT_EQ(IOServiceGetMatchingServices(registry.port, IOServiceMatching("IOUSBHostInterface"), iterator),
              kIOReturnSuccess);
    const std::vector<std::uint64_t> expected{first.interfaceIDs[0], first.interfaceIDs[1],
                                              second.interfaceIDs[0], second.interfaceIDs[1]};
    EXPECT_EQ(drainIDs(iterator), expected);
    EXPECT_FALSE(IOIteratorNext(iterator));
    IOIteratorReset(iterator);
    EXPECT_EQ(drainIDs(iterator), expected);
    EXPECT_EQ(IOObjectGetClass(iterator), "IOIterator");
}

TEST(IOKitLibTests, MatchingByRegistryEntryIDFindsExactlyThatEntry) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("A"));
    const auto device =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.deviceID));
    ASSERT_TRUE(device);
    EXPECT_EQ(IOObjectGetClass(device), "IOUSBHostDevice");
    EXPECT_TRUE(IOObjectConformsTo(device, "IOUSBHostDevice"));
    EXPECT_FALSE(IOObjectConformsTo(device, "IOUSBHostInterface"));

    auto both = IORegistryEntryIDMatching(plugged.deviceID);
    both.providerClass = "IOUSBHostInterface";
    EXPECT_FALSE(IOServiceGetMatchingService(registry.port, both));
    EXPECT_FALSE(IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(0xDEAD)));

    io_iterator_t iterator;
    EXPECT_EQ(IOServiceGetMatchingServices(registry.port, MatchingDictionary{}, iterator),
              kIOReturnBadArgument);
    EXPECT_FALSE(iterator);
}

TEST(IOKitLibTests, DefaultMainPortUsesTheProcessDefaultBus) {
    io_iterator_t iterator;
    EXPECT_EQ(
        IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("IOUSBHostDevice"), iterator),
        kIOReturnNotReady);
    EXPECT_FALSE(IONotificationPortCreate(kIOMainPortDefault));

    auto bus = std::make_shared<simulation::SimulatedBus>();
    const auto plugged = bus->plug(phone("A"));
    usb::ScopedDefaultBus scoped(bus);
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("IOUSBHostDevice"), iterator),
        kIOReturnSuccess);
    EXPECT_EQ(drainIDs(iterator), std::vector<std::uint64_t>{plugged.deviceID});
    EXPECT_EQ(
        IOObjectGetBus(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("IOUSBHostDevice"))),
        bus);
}

TEST(IOKitLibTests, UnqueryableRegistryFailsTheMatch) {
    Registry registry;
    registry.bus->plug(phone("A"));
    registry.bus->setRegistryAvailable(false);
    io_iterator_t iterator;
    EXPECT_NE(IOServiceGetMatchingServices(registry.port, IOServiceMatching("IOUSBHostInterface"), iterator),
              kIOReturnSuccess);
    EXPECT_FALSE(iterator);
    EXPECT_FALSE(IOServiceGetMatchingService(registry.port, IOServiceMatching("IOUSBHostInterface")));
}

TEST(IOKitLibTests, PropertiesAreTypeChecked) {
    Registry registry;
    auto spec = phone("R58N123");
    spec.extraProperties = {{"idProduct", std::string("4EE1")}};
    const auto plugged = registry.bus->plug(spec);
    const auto device =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.deviceID));

    EXPECT_EQ(CFNumberValue(IORegistryEntryCreateCFProperty(device, "idVendor")), 0x18D1);
    EXPECT_EQ(CFStringValue(IORegistryEntryCreateCFProperty(device, "idVendor")), std::nullopt);
    EXPECT_EQ(CFStringValue(IORegistryEntryCreateCFProperty(device, "USB Serial Number")), "R58N123");
    EXPECT_EQ(CFNumberValue(IORegistryEntryCreateCFProperty(device, "USB Serial Number")), std::nullopt);
    EXPECT_EQ(CFNumberValue(IORegistryEntryCreateCFProperty(device, "idProduct")), std::nullopt);
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(device, "no such key"));
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(ObjectRef(), "idVendor"));
}

TEST(IOKitLibTests, PropertiesAreReadLive) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("A"));
    const auto interface =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.interfaceIDs[0]));
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(interface, "UsbExclusiveOwner"));
    registry.bus->holdExclusively(plugged.interfaceIDs[0], {312, "ptpcamerad"});
    EXPECT_EQ(CFStringValue(IORegistryEntryCreateCFProperty(interface, "UsbExclusiveOwner")),
              "pid 312, ptpcamerad");
}

TEST(IOKitLibTests, ParentAndChildrenInTheServicePlane) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("A"));
    const auto interface =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.interfaceIDs[1]));
    io_registry_entry_t device;
    ASSERT_EQ(IORegistryEntryGetParentEntry(interface, kIOServicePlane, device), kIOReturnSuccess);
    std::uint64_t id = 0;
    IORegistryEntryGetRegistryEntryID(device, id);
    EXPECT_EQ(id, plugged.deviceID);

    io_iterator_t children;
    ASSERT_EQ(IORegistryEntryGetChildIterator(device, kIOServicePlane, children), kIOReturnSuccess);
    EXPECT_EQ(drainIDs(children), plugged.interfaceIDs);

    io_registry_entry_t root;
    EXPECT_NE(IORegistryEntryGetParentEntry(device, kIOServicePlane, root), kIOReturnSuccess);
    EXPECT_FALSE(root);
    EXPECT_EQ(IORegistryEntryGetParentEntry(interface, "IOPower", root), kIOReturnBadArgument);
    EXPECT_EQ(IORegistryEntryGetRegistryEntryID(children, id), kIOReturnBadArgument);
}

TEST(IOKitLibTests, TerminatedServicesKeepTheirPropertiesButLoseTheirPlace) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("SERIAL1"));
    const auto device =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.deviceID));
    const auto interface =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.interfaceIDs[0]));
    registry.bus->unplug(plugged.deviceID);

    EXPECT_EQ(CFStringValue(IORegistryEntryCreateCFProperty(device, "USB Serial Number")), "SERIAL1");
    EXPECT_EQ(CFNumberValue(IORegistryEntryCreateCFProperty(interface, "bInterfaceClass")), 255);
    std::uint64_t id = 0;
    EXPECT_EQ(IORegistryEntryGetRegistryEntryID(interface, id), kIOReturnSuccess);
    io_registry_entry_t parent;
    EXPECT_EQ(IORegistryEntryGetParentEntry(interface, kIOServicePlane, parent), kIOReturnNoDevice);
    io_iterator_t children;
    EXPECT_EQ(IORegistryEntryGetChildIterator(device, kIOServicePlane, children), kIOReturnNoDevice);
}

TEST(IOKitLibTests, ServicesAnswerFromTheirRecordWhileTheRegistryCannotBeAsked) {
    Registry registry;
    const auto plugged = registry.bus->plug(phone("SERIAL1"));
    const auto device =
        IOServiceGetMatchingService(registry.port, IORegistryEntryIDMatching(plugged.deviceID));
    registry.bus->setRegistryAvailable(false);
    EXPECT_EQ(CFStringValue(IORegistryEntryCreateCFProperty(device, "USB Serial Number")), "SERIAL1");
    io_iterator_t children;
    EXPECT_NE(IORegistryEntryGetChildIterator(device, kIOServicePlane, children), kIOReturnSuccess);
}

TEST(IOReturnTests, BusFailuresBecomeTheirPlatformCodes) {
    EXPECT_EQ(ioReturnFrom(usb::Status::exclusiveAccess), kIOReturnExclusiveAccess);
    EXPECT_EQ(ioReturnFrom(usb::Status::timeout), kIOReturnTimeout);
    EXPECT_EQ(ioReturnFrom(usb::Status::noDevice), kIOReturnNoDevice);
    EXPECT_EQ(ioReturnFrom(usb::Status::notResponding), kIOReturnNotResponding);
    EXPECT_EQ(ioReturnFrom(usb::Status::aborted), kIOReturnAborted);
    EXPECT_EQ(ioReturnFrom(usb::Status::notPermitted), kIOReturnNotPermitted);
    EXPECT_EQ(ioReturnFrom(usb::Status::stalled), kIOUSBPipeStalled);
    EXPECT_EQ(ioReturnFrom(usb::Status::error), kIOReturnError);
    // Codes print as unsigned 32-bit numbers.
    EXPECT_EQ(static_cast<std::uint32_t>(kIOReturnExclusiveAccess), 0xE00002C5u);
    EXPECT_EQ(static_cast<std::uint32_t>(kIOUSBTransactionTimeout), 0xE0004051u);
}

} // namespace
} // namespace iokit
