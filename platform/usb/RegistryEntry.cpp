#include "platform/usb/RegistryEntry.h"

namespace usb {

const PropertyValue* RegistryEntry::property(std::string_view key) const {
    const auto found = properties.find(key);
    return found == properties.end() ? nullptr : &found->second;
}

std::string ProcessIdentity::ownerText() const {
    return "pid " + std::to_string(pid) + ", " + name;
}

} // namespace usb
