#include "Corvane/usb/RegistryProperties.h"

#include "Corvane/usb/TextMatching.h"

#include <utility>

namespace corvane::registry {

bool isMTPInterface(const iokit::io_registry_entry_t& interface, std::string* name) {
    const auto interfaceClass = integerProperty(interface, "bInterfaceClass");
    const auto subClass = integerProperty(interface, "bInterfaceSubClass");
    const auto protocol = integerProperty(interface, "bInterfaceProtocol");
    if (!interfaceClass || !subClass || !protocol) {
        return false;
    }
    std::string interfaceName;
    if (auto text = stringProperty(interface, "kUSBString")) {
        interfaceName = std::move(*text);
    } else if (auto fallback = stringProperty(interface, "USB Interface Name")) {
        interfaceName = std::move(*fallback);
    }
    const bool isMTP = (*interfaceClass == 255 && *subClass == 255 && *protocol == 0)
                           ? text::upperCased(interfaceName) == "MTP"
                           : *interfaceClass == 6 && *subClass == 1 && *protocol == 1;
    if (name != nullptr) {
        *name = std::move(interfaceName);
    }
    return isMTP;
}

} // namespace corvane::registry
