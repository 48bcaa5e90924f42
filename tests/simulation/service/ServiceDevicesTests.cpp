// The devices the service hosts: how they are described, and the commands that change them.
#include "ServedBus.h"

#include "simulation/service/DeviceDescription.h"

#include <gtest/gtest.h>

namespace simulation::testing {
namespace {

using namespace std::chrono_literals;

TEST(ServiceDevicesTests, ReadsDeviceDescriptions) {
    struct Case {
        std::string line;
        std::function<void(const DeviceDescription&)> check;
    };
    const std::vector<Case> cases{
        {"phone",
         [](const DeviceDescription& d) {
             EXPECT_EQ(d.kind, DeviceDescription::Kind::phone);
             EXPECT_FALSE(d.serialNumber);
             EXPECT_EQ(d.identity.mode, PhoneUSBIdentity::Mode::fileTransfer);
             EXPECT_EQ(d.videoSize, 64u << 20);
         }},
        {R"(phone serial=R58N123 product="Galaxy S21" vendor=Samsung vendor-id=0x04e8 product-id=26720)",
         [](const DeviceDescription& d) {
             EXPECT_EQ(d.serialNumber, "R58N123");
             EXPECT_EQ(d.identity.productName, "Galaxy S21");
             EXPECT_EQ(d.identity.vendorName, "Samsung");
             EXPECT_EQ(d.identity.vendorID, 0x04E8);
             EXPECT_EQ(d.identity.productID, 26720);
         }},
        {"phone interface=vendor-mtp adb=yes mode=charge-only access=no",
         [](const DeviceDescription& d) {
             EXPECT_EQ(d.identity.interfaceKind, PhoneUSBIdentity::InterfaceKind::vendorMTP);
             EXPECT_TRUE(d.identity.withADB);
             EXPECT_EQ(d.identity.mode, PhoneUSBIdentity::Mode::chargeOnly);
             EXPECT_FALSE(d.accessGranted);
         }},
        {"phone video-size=5G speed=40 turnaround=1",
         [](const DeviceDescription& d) {
             EXPECT_EQ(d.videoSize, 5ull << 30);
             EXPECT_EQ(d.link.bytesPerSecond, 40'000'000u);
             EXPECT_EQ(d.link.turnaround, 1ms);
         }},
        {"peer serial=RP2",
         [](const DeviceDescription& d) { EXPECT_EQ(d.kind, DeviceDescription::Kind::peer); }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.line);
        each.check(DeviceDescription::parse(splitWords(each.line)));
    }
}

TEST(ServiceDevicesTests, RefusesDescriptionsItCannotRead) {
    struct Case {
        std::string line;
        std::string message;
    };
    const std::vector<Case> cases{
        {"", "a device needs a kind"},
        {"tablet", "unknown kind of device \"tablet\""},
        {"phone serial", "\"serial\" is not a key=value setting"},
        {"phone colour=red", "unknown setting \"colour\""},
        {"phone vendor-id=0x10000", "vendor-id=0x10000 is not a number from 0 to 65535"},
        {"phone video-size=lots", "video-size=lots is not a number"},
        {"phone adb=maybe", "adb=maybe is neither yes nor no"},
        {"phone mode=sleep", "mode=sleep is neither file-transfer nor charge-only"},
        {"phone serial=", "serial= needs a serial number"},
        {"peer mode=charge-only", "a peer takes no mode= setting"},
        {R"(phone product="Pixel)", "a quote is not closed"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.line);
        try {
            DeviceDescription::parse(splitWords(each.line));
            FAIL() << "accepted";
        } catch (const DescriptionError& error) {
            EXPECT_NE(std::string(error.what()).find(each.message), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(scenarioLines("# phones\n\nphone serial=A\n  # spare\npeer\n"),
              (std::vector<std::vector<std::string>>{{"phone", "serial=A"}, {"peer"}}));
}

// Each command says what it did, and the bus shows it.
TEST(ServiceDevicesTests, CommandsChangeTheBusAndSaySo) {
    ServedBus served;
    const auto interfaces = [&] { return served.bus->matchingEntries(usb::interfaceClassName).size(); };
    const auto devices = [&] { return served.bus->matchingEntries(usb::deviceClassName).size(); };
    struct Case {
        std::vector<std::string> words;
        bool succeeded;
        std::string text;
        std::function<void()> check;
    };
    const std::vector<Case> cases{
        {{"plug", "phone", "serial=A1", "adb=yes"}, true, "plugged A1", [&] { EXPECT_EQ(interfaces(), 2u); }},
        {{"plug", "phone"}, true, "plugged SIM0000000001", [&] { EXPECT_EQ(devices(), 2u); }},
        {{"mode", "A1", "charge-only"},
         true,
         "A1 is in charge-only mode",
         [&] { EXPECT_EQ(interfaces(), 2u) << "the debugging interface stays, the MTP one goes"; }},
        {{"fault", "A1", "stall"}, false, "A1 shows no MTP interface now", {}},
        {{"mode", "A1", "file-transfer"}, true, "file-transfer", [&] { EXPECT_EQ(interfaces(), 3u); }},
        {{"hold", "A1", "312", "ptpcamerad"},
         true,
         "held by \"pid 312, ptpcamerad\"",
         [&] {
             EXPECT_EQ(served.holderOf(served.interfaceOf("A1")), usb::PropertyValue{"pid 312, ptpcamerad"});
         }},
        {{"list"}, true, "A1 phone file-transfer", {}},
        {{"release", "A1"}, true, "free", [&] { EXPECT_FALSE(served.holderOf(served.interfaceOf("A1"))); }},
        {{"refuse-open", "A1", "notPermitted", "count=2"},
         true,
         "the next 2 opens",
         [&] {
             EXPECT_EQ(
                 statusOf([&] { served.bus->open(served.interfaceOf("A1"), usb::OpenMode::exclusive); }),
                 "notPermitted");
         }},
        {{"fault", "A1", "timeout", "endpoint=0x02", "count=3"},
         true,
         "the next 3 transfers on endpoint 0x2",
         {}},
        {{"fault", "A1", "disconnect", "endpoint=0x01"},
         false,
         "A1 has no endpoint 0x1; its MTP interface has 0x0, 0x81, 0x2, 0x83",
         {}},
        {{"list"},
         true,
         "A1 phone file-transfer",
         [&] {
             // The phone drops off the bus by itself, as a disconnect fault makes it.
             const auto text = served.devices.run({"list"}).text;
             const auto place = text.find("device=", text.find("A1 phone"));
             served.bus->unplug(std::stoull(text.substr(place + 7), nullptr, 16));
         }},
        {{"replug", "A1"}, true, "plugged A1 again", [&] { EXPECT_EQ(devices(), 2u); }},
        {{"fault", "A1", "melt"}, false, "unknown fault \"melt\"", {}},
        {{"fault", "A1", "stall", "colour=red"}, false, "unknown setting \"colour=red\"", {}},
        {{"access", "A1", "no"}, true, "A1 refuses access", {}},
        {{"unplug", "A1"}, true, "unplugged A1", [&] { EXPECT_EQ(devices(), 1u); }},
        {{"unplug", "A1"}, false, "A1 is not plugged in", {}},
        {{"list"}, true, "A1 phone unplugged", {}},
        {{"replug", "A1"}, true, "plugged A1 again", [&] { EXPECT_EQ(devices(), 2u); }},
        {{"unplug", "Z9"}, false, "no device is called Z9", {}},
        // Another phone of the same serial number, at a place of its own, is called A1#2.
        {{"plug", "phone", "serial=A1"}, true, "plugged A1#2", [&] { EXPECT_EQ(devices(), 3u); }},
        {{"list"}, true, "A1#2 phone serial=A1 file-transfer", {}},
        {{"unplug", "A1#2"},
         true,
         "unplugged A1#2",
         [&] {
             EXPECT_EQ(devices(), 2u);
             EXPECT_NE(served.devices.run({"list"}).text.find("A1 phone file-transfer"), std::string::npos);
         }},
        {{"unplug"}, false, "usage: unplug SERIAL", {}},
        {{"help"}, true, "refuse-open SERIAL STATUS", {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.words.front());
        const auto outcome = served.devices.run(each.words);
        EXPECT_EQ(outcome.succeeded, each.succeeded) << outcome.text;
        EXPECT_NE(outcome.text.find(each.text), std::string::npos) << outcome.text;
        if (each.check) {
            each.check();
        }
    }
    EXPECT_EQ(served.devices.names(), (std::vector<std::string>{"A1", "SIM0000000001", "A1#2"}));
}

} // namespace
} // namespace simulation::testing
