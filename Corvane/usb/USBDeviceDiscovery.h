#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "platform/iokit/IOKitLib.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

/// The USB scans of the library, over the IOKit registry. They only read the registry, never open a
/// device, and throw nothing: an unreadable registry gives empty lists. Each call makes its own queries,
/// so they may run on any thread at any time. The main port picks the bus; by default the process's.
namespace USBDeviceDiscovery {

/// The process that holds an interface exclusively, as the registry names it.
struct Holder {
    std::int32_t pid = 0;
    std::string name;
    bool operator==(const Holder&) const = default;
};

/// The MTP interfaces on the bus, in registry order: vendor-specific interfaces named "MTP" and
/// still-image interfaces with the PTP protocol. Devices of Apple's vendor ID are left out.
std::vector<USBDeviceDescriptor> findMTPInterfaces(const iokit::MainPort& port = iokit::kIOMainPortDefault);

/// Attached Android devices without an MTP interface: those with an ADB interface or an Android maker's
/// vendor ID, in registry order.
std::vector<AndroidCandidate>
findAndroidCandidatesWithoutMTP(const iokit::MainPort& port = iokit::kIOMainPortDefault);

/// Who holds the interface the descriptor names; nothing when nobody does or the registry does not say.
std::optional<Holder> holder(const USBDeviceDescriptor& descriptor,
                             const iokit::MainPort& port = iokit::kIOMainPortDefault);
/// The same, for an interface service the caller has already looked up.
std::optional<Holder> holder(const iokit::io_service_t& interfaceService);

/// Parses a "UsbExclusiveOwner" text: "pid " and a decimal process number, a comma, the process name.
std::optional<Holder> parseExclusiveOwner(std::string_view text);

/// True for the platform's camera service, which takes MTP devices for itself: exactly "ptpcamerad"
/// and "PTPCamera", and on Linux desktops GVfs's MTP and camera back ends, "gvfsd-mtp" and
/// "gvfsd-gphoto2".
bool isCameraService(std::string_view processName);

} // namespace USBDeviceDiscovery

} // namespace corvane
