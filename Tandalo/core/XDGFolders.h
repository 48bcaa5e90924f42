#pragma once

#include "platform/foundation/Environment.h"

#include <filesystem>

namespace tandalo::app {

/// The user's folders of the XDG Base Directory rules: a variable that holds an absolute path names the
/// folder; otherwise (unset, empty or relative) the default under the home folder applies. The home folder
/// is HOME, else the user database's.
namespace XDGFolders {

std::filesystem::path home(const platform::Environment& environment);
/// XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome(const platform::Environment& environment);
/// XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path cacheHome(const platform::Environment& environment);

} // namespace XDGFolders

} // namespace tandalo::app
