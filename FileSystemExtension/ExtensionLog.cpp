#include "FileSystemExtension/ExtensionLog.h"

#include <string>

namespace tandalo {

const oslog::Logger& extensionLog() {
    static const oslog::Logger log = extensionLog(oslog::LogStore::shared());
    return log;
}

oslog::Logger extensionLog(oslog::LogStore& store) {
    return oslog::Logger(std::string(extensionBundleIdentifier), "fs", store);
}

} // namespace tandalo
