#include "Corvane/usb/DeviceName.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

struct NameCase {
    const char* product;
    const char* vendor;
    const char* serial;
    std::string expected;
};

void expectNames(const std::vector<NameCase>& cases) {
    for (const auto& each : cases) {
        EXPECT_EQ(DeviceName::clean(each.product, each.vendor, each.serial), each.expected)
            << "product \"" << each.product << "\", vendor \"" << each.vendor << "\", serial \""
            << each.serial << "\"";
    }
}

TEST(DeviceNameTests, CleansTypicalProductStrings) {
    expectNames({
        {"SM-G991B", "Acme", "R58N123", "Acme SM-G991B"},
        {"Phone 7", "Acme", "", "Phone 7"},
        {"MTP_Device_R58N123", "", "R58N123", "Device"},
        {"ABC123DEF456XYZ", "Acme", "", "ABC123DEF456XYZ"},
        {"PTP", "", "", "Android device"},
        {"PTP", "Acme_Corp", "", "Acme Corp device"},
        {"Phone SN: 12AB34", "", "", "Phone"},
        {"ACME X1", "acme", "", "ACME X1"},
        {"ACMEX1", "acme", "", "ACMEX1"},
        {"", "", "", "Android device"},
        {"", "  Acme_Inc \n", "", "Acme Inc device"},
        {"  Phone \t X  ", "", "", "Phone X"},
        {"-.Phone.-", "", "", "Phone"},
        {"Phone/Tablet:Pro", "", "", "Phone Tablet Pro"},
        // A phone's control characters never reach a folder name, a window or a notification.
        {"Phone\x1B[31m\x07X", "", "", "Phone [31m X"},
        {"\x1B\x07",
         "Acme\x7F\x01"
         "Corp\x1B",
         "", "Acme Corp device"},
        {"Phone\u0085\u009BX\r\nY", "", "", "Phone X Y"},
        {"X1\x1B", "Acme\x1B", "", "Acme X1"},
    });
}

TEST(DeviceNameTests, RemovesEveryOccurrenceOfTheSerialIgnoringCase) {
    expectNames({
        {"Phone abc123", "", "ABC123", "Phone"},
        {"ABC123 Phone abc123", "", "ABC123", "Phone"},
        {"Phone A.B", "", "a.b", "Phone"},
        {"Phone_R58N123_MTP", "", "R58N123", "Phone"},
        {"PhoneR58N123", "", "R58N123", "Phone"},
        {"R58N123Phone", "Acme", "r58n123", "Phone"},
        {"PhoneR58N", "", "R58N", "Phone"},
    });
}

TEST(DeviceNameTests, LeavesASerialOfOneCharacterInsideAWordAlone) {
    // A serial of one character would otherwise be cut out of every word that contains the letter.
    expectNames({
        {"Galaxy Tab", "", "a", "Galaxy Tab"},
        {"Nexus 5X", "", "5", "Nexus 5X"},
        {"Nexus 5 X", "", "5", "Nexus X"},
    });
}

TEST(DeviceNameTests, SerialTagNeedsAWordBoundaryAndTakesItsValue) {
    expectNames({
        {"S/N=ABC Phone", "", "", "Phone"},
        {"Tablet sn#  9Z", "", "", "Tablet"},
        {"Reader-SN:XY12", "", "", "Reader"},
        {"SNOW", "Acme", "", "Acme SNOW"},
        {"Phone_SN_123", "", "", "Phone SN 123"},   // "_" is a word character: no boundary after the tag
        {"ISN 123 Phone", "", "", "ISN 123 Phone"}, // the tag must start the text or follow a separator
        {"Phone SN", "", "", "Phone"},
        {"Phone SN:\u00C9CRAN", "", "", "Phone \u00C9CRAN"}, // the value is ASCII letters and digits only
    });
}

TEST(DeviceNameTests, RemovesMTPAndPTPOnlyAsWholeWords) {
    expectNames({
        {"MTPDevice", "", "", "MTPDevice"},
        {"XMTP Player", "", "", "XMTP Player"},
        {"Phone-mtp", "", "", "Phone"},
        {"mtp ptp", "Acme", "", "Acme device"},
        {"Phone MTP\u0085", "", "", "Phone"}, // the end of the text may carry a final line terminator
        {"PTP_Camera", "", "", "Camera"},
        {"Phone Mtp Tablet", "", "", "Phone Tablet"},
    });
}

TEST(DeviceNameTests, CountsUserPerceivedCharactersForTheVendorPrefix) {
    // Twelve accented capitals, written decomposed: 24 code points but 12 characters.
    std::string decomposed;
    for (int i = 0; i < 12; ++i) {
        decomposed += "E\u0301";
    }
    EXPECT_EQ(DeviceName::clean(decomposed, "Acme", ""), "Acme " + decomposed);
    EXPECT_EQ(DeviceName::clean(decomposed + "E", "Acme", ""), decomposed + "E");
    EXPECT_EQ(DeviceName::clean("\u00DCBERPHONE", "\u00FCber", ""), "\u00DCBERPHONE");
    EXPECT_EQ(DeviceName::clean("stra\u00DFe", "Acme", ""), "stra\u00DFe");
}

} // namespace
} // namespace corvane
