#pragma once

#include "Tandalo/core/ProcessRunner.h"
#include "platform/foundation/Environment.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

namespace tandalo::app {

/// Finds a program by its name, as the shell does; nothing when no such program is there.
using ProgramFinder = std::function<std::optional<std::filesystem::path>(std::string_view name)>;

/// The executable file of that name in the first folder of the search path (colon-separated, as in PATH)
/// that holds one; nothing when none does.
std::optional<std::filesystem::path> findProgram(std::string_view name, std::string_view searchPath);

/// The command that opens the desktop's page of notification settings, for the desktops named in
/// XDG_CURRENT_DESKTOP (colon-separated, most specific first; the first one known and present wins);
/// nothing where no desktop named has a known way, or its program is not installed. The command starts
/// the settings program in a session of its own, so that it outlives the application and is not ended
/// with the application's own children.
std::optional<ProcessCommand> notificationSettingsCommand(std::string_view currentDesktops,
                                                          const ProgramFinder& find);
/// The same for this process's environment and search path.
std::optional<ProcessCommand> notificationSettingsCommand(const platform::Environment& environment);

} // namespace tandalo::app
