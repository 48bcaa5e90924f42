#pragma once

#include "platform/foundation/Environment.h"

#include <filesystem>

namespace platform {

/// The user's folders of the XDG Base Directory rules, the one rule every program of the system keeps to:
/// a variable that holds an absolute path names the folder; otherwise (unset, empty or relative) the
/// default under the home folder applies. The home folder is HOME, and the user database's only where HOME
/// gives none, so that a session started with another HOME keeps everything under it.
namespace XDGFolders {

/// HOME, else the user database's home folder; empty when neither gives one.
std::filesystem::path home(const Environment& environment);
/// XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome(const Environment& environment);
/// XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path cacheHome(const Environment& environment);

} // namespace XDGFolders

} // namespace platform
