#include "Corvane/usb/AndroidCandidate.h"

#include "Corvane/usb/DeviceName.h"
#include "Corvane/usb/RegistryProperties.h"
#include "Corvane/usb/TextMatching.h"
#include "Corvane/usb/USBDeviceDiscovery.h"

#include <initializer_list>
#include <unordered_set>

namespace corvane {

namespace {

constexpr std::uint16_t googleVendorID = 0x18D1;

// The switch is named differently in each maker's USB menu, and the typographic quotation marks are part
// of the texts the user compares with the screen.
constexpr const char* hintXiaomi =
    "Unlock the device, swipe down, tap \u201CCharging this device via USB\u201D, choose "
    "\u201CFile Transfer\u201D. If it asks \u201CAllow access to phone data?\u201D, tap "
    "Allow.";
constexpr const char* hintSamsung =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransferring "
    "files / Android Auto\u201D. If it asks \u201CAllow access to phone data?\u201D, tap "
    "Allow.";
constexpr const char* hintTransferFiles =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransfer files\u201D.";
constexpr const char* hintHuawei =
    "Unlock the device, swipe down, tap the USB notification, choose \u201CTransfer files\u201D (MTP).";
constexpr const char* hintPixel =
    "Unlock the device, swipe down, tap \u201CCharging this device via USB\u201D, then "
    "choose \u201CFile transfer / Android Auto\u201D.";
constexpr const char* hintGeneric =
    "Unlock the device, swipe down, tap the USB notification and choose \u201CFile Transfer\u201D (MTP).";

bool containsAny(const std::string& text, std::initializer_list<std::string_view> parts) {
    for (const auto part : parts) {
        if (text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

bool isAndroidVendor(std::uint16_t vendorID) {
    static const std::unordered_set<std::uint16_t> vendors{
        0x18D1, 0x04E8, 0x2717, 0x22D9, 0x2D95, 0x12D1, 0x339B, 0x22B8, 0x0FCE,
        0x1004, 0x0BB4, 0x0B05, 0x17EF, 0x19D2, 0x2AE5, 0x2E04, 0x1BBB, 0x2949,
    };
    return vendors.contains(vendorID);
}

std::string AndroidCandidate::displayName() const {
    if (!productName.empty()) {
        return DeviceName::clean(productName, vendorName, serialNumber);
    }
    if (!vendorName.empty()) {
        return DeviceName::printable(vendorName) + " device";
    }
    return "Android device";
}

std::string AndroidCandidate::fileTransferHint() const {
    const std::string text = text::lowerCased(vendorName + " " + productName);
    if (containsAny(text, {"xiaomi", "redmi", "poco"})) {
        return hintXiaomi;
    }
    // The prefix test can only see a vendor name that starts with the model prefix: the text starts with
    // the vendor name, or with a space when there is none.
    if (containsAny(text, {"samsung"}) || text.starts_with("sm-")) {
        return hintSamsung;
    }
    if (containsAny(text, {"oneplus", "oppo", "realme"})) {
        return hintTransferFiles;
    }
    if (containsAny(text, {"huawei", "honor"})) {
        return hintHuawei;
    }
    if (containsAny(text, {"vivo"})) {
        return hintTransferFiles;
    }
    if (containsAny(text, {"pixel"})) {
        return hintPixel;
    }
    switch (vendorID) {
    case 0x04E8:
        return hintSamsung;
    case 0x12D1:
    case 0x339B:
        return hintHuawei;
    case googleVendorID:
        return hintPixel;
    case 0x22D9:
    case 0x2D95:
        return hintTransferFiles;
    case 0x2717:
        return hintXiaomi;
    default:
        return hintGeneric;
    }
}

namespace USBDeviceDiscovery {

namespace {

using registry::integerProperty;
using registry::stringProperty;

struct Children {
    bool gone = false; // the device was unplugged under the scan
    bool hasADB = false;
    bool hasMTP = false; // published after the MTP sweep of this scan ran
};

Children scanChildren(const iokit::MainPort& port, const iokit::io_registry_entry_t& device) {
    Children result;
    iokit::io_iterator_t children;
    if (iokit::IORegistryEntryGetChildIterator(device, iokit::kIOServicePlane, children) !=
        iokit::kIOReturnSuccess) {
        result.gone = !registry::isRegistered(port, device);
        return result;
    }
    while (const auto child = iokit::IOIteratorNext(children)) {
        if (integerProperty(child, "bInterfaceClass") == 255 &&
            integerProperty(child, "bInterfaceSubClass") == 66 &&
            integerProperty(child, "bInterfaceProtocol") == 1) {
            result.hasADB = true;
        }
        result.hasMTP = result.hasMTP || registry::isMTPInterface(child);
    }
    return result;
}

} // namespace

std::vector<AndroidCandidate> findAndroidCandidatesWithoutMTP(const iokit::MainPort& port) {
    std::unordered_set<std::uint32_t> mtpLocations;
    for (const auto& descriptor : findMTPInterfaces(port)) {
        mtpLocations.insert(descriptor.locationID);
    }
    std::vector<AndroidCandidate> found;
    iokit::io_iterator_t devices;
    if (iokit::IOServiceGetMatchingServices(port, iokit::IOServiceMatching("IOUSBHostDevice"), devices) !=
        iokit::kIOReturnSuccess) {
        return found;
    }
    while (const auto device = iokit::IOIteratorNext(devices)) {
        const auto vendor = static_cast<std::uint16_t>(integerProperty(device, "idVendor").value_or(0));
        const auto location = static_cast<std::uint32_t>(integerProperty(device, "locationID").value_or(0));
        if (mtpLocations.contains(location)) {
            continue; // its MTP interface is listed already
        }
        const Children children = scanChildren(port, device);
        // A device unplugged under the scan cannot say whether it had ADB; one whose MTP interface
        // appeared after the MTP sweep is in file-transfer mode already and needs no hint.
        if (children.gone || children.hasMTP) {
            continue;
        }
        const bool hasADB = children.hasADB;
        if (!hasADB && !isAndroidVendor(vendor)) {
            continue;
        }
        std::string productName = stringProperty(device, "USB Product Name").value_or("");
        // Google's earbuds share the phones' vendor ID; without ADB they are not phones.
        if (vendor == googleVendorID && !hasADB && text::containsIgnoringCase(productName, "buds")) {
            continue;
        }
        AndroidCandidate candidate;
        if (iokit::IORegistryEntryGetRegistryEntryID(device, candidate.registryEntryID) !=
            iokit::kIOReturnSuccess) {
            continue;
        }
        candidate.vendorID = vendor;
        candidate.productID = static_cast<std::uint16_t>(integerProperty(device, "idProduct").value_or(0));
        candidate.vendorName = stringProperty(device, "USB Vendor Name").value_or("");
        candidate.productName = std::move(productName);
        candidate.serialNumber = stringProperty(device, "USB Serial Number").value_or("");
        candidate.hasADB = hasADB;
        found.push_back(std::move(candidate));
    }
    return found;
}

} // namespace USBDeviceDiscovery

} // namespace corvane

std::size_t
std::hash<corvane::AndroidCandidate>::operator()(const corvane::AndroidCandidate& candidate) const noexcept {
    std::size_t seed = 0;
    const auto combine = [&seed](std::size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    combine(std::hash<std::uint64_t>{}(candidate.registryEntryID));
    combine(std::hash<std::uint16_t>{}(candidate.vendorID));
    combine(std::hash<std::uint16_t>{}(candidate.productID));
    combine(std::hash<std::string>{}(candidate.vendorName));
    combine(std::hash<std::string>{}(candidate.productName));
    combine(std::hash<std::string>{}(candidate.serialNumber));
    combine(std::hash<bool>{}(candidate.hasADB));
    return seed;
}
