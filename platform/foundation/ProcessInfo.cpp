#include "platform/foundation/ProcessInfo.h"

#include <fstream>
#include <iterator>

namespace platform {

std::optional<std::string> processName(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (!comm) {
        return std::nullopt;
    }
    std::string name{std::istreambuf_iterator<char>(comm), std::istreambuf_iterator<char>()};
    if (comm.bad()) {
        return std::nullopt;
    }
    // The kernel ends the name with a newline; the name itself may hold any other byte.
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

} // namespace platform
