#pragma once

#include "platform/foundation/LogStore.h"
#include "platform/foundation/Logger.h"

#include <string_view>

namespace tandalo {

/// The extension's bundle identifier, its log subsystem.
inline constexpr std::string_view extensionBundleIdentifier = "com.brenwick.Tandalo.fsext";

/// The extension's log, category "fs", on the process's log store; made once on first use. Any thread.
const oslog::Logger& extensionLog();
/// The same subsystem and category on another store, for tests that read their own store back.
oslog::Logger extensionLog(oslog::LogStore& store);

} // namespace tandalo
