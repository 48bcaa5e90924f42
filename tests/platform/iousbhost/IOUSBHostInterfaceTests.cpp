#include "platform/iousbhost/IOUSBHostInterface.h"

#include "platform/iousbhost/IOUSBHostError.h"
#include "simulation/SimulatedBus.h"
#include "tests/simulation/SimulatedBusScriptedFunction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace iousbhost {
namespace {

using namespace std::chrono_literals;
using simulation::InterfaceSpec;
using simulation::testing::bytes;
using simulation::testing::ScriptedFunction;

simulation::DeviceSpec phoneSpec(std::shared_ptr<usb::DeviceFunction> function, std::string serial = "ABC") {
    simulation::DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.serialNumber = std::move(serial);
    spec.interfaces = {InterfaceSpec::adb(0), InterfaceSpec::stillImage(1)};
    spec.function = std::move(function);
    return spec;
}

struct Phone {
    Phone() { plugged = bus->plug(phoneSpec(function)); }

    iokit::io_service_t service(usb::RegistryEntryID id) const {
        return iokit::IOServiceGetMatchingService(port, iokit::IORegistryEntryIDMatching(id));
    }
    iokit::io_service_t mtpService() const { return service(plugged.interfaceIDs[1]); }

    std::shared_ptr<IOUSBHostInterface> open(IOUSBHostInterestHandler handler = {}) const {
        return IOUSBHostInterface::initWithIOService(mtpService(), IOUSBHostObjectInitOptions::none, nullptr,
                                                     std::move(handler));
    }

    std::shared_ptr<ScriptedFunction> function = std::make_shared<ScriptedFunction>();
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    iokit::MainPort port = iokit::MainPort::forBus(bus);
    simulation::PluggedDevice plugged;
};

// Counts the interest messages a handler gets and lets a test wait for them.
struct Messages {
    IOUSBHostInterestHandler handler() {
        return [this](std::uint32_t message) {
            std::lock_guard guard(mutex);
            received.push_back(message);
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return received.size() >= count; });
    }
    std::vector<std::uint32_t> all() {
        std::lock_guard guard(mutex);
        return received;
    }

    std::mutex mutex; // guards received
    std::condition_variable changed;
    std::vector<std::uint32_t> received;
};

iokit::IOReturn codeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const IOUSBHostError& error) {
        return static_cast<iokit::IOReturn>(error.code());
    }
    ADD_FAILURE() << "expected an IOUSBHostError";
    return iokit::kIOReturnSuccess;
}

TEST(IOUSBHostInterfaceTests, DescribesItsConfigurationAndItself) {
    Phone phone;
    const auto interface = phone.open();
    const auto& own = interface->interfaceDescriptor();
    EXPECT_EQ(own.bInterfaceNumber, 1);
    EXPECT_EQ(own.bInterfaceClass, 6);
    EXPECT_EQ(own.bNumEndpoints, 3);
    const auto& configuration = interface->configurationDescriptor();
    EXPECT_EQ(configuration.bConfigurationValue(), 1);
    const auto first = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bInterfaceNumber, 0) << "the configuration lists its other interfaces too";
    const auto endpoint = IOUSBGetNextEndpointDescriptor(configuration, own, nullptr);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->bEndpointAddress, 0x81);
}

TEST(IOUSBHostInterfaceTests, OpensExclusivelyUntilDestroyed) {
    Phone phone;
    const auto interface = phone.open();
    EXPECT_EQ(codeOf([&] { phone.open(); }), iokit::kIOReturnExclusiveAccess);
    interface->destroy();
    interface->destroy();
    EXPECT_NO_THROW(phone.open());
}

TEST(IOUSBHostInterfaceTests, RefusesWhatIsNoLiveInterface) {
    Phone phone;
    EXPECT_EQ(codeOf([&] {
                  IOUSBHostInterface::initWithIOService(phone.service(phone.plugged.deviceID),
                                                        IOUSBHostObjectInitOptions::none, nullptr, {});
              }),
              iokit::kIOReturnBadArgument);
    const auto service = phone.mtpService();
    phone.bus->removeInterface(phone.plugged.interfaceIDs[1]);
    EXPECT_EQ(codeOf([&] {
                  IOUSBHostInterface::initWithIOService(service, IOUSBHostObjectInitOptions::none, nullptr,
                                                        {});
              }),
              iokit::kIOReturnNoDevice);
}

TEST(IOUSBHostInterfaceTests, PipesMoveDataBothWays) {
    Phone phone;
    const auto interface = phone.open();
    const auto in = interface->copyPipeWithAddress(0x81);
    const auto out = interface->copyPipeWithAddress(0x02);
    auto data = bytes(700, 1);
    EXPECT_EQ(out->sendIORequestWithData(data, 1.0), 700u);
    EXPECT_EQ(phone.function->received().back(), data);

    phone.function->queueIn(0x81, usb::InReply::send(bytes(100, 9)));
    std::vector<std::byte> buffer(512);
    EXPECT_EQ(in->sendIORequestWithData(buffer, 1.0), 100u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, bytes(100, 9).begin()));
    EXPECT_EQ(codeOf([&] { interface->copyPipeWithAddress(0x84); }), iokit::kIOReturnNotFound)
        << "0x84 belongs to another interface";
}

TEST(IOUSBHostInterfaceTests, DeviceRequestsCarryTheirDataStage) {
    Phone phone;
    const auto interface = phone.open();
    phone.function->setControlReply(usb::ControlReply::accept(bytes(6, 0x40)));
    std::vector<std::byte> status(4);
    EXPECT_EQ(interface->sendDeviceRequest({0xA1, 0x67, 0, 1, 4}, status, 1.0), 4u);
    EXPECT_EQ(status, bytes(4, 0x40)) << "never more than wLength";
    EXPECT_EQ(codeOf([&] {
                  interface->sendDeviceRequest({0x21, 0x64, 0, 1, 6}, status, 1.0);
              }),
              iokit::kIOReturnBadArgument)
        << "a data stage longer than the buffer";
    const std::vector<usb::ControlSetup> expected{{0xA1, 0x67, 0, 1, 4}};
    EXPECT_EQ(phone.function->controlRequests(), expected);
}

TEST(IOUSBHostInterfaceTests, EverythingFailsAsNotOpenOnceDestroyed) {
    Phone phone;
    const auto interface = phone.open();
    const auto pipe = interface->copyPipeWithAddress(0x02);
    interface->destroy();
    std::vector<std::byte> data(4);
    EXPECT_EQ(codeOf([&] { pipe->sendIORequestWithData(data, 1.0); }), iokit::kIOReturnNotOpen);
    EXPECT_EQ(codeOf([&] { pipe->clearStall(); }), iokit::kIOReturnNotOpen);
    EXPECT_EQ(codeOf([&] { interface->copyPipeWithAddress(0x81); }), iokit::kIOReturnNotOpen);
    EXPECT_EQ(codeOf([&] {
                  interface->sendDeviceRequest({0x21, 0x66, 0, 1, 0}, {}, 1.0);
              }),
              iokit::kIOReturnNotOpen);
}

TEST(IOUSBHostInterfaceTests, TerminationReachesTheHandlerOnce) {
    Phone phone;
    Messages messages;
    const auto interface = phone.open(messages.handler());
    phone.bus->removeInterface(phone.plugged.interfaceIDs[0]); // another interface: not ours
    phone.bus->unplug(phone.plugged.deviceID);
    ASSERT_TRUE(messages.waitFor(1));
    ASSERT_TRUE(phone.bus->waitUntilIdle());
    interface->destroy(); // waits for a handler call still queued or running
    EXPECT_EQ(messages.all(), std::vector<std::uint32_t>{kIOMessageServiceIsTerminated});
}

TEST(IOUSBHostInterfaceTests, NoMessageArrivesAfterDestroy) {
    Phone phone;
    Messages messages;
    const auto interface = phone.open(messages.handler());
    interface->destroy();
    phone.bus->unplug(phone.plugged.deviceID);
    ASSERT_TRUE(phone.bus->waitUntilIdle());
    EXPECT_TRUE(messages.all().empty());
}

TEST(IOUSBHostInterfaceTests, AHandlerMayDestroyItsOwnInterface) {
    Phone phone;
    std::mutex mutex;
    std::condition_variable done;
    std::shared_ptr<IOUSBHostInterface> interface;
    bool destroyed = false;
    interface = phone.open([&](std::uint32_t) {
        std::shared_ptr<IOUSBHostInterface> self;
        {
            std::lock_guard guard(mutex);
            self = std::move(interface);
        }
        self->destroy();
        self.reset(); // the last reference goes on the handler's own queue
        std::lock_guard guard(mutex);
        destroyed = true;
        done.notify_all();
    });
    phone.bus->unplug(phone.plugged.deviceID);
    std::unique_lock lock(mutex);
    EXPECT_TRUE(done.wait_for(lock, 20s, [&] { return destroyed; }));
}

TEST(IOUSBHostInterfaceTests, ErrorsCarrySignExtendedCodesAndDescriptions) {
    const IOUSBHostError timeout(iokit::kIOReturnTimeout);
    EXPECT_EQ(timeout.code(), static_cast<std::int64_t>(static_cast<std::int32_t>(0xE00002D6u)));
    EXPECT_EQ(static_cast<std::uint32_t>(timeout.code()), 0xE00002D6u);
    EXPECT_EQ(timeout.localizedDescription(), "The transfer timed out.");
    EXPECT_EQ(IOUSBHostError(static_cast<iokit::IOReturn>(0xE0001234u)).localizedDescription(),
              "The USB request failed (0xe0001234).");
    EXPECT_EQ(IOUSBHostError::fromUSBError(usb::USBError(usb::Status::notFound, "open")).code(),
              iokit::kIOReturnNoDevice);
}

} // namespace
} // namespace iousbhost
