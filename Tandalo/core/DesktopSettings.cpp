#include "Tandalo/core/DesktopSettings.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <unistd.h>
#include <vector>

namespace tandalo::app {

namespace {

/// A settings program and the arguments that open its notifications page.
struct SettingsProgram {
    std::string_view program;
    std::vector<std::string> arguments;
};

/// What each desktop offers, in the order of preference: KDE Plasma 6 keeps the module in systemsettings
/// and kcmshell6, Plasma 5 in systemsettings5 or kcmshell5.
std::vector<SettingsProgram> programsOf(std::string_view desktop) {
    if (desktop == "gnome" || desktop == "ubuntu" || desktop == "unity") {
        return {{"gnome-control-center", {"notifications"}}};
    }
    if (desktop == "kde") {
        return {{"systemsettings", {"kcm_notifications"}},
                {"kcmshell6", {"kcm_notifications"}},
                {"systemsettings5", {"kcm_notifications"}},
                {"kcmshell5", {"kcm_notifications"}}};
    }
    if (desktop == "xfce") {
        return {{"xfce4-notifyd-config", {}}};
    }
    return {};
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
    return result;
}

} // namespace

std::optional<std::filesystem::path> findProgram(std::string_view name, std::string_view searchPath) {
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        const auto end = std::min(searchPath.find(':', start), searchPath.size());
        const auto folder = searchPath.substr(start, end - start);
        // An empty entry is the working folder in a shell's search; a program the user did not place
        // on purpose is never run from there.
        if (!folder.empty() && folder.front() == '/') {
            const auto candidate = std::filesystem::path(folder) / name;
            std::error_code error;
            if (std::filesystem::is_regular_file(candidate, error) &&
                ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<ProcessCommand> notificationSettingsCommand(std::string_view currentDesktops,
                                                          const ProgramFinder& find) {
    std::size_t start = 0;
    while (start <= currentDesktops.size()) {
        const auto end = std::min(currentDesktops.find(':', start), currentDesktops.size());
        for (const auto& candidate : programsOf(lowered(currentDesktops.substr(start, end - start)))) {
            const auto program = find(candidate.program);
            if (!program) {
                continue;
            }
            // setsid(1) starts the program in a session of its own and returns at once.
            if (const auto setsid = find("setsid")) {
                std::vector<std::string> arguments{"--fork", program->string()};
                arguments.insert(arguments.end(), candidate.arguments.begin(), candidate.arguments.end());
                return ProcessCommand{*setsid, std::move(arguments)};
            }
            // Without it the program is the application's child, left to run for as long as the user likes.
            return ProcessCommand{*program, candidate.arguments, std::chrono::hours(24)};
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<ProcessCommand> notificationSettingsCommand(const platform::Environment& environment) {
    const auto searchPath = environment.value("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    return notificationSettingsCommand(
        environment.value("XDG_CURRENT_DESKTOP").value_or(""),
        [&searchPath](std::string_view name) { return findProgram(name, searchPath); });
}

} // namespace tandalo::app
