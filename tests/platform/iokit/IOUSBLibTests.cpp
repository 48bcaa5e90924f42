#include "platform/iokit/IOUSBLib.h"

#include "simulation/SimulatedBus.h"
#include "tests/simulation/SimulatedBusScriptedFunction.h"

#include <gtest/gtest.h>

namespace iokit {
namespace {

using simulation::InterfaceSpec;
using simulation::testing::bytes;
using simulation::testing::ScriptedFunction;

simulation::DeviceSpec phoneSpec(std::shared_ptr<usb::DeviceFunction> function, std::string serial = "ABC") {
    simulation::DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.serialNumber = std::move(serial);
    spec.interfaces = {InterfaceSpec::stillImage(3)};
    spec.function = std::move(function);
    return spec;
}

struct Phone {
    Phone() { plugged = bus->plug(phoneSpec(function)); }

    io_service_t service(usb::RegistryEntryID id) const {
        return IOServiceGetMatchingService(port, IORegistryEntryIDMatching(id));
    }

    IOUSBInterfaceRef interface() const {
        IOCFPlugInRef plugIn;
        std::int32_t score = 0;
        EXPECT_EQ(IOCreatePlugInInterfaceForService(service(plugged.interfaceIDs[0]),
                                                    kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                    plugIn, score),
                  kIOReturnSuccess);
        IOUSBInterfaceRef table;
        EXPECT_EQ(plugIn->QueryInterface(kIOUSBInterfaceInterfaceID942, table), S_OK);
        return table;
    }

    IOUSBDeviceRef device() const {
        IOCFPlugInRef plugIn;
        std::int32_t score = 0;
        EXPECT_EQ(IOCreatePlugInInterfaceForService(service(plugged.deviceID), kIOUSBDeviceUserClientTypeID,
                                                    kIOCFPlugInInterfaceID, plugIn, score),
                  kIOReturnSuccess);
        IOUSBDeviceRef table;
        EXPECT_EQ(plugIn->QueryInterface(kIOUSBDeviceInterfaceID942, table), S_OK);
        return table;
    }

    std::shared_ptr<ScriptedFunction> function = std::make_shared<ScriptedFunction>();
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    MainPort port = MainPort::forBus(bus);
    simulation::PluggedDevice plugged;
};

TEST(IOUSBLibTests, PlugInsExistOnlyForTheUserClientOfTheServicesClass) {
    Phone phone;
    struct Case {
        const char* name;
        usb::RegistryEntryID service;
        CFUUIDBytes pluginType;
        CFUUIDBytes interfaceType;
        kern_return_t expected;
    };
    const std::vector<Case> cases{
        {"interface", phone.plugged.interfaceIDs[0], kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID,
         kIOReturnSuccess},
        {"device", phone.plugged.deviceID, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
         kIOReturnSuccess},
        {"device client of an interface", phone.plugged.interfaceIDs[0], kIOUSBDeviceUserClientTypeID,
         kIOCFPlugInInterfaceID, kIOReturnUnsupported},
        {"interface client of a device", phone.plugged.deviceID, kIOUSBInterfaceUserClientTypeID,
         kIOCFPlugInInterfaceID, kIOReturnUnsupported},
        {"not the plug-in interface", phone.plugged.deviceID, kIOUSBDeviceUserClientTypeID,
         kIOUSBDeviceInterfaceID942, kIOReturnUnsupported},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        IOCFPlugInRef plugIn;
        std::int32_t score = -1;
        EXPECT_EQ(IOCreatePlugInInterfaceForService(phone.service(each.service), each.pluginType,
                                                    each.interfaceType, plugIn, score),
                  each.expected);
        EXPECT_EQ(static_cast<bool>(plugIn), each.expected == kIOReturnSuccess);
    }
    IOCFPlugInRef plugIn;
    std::int32_t score = 0;
    EXPECT_EQ(IOCreatePlugInInterfaceForService({}, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                plugIn, score),
              kIOReturnBadArgument);
    const auto gone = phone.service(phone.plugged.deviceID);
    phone.bus->unplug(phone.plugged.deviceID);
    EXPECT_EQ(IOCreatePlugInInterfaceForService(gone, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                plugIn, score),
              kIOReturnNoDevice);
}

TEST(IOUSBLibTests, APlugInAnswersOnlyForItsOwnTable) {
    Phone phone;
    IOCFPlugInRef plugIn;
    std::int32_t score = 0;
    ASSERT_EQ(IOCreatePlugInInterfaceForService(phone.service(phone.plugged.interfaceIDs[0]),
                                                kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                plugIn, score),
              kIOReturnSuccess);
    IOUSBDeviceRef device;
    EXPECT_EQ(plugIn->QueryInterface(kIOUSBDeviceInterfaceID942, device), E_NOINTERFACE);
    EXPECT_FALSE(device);
    IOUSBInterfaceRef interface;
    EXPECT_EQ(plugIn->QueryInterface(kIOUSBDeviceInterfaceID942, interface), E_NOINTERFACE);
    EXPECT_EQ(plugIn->QueryInterface(kIOUSBInterfaceInterfaceID942, interface), S_OK);
    EXPECT_EQ(IODestroyPlugInInterface(plugIn), kIOReturnSuccess);
    EXPECT_TRUE(interface) << "the table outlives the plug-in that handed it out";
}

TEST(IOUSBLibTests, ReferencesReleaseOnceAndTheLastOneClosesTheInterface) {
    Phone phone;
    const auto before = IOCFPlugInLiveObjectCount();
    {
        auto interface = phone.interface();
        ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
        EXPECT_EQ(IOCFPlugInLiveObjectCount(), before + 1);
        auto second = interface.AddRef();
        EXPECT_TRUE(second.isSameObject(interface));
        IOUSBInterfaceRef moved(std::move(interface));
        EXPECT_FALSE(interface);
        auto& self = moved;
        moved = std::move(self);
        EXPECT_TRUE(moved);
        moved.Release();
        moved.Release();
        EXPECT_EQ(IOCFPlugInLiveObjectCount(), before + 1) << "the second reference keeps the table";
        EXPECT_EQ(phone.bus->entry(phone.plugged.interfaceIDs[0])->properties.count("UsbExclusiveOwner"), 1u);
    }
    EXPECT_EQ(IOCFPlugInLiveObjectCount(), before);
    EXPECT_EQ(phone.bus->entry(phone.plugged.interfaceIDs[0])->properties.count("UsbExclusiveOwner"), 0u)
        << "releasing the last reference closes the open";
}

TEST(IOUSBLibTests, PipesFollowTheDeclaredEndpointsOfAnOpenInterface) {
    Phone phone;
    auto interface = phone.interface();
    std::uint8_t count = 0;
    EXPECT_EQ(interface->GetNumEndpoints(count), kIOReturnNotOpen);
    ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
    EXPECT_EQ(interface->USBInterfaceOpen(), kIOReturnExclusiveAccess);
    std::uint8_t number = 0;
    EXPECT_EQ(interface->GetInterfaceNumber(number), kIOReturnSuccess);
    EXPECT_EQ(number, 3);
    ASSERT_EQ(interface->GetNumEndpoints(count), kIOReturnSuccess);
    ASSERT_EQ(count, 3);
    struct Expected {
        std::uint8_t direction, number, type;
        std::uint16_t packetSize;
    };
    const std::vector<Expected> expected{{kUSBAnyDirn, 0, kUSBControl, 64},
                                         {kUSBIn, 1, kUSBBulk, 512},
                                         {kUSBOut, 2, kUSBBulk, 512},
                                         {kUSBIn, 3, kUSBInterrupt, 64}};
    for (std::uint8_t pipeRef = 0; pipeRef <= count; ++pipeRef) {
        SCOPED_TRACE(static_cast<int>(pipeRef));
        std::uint8_t direction = 0, endpoint = 0, type = 0, interval = 0;
        std::uint16_t packetSize = 0;
        ASSERT_EQ(interface->GetPipeProperties(pipeRef, direction, endpoint, type, packetSize, interval),
                  kIOReturnSuccess);
        EXPECT_EQ(direction, expected[pipeRef].direction);
        EXPECT_EQ(endpoint, expected[pipeRef].number);
        EXPECT_EQ(type, expected[pipeRef].type);
        EXPECT_EQ(packetSize, expected[pipeRef].packetSize);
    }
    std::uint8_t direction = 0, endpoint = 0, type = 0, interval = 0;
    std::uint16_t packetSize = 0;
    EXPECT_EQ(interface->GetPipeProperties(4, direction, endpoint, type, packetSize, interval),
              kIOReturnBadArgument);
    EXPECT_EQ(interface->USBInterfaceClose(), kIOReturnSuccess);
    EXPECT_EQ(interface->USBInterfaceClose(), kIOReturnNotOpen);
}

TEST(IOUSBLibTests, TransfersReportTheUSBFamilysCodes) {
    Phone phone;
    auto interface = phone.interface();
    ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::vector<std::byte> buffer(512);
    std::uint32_t size = 99;
    // Nothing queued: with no time to wait, the read times out at once.
    EXPECT_EQ(interface->ReadPipeTO(1, buffer, size, 0, 0), kIOUSBTransactionTimeout);
    EXPECT_EQ(size, 0u);
    phone.bus->injectTransferFault(phone.plugged.deviceID, 0x81, simulation::TransferFault::stall());
    EXPECT_EQ(interface->ReadPipeTO(1, buffer, size, 1000, 1000), kIOUSBPipeStalled);
    EXPECT_EQ(interface->ClearPipeStallBothEnds(1), kIOReturnSuccess);
    phone.function->queueIn(0x81, usb::InReply::send(bytes(20)));
    EXPECT_EQ(interface->ReadPipeTO(1, buffer, size, 1000, 1000), kIOReturnSuccess);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(interface->ReadPipeTO(2, buffer, size, 1000, 1000), kIOReturnBadArgument) << "an OUT pipe";
    EXPECT_EQ(interface->WritePipeTO(0, {}, 1000, 1000), kIOReturnBadArgument) << "the control pipe";
    phone.bus->injectTransferFault(phone.plugged.deviceID, 0x02, simulation::TransferFault::shortWrite(3));
    EXPECT_EQ(interface->WritePipeTO(2, bytes(10), 1000, 1000), kIOReturnIOError);
    EXPECT_EQ(interface->WritePipeTO(2, bytes(10), 250, 3000), kIOReturnSuccess);
    const auto log = phone.bus->callLog();
    EXPECT_EQ(log.back().detail, "ep=0x02 length=10 timeout=250ms") << "the shorter of the two time-outs";
}

TEST(IOUSBLibTests, ControlRequestsMoveAtMostTheirLength) {
    Phone phone;
    auto interface = phone.interface();
    ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
    phone.function->setControlReply(usb::ControlReply::accept(bytes(8, 1)));
    std::vector<std::byte> data(4);
    IOUSBDevRequestTO request;
    request.bmRequestType = 0xA1;
    request.bRequest = 0x67;
    request.wIndex = 3;
    request.wLength = 4;
    request.pData = data;
    request.noDataTimeout = request.completionTimeout = 1000;
    ASSERT_EQ(interface->ControlRequestTO(0, request), kIOReturnSuccess);
    EXPECT_EQ(request.wLenDone, 4u);
    EXPECT_EQ(data, bytes(4, 1));
    request.wLength = 5;
    EXPECT_EQ(interface->ControlRequestTO(0, request), kIOReturnBadArgument) << "longer than its buffer";
    request.wLength = 4;
    EXPECT_EQ(interface->ControlRequestTO(1, request), kIOReturnBadArgument) << "not the control pipe";
}

TEST(IOUSBLibTests, ASeizedDeviceChangesItsConfiguration) {
    Phone phone;
    phone.bus->holdExclusively(phone.plugged.deviceID, {311, "ptpcamerad"});
    auto device = phone.device();
    std::uint8_t configuration = 9;
    EXPECT_EQ(device->GetConfiguration(configuration), kIOReturnNotOpen);
    EXPECT_EQ(device->USBDeviceOpen(), kIOReturnExclusiveAccess);
    ASSERT_EQ(device->USBDeviceOpenSeize(), kIOReturnSuccess);
    ASSERT_EQ(device->GetConfiguration(configuration), kIOReturnSuccess);
    EXPECT_EQ(configuration, 1);
    EXPECT_EQ(device->SetConfiguration(0), kIOReturnSuccess);
    EXPECT_TRUE(phone.bus->interfacesOf(phone.plugged.deviceID).empty());
    ASSERT_EQ(device->GetConfiguration(configuration), kIOReturnSuccess);
    EXPECT_EQ(configuration, 0);
    EXPECT_EQ(device->SetConfiguration(7), kIOUSBPipeStalled) << "a configuration the device lacks";
    EXPECT_EQ(device->USBDeviceClose(), kIOReturnSuccess);
}

} // namespace
} // namespace iokit
