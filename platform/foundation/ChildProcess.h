#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

/// Starts a program as a child process with this process's environment plus more "NAME=value" variables,
/// which replace inherited ones of the same name. Its standard input reads nothing; its output and errors go
/// to outputDescriptor when one is given, else where this process's go. Returns its pid. Throws
/// FoundationError when it cannot be started.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extraEnvironment = {}, int outputDescriptor = -1);

/// Waits for a child to end and reaps it: its exit status, or 128 plus the signal that ended it.
int waitForChild(pid_t pid);

} // namespace platform
