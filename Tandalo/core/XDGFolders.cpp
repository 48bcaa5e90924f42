#include "Tandalo/core/XDGFolders.h"

#include "Tandalo/core/FileOperations.h"

namespace tandalo::app::XDGFolders {

namespace {

std::optional<std::filesystem::path> absoluteValue(const platform::Environment& environment,
                                                   std::string_view variable) {
    const auto value = environment.value(variable);
    if (!value || value->empty() || !std::filesystem::path(*value).is_absolute()) {
        return std::nullopt;
    }
    return std::filesystem::path(*value);
}

} // namespace

std::filesystem::path home(const platform::Environment& environment) {
    if (auto folder = absoluteValue(environment, "HOME")) {
        return *folder;
    }
    return LinuxFileOperations().homeFolder();
}

std::filesystem::path configHome(const platform::Environment& environment) {
    if (auto folder = absoluteValue(environment, "XDG_CONFIG_HOME")) {
        return *folder;
    }
    return home(environment) / ".config";
}

std::filesystem::path cacheHome(const platform::Environment& environment) {
    if (auto folder = absoluteValue(environment, "XDG_CACHE_HOME")) {
        return *folder;
    }
    return home(environment) / ".cache";
}

} // namespace tandalo::app::XDGFolders
