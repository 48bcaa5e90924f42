// The simulated bus served over the socket: what a client sees and does is what the bus itself holds and
// does, the client's process is named as the holder of what it opens, and whatever way a client goes, the
// service takes back what it held.
#include "ServedBus.h"

#include "ChildProcess.h"
#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/TransportFactory.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "simulation/DemoPhone.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <future>
#include <unistd.h>

namespace simulation::testing {
namespace {

using namespace std::chrono_literals;

std::string ownerText(pid_t pid) {
    return usb::ProcessIdentity{static_cast<std::int32_t>(pid), platform::processName(pid).value_or("")}
        .ownerText();
}

TEST(BusServiceTests, RegistryReadsThroughTheServiceAreTheBussOwn) {
    ServedBus served;
    served.devices.plug({"phone", "serial=A1", "adb=yes"});
    served.devices.plug({"phone", "serial=B2", "mode=charge-only"});
    const auto client = served.client();
    const auto device = served.bus->matchingEntries(usb::deviceClassName).front().id;
    struct Case {
        const char* name;
        std::function<std::string(usb::USBBus&)> read;
    };
    const auto text = [](const auto& entries) {
        std::string all;
        for (const auto& entry : entries) {
            all += std::to_string(entry.id) + entry.className + std::to_string(entry.properties.size()) + ";";
        }
        return all;
    };
    const std::vector<Case> cases{
        {"devices", [&](usb::USBBus& bus) { return text(bus.matchingEntries(usb::deviceClassName)); }},
        {"interfaces", [&](usb::USBBus& bus) { return text(bus.matchingEntries(usb::interfaceClassName)); }},
        {"an unknown class", [&](usb::USBBus& bus) { return text(bus.matchingEntries("IOMedia")); }},
        {"one entry", [&](usb::USBBus& bus) { return text(std::vector{*bus.entry(device)}); }},
        {"a missing entry", [&](usb::USBBus& bus) { return std::to_string(bus.entry(0x42).has_value()); }},
        {"children", [&](usb::USBBus& bus) { return text(bus.children(device)); }},
        {"children of nothing", [&](usb::USBBus& bus) { return statusOf([&] { bus.children(0x42); }); }},
        {"a property",
         [&](usb::USBBus& bus) { return std::get<std::string>(*bus.property(device, "USB Serial Number")); }},
        {"a missing property",
         [&](usb::USBBus& bus) { return std::to_string(bus.property(device, "nothing").has_value()); }},
        {"endpoints",
         [&](usb::USBBus& bus) { return std::to_string(bus.endpoints(served.interfaceOf("A1")).size()); }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(each.read(*client), each.read(*served.bus));
    }
}

TEST(BusServiceTests, SubscribersHearPlugsUnplugsAndModeSwitchesInOrder) {
    ServedBus served;
    served.devices.plug({"phone", "serial=A1"});
    const auto client = served.client();
    EventLog log;
    const auto subscription = client->subscribe(usb::interfaceClassName, log.observer());
    ASSERT_EQ(subscription.existing.size(), 1u);
    const auto first = subscription.existing.front().id;

    ASSERT_TRUE(served.devices.run({"plug", "phone", "serial=B2"}).succeeded);
    ASSERT_TRUE(served.devices.run({"mode", "A1", "charge-only"}).succeeded);
    ASSERT_TRUE(served.devices.run({"unplug", "B2"}).succeeded);
    const auto events = log.first(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, usb::RegistryEvent::Kind::published);
    EXPECT_EQ(events[1].kind, usb::RegistryEvent::Kind::terminated);
    EXPECT_EQ(events[1].entry.id, first);
    EXPECT_EQ(events[2].kind, usb::RegistryEvent::Kind::terminated);
    EXPECT_EQ(events[2].entry.id, events[0].entry.id);
    client->unsubscribe(subscription.id);
}

TEST(BusServiceTests, AnOpenNamesTheClientsProcessUntilClosed) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    const auto first = served.client();
    const auto second = served.client();
    const auto handle = first->open(interface, usb::OpenMode::exclusive);
    EXPECT_EQ(served.holderOf(interface), usb::PropertyValue{ownerText(::getpid())});
    EXPECT_EQ(second->property(interface, usb::exclusiveOwnerKey), served.holderOf(interface));
    EXPECT_EQ(statusOf([&] { second->open(interface, usb::OpenMode::exclusive); }), "exclusiveAccess");
    EXPECT_EQ(statusOf([&] { second->readPipe(handle, 0x81, 512, 0ms); }), "notOpen") << "not its open";
    first->close(handle);
    EXPECT_FALSE(served.holderOf(interface));
    EXPECT_NO_THROW(second->close(second->open(interface, usb::OpenMode::exclusive)));
}

TEST(BusServiceTests, ASeizeByAnotherClientEndsTheHoldersClaimAsAnUnplugWould) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    const auto holder = served.client();
    const auto taker = served.client();
    const auto held = holder->open(interface, usb::OpenMode::exclusive);
    // The phone has nothing to say, so the read waits until something ends it.
    auto read = std::async(std::launch::async, [&] {
        return statusOf([&] { holder->readPipe(held, 0x81, 512, usb::noTimeout); });
    });
    ASSERT_EQ(read.wait_for(50ms), std::future_status::timeout);
    const auto taken = taker->open(interface, usb::OpenMode::seize);
    EXPECT_EQ(read.get(), "noDevice");
    EXPECT_EQ(statusOf([&] { holder->writePipe(held, 0x02, {}, 1s); }), "noDevice");
    EXPECT_NO_THROW(taker->clearStall(taken, 0x81));
}

TEST(BusServiceTests, AClientThatGoesAwayReleasesWhatItHeld) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    {
        const auto client = served.client();
        client->open(interface, usb::OpenMode::exclusive);
        EventLog log;
        client->subscribe(usb::interfaceClassName, log.observer());
    }
    ASSERT_TRUE(served.service->waitForClients(0));
    EXPECT_FALSE(served.holderOf(interface));
    EXPECT_NO_THROW(served.bus->open(interface, usb::OpenMode::exclusive));
}

TEST(BusServiceTests, ACrashedClientProcessIsNamedAsHolderThenReleased) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    auto holder = testsupport::ChildProcess::start(
        BUS_HOLDER_PROGRAM, {served.service->socketPath().string(), std::to_string(interface)});
    ASSERT_EQ(holder.readLine(), "held");
    const auto observer = served.client();
    EXPECT_EQ(observer->property(interface, usb::exclusiveOwnerKey),
              usb::PropertyValue{"pid " + std::to_string(holder.pid()) + ", bus-holder"});

    holder.signal(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    ASSERT_TRUE(served.service->waitForClients(1)) << "the crashed client is still counted";
    EXPECT_FALSE(observer->property(interface, usb::exclusiveOwnerKey));
    EXPECT_NO_THROW(observer->open(interface, usb::OpenMode::exclusive));
}

// The library's own device session runs over the socket as over the bus: data both ways in large
// messages, the bus's failures with their status.
TEST(BusServiceTests, ADeviceSessionWorksThroughTheService) {
    ServedBus served;
    served.devices.plug({"phone", "serial=A1"});
    const auto client = served.client();
    const auto port = iokit::MainPort::forBus(client);
    const auto transports = corvane::TransportFactory::forPort(port);
    platform::MemoryEnvironment environment;
    oslog::LogStore logStore;
    corvane::MTPDevice::Context context{&platform::Clock::system(), &environment, &logStore};
    context.transportFactory = &transports;
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces(port);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().serialNumber, "A1");
    auto device =
        corvane::MTPDevice::connect(found.front(), std::nullopt, corvane::TakeOver::never, {}, context);
    device->hold()->open();

    const auto phone = served.devices.phone("A1");
    const auto storage = phone->storages().front().id;
    std::string photo;
    device->hold()->getObject(*phone->find(storage, "DCIM/Camera/IMG_20261202.jpg"),
                              [&](std::span<const std::byte> chunk) {
                                  photo.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
                              });
    EXPECT_EQ(photo, DemoPhone::photoBytes(2));
    // Bytes that differ along the file, written and read back in several transfers: a transfer's memory
    // used again must never show the bytes of the one before.
    std::string sent((3u << 20) + 1000, '\0');
    for (std::size_t index = 0; index < sent.size(); ++index) {
        sent[index] = static_cast<char>((index * 7919) >> 9);
    }
    device->exclusive([&](corvane::MTPDevice::Session& session) {
        session.createFile(storage, 0xFFFFFFFF, "sent.bin", sent.size(), std::nullopt);
        std::size_t offset = 0;
        session.sendObject(sent.size(), [&](std::span<std::byte> into) {
            const auto count = std::min(into.size(), sent.size() - offset);
            std::memcpy(into.data(), sent.data() + offset, count);
            offset += count;
            return count;
        });
    });
    const auto sentHandle = *phone->find(storage, "sent.bin");
    EXPECT_EQ(phone->contentsText(sentHandle), sent);
    std::string back;
    device->hold()->getObject(sentHandle, [&](std::span<const std::byte> chunk) {
        back.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    });
    EXPECT_TRUE(back == sent) << "read back " << back.size() << " of " << sent.size() << " bytes";
    device->close();
}

TEST(BusServiceTests, TheBussFailuresReachTheClientWithTheirStatus) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    const auto client = served.client();
    const auto handle = client->open(interface, usb::OpenMode::exclusive);
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* status;
    };
    const std::vector<Case> cases{
        {"a read that times out", [&] { client->readPipe(handle, 0x81, 512, 0ms); }, "timeout"},
        {"a write on an IN endpoint", [&] { client->writePipe(handle, 0x81, {}, 1s); }, "badArgument"},
        {"a configuration of an interface", [&] { client->setConfiguration(handle, 0); }, "badArgument"},
        {"an open of nothing", [&] { client->open(0x42, usb::OpenMode::exclusive); }, "notFound"},
        {"an injected stall",
         [&] {
             ASSERT_TRUE(served.devices.run({"fault", "A1", "stall"}).succeeded);
             client->readPipe(handle, 0x81, 512, 1s);
         },
         "stalled"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(statusOf(each.call), each.status);
    }
    EXPECT_NO_THROW(client->clearStall(handle, 0x81));
    client->close(handle);
    EXPECT_EQ(statusOf([&] { client->readPipe(handle, 0x81, 512, 0ms); }), "notOpen");
}

} // namespace
} // namespace simulation::testing
