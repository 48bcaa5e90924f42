#include "platform/foundation/XDGFolders.h"

#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform::XDGFolders {

namespace {

std::optional<std::filesystem::path> absoluteValue(const Environment& environment,
                                                   std::string_view variable) {
    const auto value = environment.value(variable);
    if (!value || value->empty() || !std::filesystem::path(*value).is_absolute()) {
        return std::nullopt;
    }
    return std::filesystem::path(*value);
}

std::filesystem::path accountHome() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    return {};
}

std::filesystem::path under(const std::filesystem::path& home, std::string_view folder) {
    return home.empty() ? home : home / folder;
}

} // namespace

std::filesystem::path home(const Environment& environment) {
    if (auto folder = absoluteValue(environment, "HOME")) {
        return *folder;
    }
    return accountHome();
}

std::filesystem::path configHome(const Environment& environment) {
    if (auto folder = absoluteValue(environment, "XDG_CONFIG_HOME")) {
        return *folder;
    }
    return under(home(environment), ".config");
}

std::filesystem::path cacheHome(const Environment& environment) {
    if (auto folder = absoluteValue(environment, "XDG_CACHE_HOME")) {
        return *folder;
    }
    return under(home(environment), ".cache");
}

} // namespace platform::XDGFolders
