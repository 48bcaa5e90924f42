#include "Tandalo/view/ModelState.h"

#include <algorithm>

namespace tandalo::view {

bool ModelState::hasMountedDevices() const {
    return std::any_of(devices.begin(), devices.end(),
                       [](const app::DeviceEntry& entry) { return entry.state.isMounted(); });
}

std::optional<app::DeviceEntry> ModelState::device(std::string_view id) const {
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&](const app::DeviceEntry& entry) { return entry.id() == id; });
    if (found == devices.end()) {
        return std::nullopt;
    }
    return *found;
}

} // namespace tandalo::view
