#include "platform/busservice/BusProtocol.h"

#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace busservice {
namespace {

using namespace std::chrono_literals;

using testsupport::bytes;

usb::RegistryEntry phoneInterface() {
    return {0x100000502,
            "IOUSBHostInterface",
            0x100000501,
            {{"bInterfaceClass", std::int64_t{6}},
             {"USB Interface Name", std::string("MTP")},
             {"UsbExclusiveOwner", std::string("pid 42, mount-tandalo")},
             {"locationID", std::int64_t{-1}}}};
}

// Every value a message carries comes back as it went, in the byte layout the header comment gives.
TEST(BusProtocolTests, ValuesComeBackAsTheyWent) {
    struct Case {
        const char* name;
        std::function<void(MessageWriter&)> write;
        std::function<void(MessageReader&)> readAndCheck;
    };
    const auto entry = phoneInterface();
    const std::vector<Case> cases{
        {"integers",
         [](MessageWriter& out) {
             out.write(std::uint8_t{7}, std::uint16_t{0x1234}, std::uint32_t{9}, std::uint64_t{1} << 40,
                       std::int64_t{-5});
         },
         [](MessageReader& in) {
             const auto [a, b, c, d, e] =
                 in.readAll<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, std::int64_t>();
             EXPECT_EQ(a, 7);
             EXPECT_EQ(b, 0x1234);
             EXPECT_EQ(c, 9u);
             EXPECT_EQ(d, std::uint64_t{1} << 40);
             EXPECT_EQ(e, -5);
         }},
        {"texts and flags", [](MessageWriter& out) { out.write(std::string("Galaxy S21"), "", true, false); },
         [](MessageReader& in) {
             EXPECT_EQ((in.readAll<std::string, std::string, bool, bool>()),
                       std::make_tuple("Galaxy S21", "", true, false));
         }},
        {"time-outs and open modes",
         [](MessageWriter& out) { out.write(usb::Timeout(5000), usb::noTimeout, usb::OpenMode::seize); },
         [](MessageReader& in) {
             EXPECT_EQ(in.read<usb::Timeout>(), 5000ms);
             EXPECT_EQ(in.read<usb::Timeout>(), usb::noTimeout);
             EXPECT_EQ(in.read<usb::OpenMode>(), usb::OpenMode::seize);
         }},
        {"registry entries",
         [&](MessageWriter& out) {
             out.write(std::vector<usb::RegistryEntry>{entry, {}}, std::optional<usb::RegistryEntry>{});
         },
         [&](MessageReader& in) {
             EXPECT_EQ(in.read<std::vector<usb::RegistryEntry>>(),
                       (std::vector<usb::RegistryEntry>{entry, {}}));
             EXPECT_FALSE(in.read<std::optional<usb::RegistryEntry>>());
         }},
        {"events and statuses",
         [&](MessageWriter& out) {
             out.write(usb::RegistryEvent::Kind::terminated, usb::Status::exclusiveAccess,
                       usb::Status::error);
         },
         [](MessageReader& in) {
             EXPECT_EQ(in.read<usb::RegistryEvent::Kind>(), usb::RegistryEvent::Kind::terminated);
             EXPECT_EQ(in.read<usb::Status>(), usb::Status::exclusiveAccess);
             EXPECT_EQ(in.read<usb::Status>(), usb::Status::error);
         }},
        {"endpoints and set-up packets",
         [](MessageWriter& out) {
             out.write(std::vector<usb::EndpointDescriptor>{usb::EndpointDescriptor::bulkIn(1, 512),
                                                            usb::EndpointDescriptor::interruptIn(3, 64, 6)},
                       usb::ControlSetup{0x21, 0x66, 0, 1, 0});
         },
         [](MessageReader& in) {
             EXPECT_EQ(
                 in.read<std::vector<usb::EndpointDescriptor>>(),
                 (std::vector<usb::EndpointDescriptor>{usb::EndpointDescriptor::bulkIn(1, 512),
                                                       usb::EndpointDescriptor::interruptIn(3, 64, 6)}));
             EXPECT_EQ(in.read<usb::ControlSetup>(), (usb::ControlSetup{0x21, 0x66, 0, 1, 0}));
         }},
        {"commands",
         [](MessageWriter& out) {
             out.write(CommandWords{"plug", "phone", "product=Pixel 7"}, CommandOutcome{true, "plugged\n"});
         },
         [](MessageReader& in) {
             EXPECT_EQ(in.read<CommandWords>(), (CommandWords{"plug", "phone", "product=Pixel 7"}));
             const auto outcome = in.read<CommandOutcome>();
             EXPECT_TRUE(outcome.succeeded);
             EXPECT_EQ(outcome.text, "plugged\n");
         }},
        {"the raw rest",
         [](MessageWriter& out) {
             out.write(std::uint8_t{0x81}).writeRaw(bytes({1, 2, 3}));
         },
         [](MessageReader& in) {
             EXPECT_EQ(in.read<std::uint8_t>(), 0x81);
             const auto rest = in.readRest();
             EXPECT_EQ(std::vector<std::byte>(rest.begin(), rest.end()), bytes({1, 2, 3}));
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        MessageWriter writer;
        each.write(writer);
        MessageReader reader(writer.bytes());
        each.readAndCheck(reader);
        EXPECT_NO_THROW(reader.finish());
    }
    MessageWriter layout;
    layout.write(std::uint32_t{0x01020304}, std::string("ab"));
    EXPECT_EQ(layout.bytes(), bytes({4, 3, 2, 1, 2, 0, 0, 0, 'a', 'b'})) << "little-endian, texts counted";
}

// A body that lies about what it holds is refused before anything is read past its end or allocated for
// a count it cannot hold.
TEST(BusProtocolTests, RefusesBodiesThatBreakTheLayout) {
    struct Case {
        const char* name;
        std::vector<std::byte> body;
        std::function<void(MessageReader&)> read;
    };
    const std::vector<Case> cases{
        {"a short integer", bytes({1, 2, 3}), [](MessageReader& in) { in.read<std::uint32_t>(); }},
        {"a text longer than the body", bytes({9, 0, 0, 0, 'a'}),
         [](MessageReader& in) { in.read<std::string>(); }},
        {"a list count beyond the body", bytes({0xFF, 0xFF, 0xFF, 0xFF}),
         [](MessageReader& in) { in.read<std::vector<usb::RegistryEntry>>(); }},
        {"a flag that is neither 0 nor 1", bytes({2}), [](MessageReader& in) { in.read<bool>(); }},
        {"an unknown open mode", bytes({2}), [](MessageReader& in) { in.read<usb::OpenMode>(); }},
        {"an unknown status", bytes({13}), [](MessageReader& in) { in.read<usb::Status>(); }},
        {"an unknown property type", bytes({2, 0, 0, 0, 0, 0, 0, 0, 0}),
         [](MessageReader& in) { in.read<usb::PropertyValue>(); }},
        {"one property twice",
         [] {
             MessageWriter out;
             out.write(std::uint64_t{1}, "IOUSBHostDevice", std::uint64_t{0}, std::uint32_t{2}, "idVendor",
                       usb::PropertyValue{std::int64_t{1}}, "idVendor", usb::PropertyValue{std::int64_t{2}});
             return out.take();
         }(),
         [](MessageReader& in) { in.read<usb::RegistryEntry>(); }},
        {"bytes after the end", bytes({1, 0}),
         [](MessageReader& in) {
             in.read<std::uint8_t>();
             in.finish();
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        MessageReader reader(each.body);
        EXPECT_THROW(each.read(reader), BusProtocolError);
    }
}

TEST(BusProtocolTests, HeadersCarryKnownKindsAndBoundedBodies) {
    const FrameHeader header{1234, MessageKind::readPipe, 0x1122334455667788};
    const auto encoded = header.encode();
    const auto decoded = FrameHeader::decode(encoded);
    EXPECT_EQ(decoded.bodyLength, 1234u);
    EXPECT_EQ(decoded.kind, MessageKind::readPipe);
    EXPECT_EQ(decoded.request, 0x1122334455667788u);

    struct Case {
        const char* name;
        std::size_t at;
        std::byte value;
    };
    for (const auto& each :
         {Case{"an unknown kind", 4, std::byte{0x7F}}, Case{"a reserved field set", 6, std::byte{1}},
          Case{"a body beyond the limit", 3, std::byte{0x20}}}) {
        SCOPED_TRACE(each.name);
        auto broken = encoded;
        broken[each.at] = each.value;
        EXPECT_THROW(FrameHeader::decode(broken), BusProtocolError);
    }
    EXPECT_EQ(name(MessageKind::controlRequest), "controlRequest");
    EXPECT_EQ(name(static_cast<MessageKind>(0x7F)), "0x7f");
}

} // namespace
} // namespace busservice
