#pragma once

#include "Corvane/usb/AndroidCandidate.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/iokit/IOKitLib.h"

#include <optional>
#include <vector>

namespace tandalo::app {

/// What the application asks of the library's discovery side: the MTP interfaces and the charge-only
/// Android devices attached now, and who holds an interface. Synchronous, and never throws: a bus that
/// cannot be read gives empty lists. Main thread.
class USBDiscovery {
public:
    virtual ~USBDiscovery() = default;

    virtual std::vector<corvane::USBDeviceDescriptor> findMTPInterfaces() = 0;
    virtual std::vector<corvane::AndroidCandidate> findAndroidCandidatesWithoutMTP() = 0;
    virtual std::optional<corvane::USBDeviceDiscovery::Holder>
    holder(const corvane::USBDeviceDescriptor& device) = 0;
};

/// The library's discovery over the registry of a bus: by default the process's own bus.
class RegistryUSBDiscovery final : public USBDiscovery {
public:
    explicit RegistryUSBDiscovery(iokit::MainPort port = iokit::kIOMainPortDefault)
        : m_port(std::move(port)) {}

    std::vector<corvane::USBDeviceDescriptor> findMTPInterfaces() override;
    std::vector<corvane::AndroidCandidate> findAndroidCandidatesWithoutMTP() override;
    std::optional<corvane::USBDeviceDiscovery::Holder>
    holder(const corvane::USBDeviceDescriptor& device) override;

private:
    iokit::MainPort m_port;
};

} // namespace tandalo::app
