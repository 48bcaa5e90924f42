#include "Tandalo/view/ModelState.h"

#include <algorithm>

namespace tandalo::view {

bool ModelState::hasMountedDevices() const {
    return std::any_of(devices.begin(), devices.end(),
                       [](const app::DeviceEntry& entry) { return entry.state.isMounted(); });
}

} // namespace tandalo::view
