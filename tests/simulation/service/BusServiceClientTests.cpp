// The service's clients: bad ones are dropped without harm to the others, good ones outlive the service
// going away and coming back, every program finds the service by one variable, and the service's two
// programs work as a person would use them.
#include "ServedBus.h"

#include "ChildProcess.h"
#include "platform/buschoice/ProcessBus.h"
#include "platform/busservice/BusSocket.h"
#include "platform/foundation/Environment.h"
#include "platform/usbfs/LinuxBus.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/socket.h>
#include <thread>

namespace simulation::testing {
namespace {

using namespace std::chrono_literals;
using busservice::BusSocket;
using busservice::FrameHeader;
using busservice::MessageKind;
using busservice::MessageWriter;

void sendMessage(BusSocket& socket, MessageKind kind, std::uint64_t request, const MessageWriter& body) {
    socket.send({static_cast<std::uint32_t>(body.bytes().size()), kind, request}, {body.bytes()});
}

void greet(BusSocket& socket) {
    sendMessage(socket, MessageKind::hello, 0,
                MessageWriter().write(busservice::protocolMagic, busservice::protocolVersion));
}

std::span<const std::byte> raw(std::string_view text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

/// Reads what the service sends until it ends the connection.
void readUntilDropped(BusSocket& socket) {
    std::byte piece[4096];
    while (true) {
        const auto got = ::recv(socket.descriptor(), piece, sizeof piece, 0);
        if (got <= 0) {
            return;
        }
    }
}

TEST(BusServiceClientTests, ClientsThatBreakTheProtocolAreDroppedWithoutHarmToOthers) {
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    const auto good = served.client();
    const auto held = good->open(interface, usb::OpenMode::exclusive);
    struct Case {
        const char* name;
        std::function<void(BusSocket&)> send;
    };
    const std::vector<Case> cases{
        {"garbage",
         [](BusSocket& bad) {
             const std::string text = "GET / HTTP/1.1\r\nHost: usb\r\n\r\n";
             ::send(bad.descriptor(), text.data(), text.size(), MSG_NOSIGNAL);
         }},
        {"another protocol's greeting",
         [](BusSocket& bad) {
             sendMessage(bad, MessageKind::hello, 0, MessageWriter().write("usbip", std::uint16_t{1}));
         }},
        {"a request before the greeting",
         [&](BusSocket& bad) {
             sendMessage(bad, MessageKind::open, 1, MessageWriter().write(interface, usb::OpenMode::seize));
         }},
        {"a message cut off by a disconnect",
         [](BusSocket& bad) {
             greet(bad);
             bad.send({100, MessageKind::matchingEntries, 1}, {raw("IOUSB")});
             bad.shutdown();
         }},
        {"a body shorter than its request",
         [](BusSocket& bad) {
             greet(bad);
             sendMessage(bad, MessageKind::open, 1, MessageWriter().write(std::uint8_t{1}));
         }},
        {"an answer sent as a request",
         [](BusSocket& bad) {
             greet(bad);
             sendMessage(bad, MessageKind::reply, 1, MessageWriter());
         }},
        {"a read beyond the limit",
         [&](BusSocket& bad) {
             greet(bad);
             sendMessage(bad, MessageKind::readPipe, 1,
                         MessageWriter().write(usb::HandleID{1}, std::uint8_t{0x81},
                                               std::uint64_t{busservice::maximumTransferSize + 1},
                                               usb::Timeout(0)));
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto bad = BusSocket::connect(served.service->socketPath());
        each.send(bad);
        readUntilDropped(bad);
        ASSERT_TRUE(served.service->waitForClients(1));
        EXPECT_EQ(good->matchingEntries(usb::interfaceClassName).size(), 1u);
        EXPECT_EQ(served.holderOf(interface), good->property(interface, usb::exclusiveOwnerKey));
    }
    EXPECT_NO_THROW(good->clearStall(held, 0x81));
}

TEST(BusServiceClientTests, AClientThatNeverReadsIsDroppedOnceItsRepliesPileUp) {
    BusService::Limits limits;
    limits.queuedBytesPerClient = 64u << 10;
    ServedBus served(limits);
    served.devices.plug({"phone", "serial=A1"});
    const auto good = served.client();
    auto bad = BusSocket::connect(served.service->socketPath());
    greet(bad);
    const auto request = MessageWriter().write(usb::interfaceClassName);
    bool dropped = false;
    for (std::uint64_t number = 1; number < 1'000'000 && !dropped; ++number) {
        try {
            sendMessage(bad, MessageKind::matchingEntries, number, request);
        } catch (const busservice::BusProtocolError&) {
            dropped = true;
        }
    }
    EXPECT_TRUE(dropped);
    ASSERT_TRUE(served.service->waitForClients(1));
    EXPECT_EQ(good->matchingEntries(usb::interfaceClassName).size(), 1u);
}

TEST(BusServiceClientTests, ALostServiceTakesItsDevicesAndAReturningOneBringsThemBack) {
    platform::VirtualClock clock;
    ServedBus served;
    const auto interface = served.plugPhone("A1");
    const auto socket = served.service->socketPath();
    const auto client = served.client(clock);
    EventLog log;
    ASSERT_EQ(client->subscribe(usb::interfaceClassName, log.observer()).existing.size(), 1u);
    const auto handle = client->open(interface, usb::OpenMode::exclusive);

    served.service.reset();
    auto events = log.first(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, usb::RegistryEvent::Kind::terminated);
    EXPECT_EQ(events[0].entry.id, interface);
    EXPECT_EQ(statusOf([&] { client->matchingEntries(usb::interfaceClassName); }), "unavailable");
    EXPECT_EQ(statusOf([&] { client->readPipe(handle, 0x81, 512, 1s); }), "noDevice");
    EXPECT_FALSE(client->isConnected());

    served.service = BusService::start(served.bus, socket);
    // The bus looks for the service again a second later on its clock, and subscribes anew.
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(1s);
    events = log.first(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, usb::RegistryEvent::Kind::published);
    EXPECT_EQ(events[1].entry.id, interface);
    EXPECT_TRUE(client->isConnected());
    EXPECT_FALSE(served.holderOf(interface)) << "the lost connection's open went with it";
}

TEST(BusServiceClientTests, AFirstSubscriptionAfterTheServiceCameBackSubscribesOnce) {
    platform::VirtualClock clock;
    ServedBus served;
    served.devices.plug({"phone", "serial=A1"});
    const auto socket = served.service->socketPath();
    served.service.reset();
    const auto client = std::make_shared<busservice::ServiceBus>(socket, clock);
    ASSERT_FALSE(client->isConnected());
    served.service = BusService::start(served.bus, socket);

    EventLog log;
    const auto subscription = client->subscribe(usb::interfaceClassName, log.observer());
    EXPECT_EQ(subscription.existing.size(), 1u);
    ASSERT_TRUE(served.devices.run({"plug", "phone", "serial=B2"}).succeeded);
    const auto events = log.first(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, usb::RegistryEvent::Kind::published);
    EXPECT_EQ(events[0].entry.id, served.interfaceOf("B2")) << "the existing entry came again as news";
    EXPECT_TRUE(client->isConnected());
}

// A service that goes away in the middle of a read's reply leaves the caller's buffer unfilled: the read
// must fail as an unplug would, never count the bytes that did not come.
TEST(BusServiceClientTests, AReadWhoseReplyIsCutOffFails) {
    for (const std::size_t sent : {std::size_t{0}, std::size_t{100}}) {
        SCOPED_TRACE(std::to_string(sent) + " of 512 bytes came");
        platform::testing::TemporaryFolder folder;
        auto listener = BusSocket::listen(folder.path() / "cut.sock");
        std::thread service([&] {
            auto client = listener.accept();
            ASSERT_TRUE(client);
            for (std::uint64_t request = 0; request < 3; ++request) {
                const auto header = client->receiveHeader();
                ASSERT_TRUE(header);
                client->receiveBody(header->bodyLength);
                if (header->kind == MessageKind::hello) {
                    sendMessage(
                        *client, MessageKind::reply, header->request,
                        MessageWriter().write(busservice::protocolMagic, busservice::protocolVersion));
                } else if (header->kind == MessageKind::open) {
                    sendMessage(*client, MessageKind::reply, header->request,
                                MessageWriter().write(usb::HandleID{1}));
                } else {
                    const std::vector<std::byte> part(sent, std::byte{0x5A});
                    client->send({512, MessageKind::reply, header->request}, {part});
                }
            }
        });
        busservice::ServiceBus bus(folder.path() / "cut.sock");
        const auto handle = bus.open(0x42, usb::OpenMode::exclusive);
        std::vector<std::byte> buffer(512);
        EXPECT_EQ(statusOf([&] { bus.readPipe(handle, 0x81, std::span(buffer), 1s); }), "noDevice");
        service.join();
    }
}

TEST(BusServiceClientTests, ASocketWhoseListenerNeverAnswersCountsAsUnreachable) {
    platform::testing::TemporaryFolder folder;
    // Listening, so connecting succeeds, but nobody ever accepts or answers the greeting.
    const auto silent = BusSocket::listen(folder.path() / "silent.sock");
    platform::VirtualClock clock;
    busservice::ServiceBus client(folder.path() / "silent.sock", clock, 50ms);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(statusOf([&] { client.matchingEntries(usb::interfaceClassName); }), "unavailable");
}

TEST(BusServiceClientTests, EveryProgramChoosesItsBusByOneVariable) {
    ServedBus served;
    served.devices.plug({"phone", "serial=A1"});
    struct Case {
        const char* name;
        std::optional<std::string> variable;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"no variable: the machine's own USB", std::nullopt, "the kernel's bus"},
        {"an empty variable", "", "the kernel's bus"},
        {"the service's socket", served.service->socketPath().string(), "1 interface"},
        {"a socket nobody listens on", (served.folder.path() / "nobody.sock").string(), "unavailable"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        platform::MemoryEnvironment environment;
        if (each.variable) {
            environment.set(busservice::socketVariable, *each.variable);
        }
        const auto bus = buschoice::processBus(environment);
        if (std::dynamic_pointer_cast<usbfs::LinuxBus>(bus)) {
            EXPECT_EQ("the kernel's bus", each.expected); // what it lists depends on this machine's USB
            continue;
        }
        std::string seen;
        const auto status = statusOf([&] {
            seen = std::to_string(bus->matchingEntries(usb::interfaceClassName).size()) + " interface";
        });
        EXPECT_EQ(status == "none" ? seen : status, each.expected);
    }
}

TEST(BusServiceClientTests, TheServiceProgramHostsDevicesThatItsCommandLineClientChanges) {
    platform::testing::TemporaryFolder folder;
    const auto socket = (folder.path() / "bus" / "usb-bus.sock").string();
    const auto scenario = folder.path() / "phones.txt";
    std::ofstream(scenario) << "# two phones\nphone serial=P1\n\nphone serial=P2 mode=charge-only\n";
    auto service = testsupport::ChildProcess::start(
        TANDALO_BUS_PROGRAM,
        {"--socket", socket, "--scenario", scenario.string(), R"(phone serial=P3 product="Pixel 7")"});
    std::optional<std::string> line;
    while ((line = service.readLine()) && !line->starts_with("tandalo-bus: listening on")) {
    }
    ASSERT_TRUE(line) << "the service ended before it listened";
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        int status;
        std::string output;
    };
    const std::vector<Case> cases{
        {{"--socket", socket, "list"}, {}, 0, "P3 phone file-transfer"},
        {{"list"}, {"TANDALO_USB_BUS=" + socket}, 0, "P2 phone charge-only"},
        {{"unplug", "P1"}, {"TANDALO_USB_BUS=" + socket}, 0, "unplugged P1"},
        {{"--socket", socket, "list"}, {}, 0, "P1 phone unplugged"},
        {{"--socket", socket, "frobnicate"}, {}, 1, "unknown command \"frobnicate\""},
        {{"--socket", (folder.path() / "none.sock").string(), "list"}, {}, 1, "no bus service answers"},
        {{}, {"TANDALO_USB_BUS=" + socket}, 2, "usage: tandalo-busctl"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments.empty() ? "" : each.arguments.back());
        const auto [status, output] =
            testsupport::runToEnd(TANDALO_BUSCTL_PROGRAM, each.arguments, each.environment);
        EXPECT_EQ(status, each.status);
        EXPECT_NE(output.find(each.output), std::string::npos) << output;
    }
    busservice::ServiceBus client(socket);
    EXPECT_EQ(client.matchingEntries(usb::interfaceClassName).size(), 1u) << "only P3 shows MTP now";
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
}

} // namespace
} // namespace simulation::testing
