#include "Tandalo/core/USBDiscovery.h"

namespace tandalo::app {

std::vector<corvane::USBDeviceDescriptor> RegistryUSBDiscovery::findMTPInterfaces() {
    return corvane::USBDeviceDiscovery::findMTPInterfaces(m_port);
}

std::vector<corvane::AndroidCandidate> RegistryUSBDiscovery::findAndroidCandidatesWithoutMTP() {
    return corvane::USBDeviceDiscovery::findAndroidCandidatesWithoutMTP(m_port);
}

std::optional<corvane::USBDeviceDiscovery::Holder>
RegistryUSBDiscovery::holder(const corvane::USBDeviceDescriptor& device) {
    return corvane::USBDeviceDiscovery::holder(device, m_port);
}

} // namespace tandalo::app
