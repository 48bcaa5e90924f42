#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

/// The command name of a running process, as the kernel keeps it (/proc/<pid>/comm: the program's file
/// name, cut to 15 bytes); nothing when there is no such process or its entry cannot be read.
std::optional<std::string> processName(pid_t pid);

} // namespace platform
