#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "simulation/SimulatedBus.h"
#include "tests/Corvane/usb/TransportTestSupport.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace corvane {
namespace {

using simulation::DeviceSpec;
using simulation::InterfaceSpec;

// The hints as the user reads them, with typographic quotation marks.
const std::string hintA =
    "Unlock the device, swipe down, tap \u201CCharging this device via USB\u201D, choose "
    "\u201CFile Transfer\u201D. If it asks \u201CAllow access to phone data?\u201D, tap Allow.";
const std::string hintB =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransferring files / "
    "Android Auto\u201D. If it asks \u201CAllow access to phone data?\u201D, tap Allow.";
const std::string hintC =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransfer files\u201D.";
const std::string hintD =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransfer files\u201D (MTP).";
const std::string hintE =
    "Unlock the device, swipe down, tap \u201CCharging this device via USB\u201D, then choose "
    "\u201CFile transfer / Android Auto\u201D.";
const std::string hintF =
    "Unlock the device, swipe down, tap the USB notification and choose \u201CFile Transfer\u201D (MTP).";

DeviceSpec chargeOnly(std::uint16_t vendorID, std::string product,
                      std::vector<InterfaceSpec> interfaces = {}) {
    static std::uint32_t nextLocation = 0x20100000;
    DeviceSpec spec;
    spec.vendorID = vendorID;
    spec.productID = 0x1234;
    spec.vendorName = "Maker";
    spec.productName = std::move(product);
    spec.serialNumber = "SER";
    spec.locationID = nextLocation;
    nextLocation += 0x100000;
    spec.interfaces = std::move(interfaces);
    return spec;
}

struct Bus {
    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    iokit::MainPort port = iokit::MainPort::forBus(bus);

    std::vector<AndroidCandidate> scan() const {
        return USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(port);
    }
};

TEST(AndroidCandidateTests, FindsChargeOnlyDevicesByADBOrVendor) {
    Bus bus;
    const auto adbDevice = bus.bus->plug(chargeOnly(0x1234, "Dev Board", {InterfaceSpec::adb(0)}));
    bus.bus->plug(chargeOnly(0x1234, "Keyboard"));
    const auto samsung = bus.bus->plug(chargeOnly(0x04E8, "SM-G991B"));
    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0],
              (AndroidCandidate{adbDevice.deviceID, 0x1234, 0x1234, "Maker", "Dev Board", "SER", true}));
    EXPECT_EQ(found[1],
              (AndroidCandidate{samsung.deviceID, 0x04E8, 0x1234, "Maker", "SM-G991B", "SER", false}));
    EXPECT_EQ(found[1].id(), samsung.deviceID);
}

TEST(AndroidCandidateTests, GoogleEarbudsAreNoPhonesUnlessTheyCarryADB) {
    Bus bus;
    bus.bus->plug(chargeOnly(0x18D1, "Wireless BUDS 2"));
    EXPECT_TRUE(bus.scan().empty());
    bus.bus->plug(chargeOnly(0x18D1, "Wireless BUDS 2", {InterfaceSpec::adb(0)}));
    ASSERT_EQ(bus.scan().size(), 1u);
    EXPECT_TRUE(bus.scan()[0].hasADB);
    bus.bus->plug(chargeOnly(0x04E8, "Galaxy Buds"));
    EXPECT_EQ(bus.scan().size(), 2u) << "only Google's vendor ID is checked for earbuds";
}

TEST(AndroidCandidateTests, DevicesWhoseLocationHostsAnMTPInterfaceAreNeverCandidates) {
    Bus bus;
    auto phone = chargeOnly(0x18D1, "Pixel 7", {InterfaceSpec::vendorMTP(0), InterfaceSpec::adb(1)});
    bus.bus->plug(phone);
    EXPECT_TRUE(bus.scan().empty());
    auto sameLocation = chargeOnly(0x04E8, "Other");
    sameLocation.locationID = phone.locationID;
    bus.bus->plug(sameLocation);
    EXPECT_TRUE(bus.scan().empty());
}

// A bus on which a USB event happens at a chosen moment of a candidate scan: just before its device
// sweep (after its MTP sweep), or just after it.
class BusWithEventAtDeviceSweep final : public testing::ForwardingBus {
public:
    enum class When { before, after };

    BusWithEventAtDeviceSweep(std::shared_ptr<simulation::SimulatedBus> bus, When when,
                              std::function<void()> event)
        : ForwardingBus(std::move(bus)), m_when(when), m_event(std::move(event)) {}

    std::vector<usb::RegistryEntry> matchingEntries(std::string_view className) override {
        const bool deviceSweep = className == usb::deviceClassName;
        if (deviceSweep && m_when == When::before) {
            fire();
        }
        auto entries = m_bus->matchingEntries(className);
        if (deviceSweep && m_when == When::after) {
            fire();
        }
        return entries;
    }

private:
    void fire() {
        if (m_event) {
            std::exchange(m_event, nullptr)();
        }
    }

    When m_when;
    std::function<void()> m_event;
};

TEST(AndroidCandidateTests, PhonePluggedInFileTransferModeDuringTheScanIsNoCandidate) {
    auto simulated = std::make_shared<simulation::SimulatedBus>();
    auto bus =
        std::make_shared<BusWithEventAtDeviceSweep>(simulated, BusWithEventAtDeviceSweep::When::before, [&] {
            simulated->plug(chargeOnly(0x18D1, "Pixel 7", {InterfaceSpec::vendorMTP(0)}));
        });
    EXPECT_TRUE(USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(iokit::MainPort::forBus(bus)).empty());
}

TEST(AndroidCandidateTests, DeviceUnpluggedDuringTheScanIsLeftOut) {
    // Without its children the scan cannot tell whether it had ADB, so it does not guess.
    auto simulated = std::make_shared<simulation::SimulatedBus>();
    const auto plugged = simulated->plug(chargeOnly(0x18D1, "Pixel 7", {InterfaceSpec::adb(0)}));
    auto bus = std::make_shared<BusWithEventAtDeviceSweep>(simulated, BusWithEventAtDeviceSweep::When::after,
                                                           [&] { simulated->unplug(plugged.deviceID); });
    EXPECT_TRUE(USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(iokit::MainPort::forBus(bus)).empty());
}

TEST(AndroidCandidateTests, MissingPropertiesGetDefaults) {
    Bus bus;
    auto spec = chargeOnly(0x2717, "");
    spec.vendorName.reset();
    spec.productName.reset();
    spec.serialNumber.reset();
    spec.omittedProperties = {"idProduct"};
    bus.bus->plug(spec);
    const auto found = bus.scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].productID, 0);
    EXPECT_EQ(found[0].vendorName, "");
    EXPECT_EQ(found[0].displayName(), "Android device");
}

TEST(AndroidCandidateTests, KnowsTheEighteenAndroidVendors) {
    for (const std::uint16_t vendor :
         {0x18D1, 0x04E8, 0x2717, 0x22D9, 0x2D95, 0x12D1, 0x339B, 0x22B8, 0x0FCE, 0x1004, 0x0BB4, 0x0B05,
          0x17EF, 0x19D2, 0x2AE5, 0x2E04, 0x1BBB, 0x2949}) {
        EXPECT_TRUE(isAndroidVendor(vendor)) << vendor;
    }
    for (const std::uint16_t vendor : {0x05AC, 0x0000, 0x1234, 0xFFFF}) {
        EXPECT_FALSE(isAndroidVendor(vendor)) << vendor;
    }
}

TEST(AndroidCandidateTests, DisplayNameFallsBackToTheVendor) {
    EXPECT_EQ((AndroidCandidate{1, 0, 0, "", "", "", false}).displayName(), "Android device");
    EXPECT_EQ((AndroidCandidate{1, 0, 0, "Acme", "", "", false}).displayName(), "Acme device");
    EXPECT_EQ((AndroidCandidate{1, 0, 0, "Ac\x1B\x07me", "", "", false}).displayName(), "Ac me device");
    EXPECT_EQ((AndroidCandidate{1, 0, 0, "Samsung", "SM-G991B", "R58N", false}).displayName(),
              "Samsung SM-G991B");
}

TEST(AndroidCandidateTests, HintFollowsTheMakerByNameThenByVendorID) {
    struct Case {
        const char* vendorName;
        const char* productName;
        std::uint16_t vendorID;
        const std::string& hint;
    };
    const std::vector<Case> cases{
        {"Xiaomi", "", 0x04E8, hintA},
        {"", "Redmi Note 12", 0, hintA},
        {"", "POCO F5", 0, hintA},
        {"SAMSUNG", "", 0, hintB},
        {"SM-Tablets", "", 0, hintB}, // the text begins with "sm-" only through the vendor name
        {"", "SM-A515F", 0x04E8, hintB},
        {"", "SM-A515F", 0x1234, hintF}, // an empty vendor makes the text begin with a space
        {"OnePlus", "", 0, hintC},
        {"", "OPPO A78", 0, hintC},
        {"realme", "", 0, hintC},
        {"HUAWEI", "", 0, hintD},
        {"", "HONOR Magic", 0, hintD},
        {"vivo", "", 0, hintC},
        {"Google", "Pixel 7", 0x1234, hintE},
        {"Xiaomi", "Pixel", 0, hintA}, // the first rule that applies wins
        {"Samsung", "Huawei", 0, hintB},
        {"", "", 0x04E8, hintB},
        {"", "", 0x12D1, hintD},
        {"", "", 0x339B, hintD},
        {"", "", 0x18D1, hintE},
        {"", "", 0x22D9, hintC},
        {"", "", 0x2D95, hintC},
        {"", "", 0x2717, hintA},
        {"Acme", "Phone", 0x1234, hintF},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.vendorName) + "|" + each.productName);
        const AndroidCandidate candidate{1, each.vendorID, 0, each.vendorName, each.productName, "", false};
        EXPECT_EQ(candidate.fileTransferHint(), each.hint);
    }
}

TEST(AndroidCandidateTests, EqualityAndHashCoverEveryField) {
    const AndroidCandidate base{1, 2, 3, "v", "p", "s", false};
    std::vector<AndroidCandidate> variants(7, base);
    variants[0].registryEntryID = 9;
    variants[1].vendorID = 9;
    variants[2].productID = 9;
    variants[3].vendorName = "x";
    variants[4].productName = "x";
    variants[5].serialNumber = "x";
    variants[6].hasADB = true;
    std::unordered_set<AndroidCandidate> set{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        set.insert(variant);
    }
    EXPECT_EQ(set.size(), 8u);
}

} // namespace
} // namespace corvane
