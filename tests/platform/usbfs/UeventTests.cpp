#include "platform/usbfs/Uevent.h"

#include <gtest/gtest.h>

#include <string>

namespace usbfs {
namespace {

std::optional<Uevent> parse(const std::string& text) {
    return parseUevent(std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()));
}

TEST(UeventTests, ReadsTheKernelsMessageAndRefusesAnythingElse) {
    using namespace std::string_literals;
    const auto added = parse("add@/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0\0ACTION=add\0"
                             "DEVPATH=/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0\0SUBSYSTEM=usb\0"
                             "DEVTYPE=usb_interface\0INTERFACE=6/1/1\0SEQNUM=1042\0"s);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->action, "add");
    EXPECT_EQ(added->devicePath, "/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0");
    EXPECT_TRUE(added->concernsUSB());
    EXPECT_EQ(added->fields.at("INTERFACE"), "6/1/1");

    const auto block = parse("remove@/devices/virtual/block/loop0\0ACTION=remove\0SUBSYSTEM=block\0"s);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->concernsUSB());

    for (const auto& refused : {"libudev\0\xfe\xed\xca\xfe"s, "no header at all"s, "add@/x\0SUBSYSTEM=usb\0"s,
                                "add@/x\0ACTION=add\0"s, ""s}) {
        EXPECT_FALSE(parse(refused)) << refused;
    }
}

} // namespace
} // namespace usbfs
