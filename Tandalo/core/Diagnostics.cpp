#include "Tandalo/core/Diagnostics.h"

#include "Corvane/usb/DeviceName.h"
#include "Tandalo/core/AppModel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

namespace tandalo::app {
namespace {

// Both files are a few hundred bytes; the limit keeps a wrong path (a device, a huge file) harmless.
constexpr std::size_t fileLimit = 64 * 1024;

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string text(fileLimit, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    return text;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A value as os-release writes it: bare, or in single quotes taken literally, or in double quotes where a
// backslash escapes the next character.
std::string unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        return std::string(value.substr(1, value.size() - 2));
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string text;
        value = value.substr(1, value.size() - 2);
        for (std::size_t index = 0; index < value.size(); ++index) {
            if (value[index] == '\\' && index + 1 < value.size()) {
                ++index;
            }
            text.push_back(value[index]);
        }
        return text;
    }
    return std::string(value);
}

std::map<std::string, std::string, std::less<>> osReleaseFields(std::string_view text) {
    std::map<std::string, std::string, std::less<>> fields;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos) {
            continue;
        }
        fields.insert_or_assign(std::string(line.substr(0, equals)), unquoted(line.substr(equals + 1)));
    }
    return fields;
}

std::string localTime(platform::Clock::WallTime date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(date));
    std::tm parts{};
    std::array<char, 16> text{};
    if (localtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text.data(), text.size(), "%H:%M:%S", &parts) == 0) {
        return "??:??:??";
    }
    return text.data();
}

std::string extensionWord(const std::optional<bool>& enabled) {
    if (!enabled) {
        return "unknown";
    }
    return *enabled ? "on" : "off";
}

std::string deviceLine(const DeviceEntry& entry) {
    const auto& device = entry.descriptor;
    std::array<char, 16> ids{};
    std::snprintf(ids.data(), ids.size(), "%04X:%04X", static_cast<unsigned>(device.vendorID),
                  static_cast<unsigned>(device.productID));
    return "  " + corvane::DeviceName::clean(device.productName, device.vendorName, device.serialNumber) +
           ", " + ids.data() + ", " + entry.state.diagnosticsText();
}

// A subsystem and the ones below it, "com.brenwick.Tandalo.fsext" under "com.brenwick.Tandalo".
bool isReported(std::string_view subsystem) {
    return std::any_of(Diagnostics::reportedSubsystems.begin(), Diagnostics::reportedSubsystems.end(),
                       [subsystem](std::string_view reported) {
                           return subsystem == reported || (subsystem.starts_with(reported) &&
                                                            subsystem.substr(reported.size(), 1) == ".");
                       });
}

} // namespace

std::string operatingSystemVersionString(const SystemFiles& files) {
    auto text = readSmallFile(files.osRelease);
    if (!text) {
        text = readSmallFile(files.osReleaseFallback);
    }
    if (!text) {
        return {};
    }
    const auto fields = osReleaseFields(*text);
    const auto field = [&fields](std::string_view key) {
        const auto found = fields.find(key);
        return found == fields.end() ? std::string() : found->second;
    };
    const auto name = field("NAME");
    if (name.empty()) {
        return field("PRETTY_NAME");
    }
    for (const auto key : {"VERSION", "VERSION_ID", "BUILD_ID"}) {
        if (const auto version = field(key); !version.empty()) {
            return name + " " + version;
        }
    }
    return name;
}

std::string machineModelIdentifier(const SystemFiles& files) {
    const auto text = readSmallFile(files.productName);
    if (!text) {
        return {};
    }
    return std::string(trimmed(std::string_view(*text).substr(0, text->find('\0'))));
}

std::vector<std::string> recentLogLines(const LogReader& log, double minutes) {
    std::vector<oslog::LogEntry> entries;
    try {
        entries = log.recentEntries("", platform::Clock::toDuration(platform::Seconds(minutes * 60)));
    } catch (const std::exception&) {
        return {"  (log unavailable)"};
    }
    std::erase_if(entries, [](const oslog::LogEntry& entry) { return !isReported(entry.subsystem); });
    const auto first = entries.size() > Diagnostics::logLineLimit ? entries.end() - Diagnostics::logLineLimit
                                                                  : entries.begin();
    std::vector<std::string> lines;
    for (auto entry = first; entry != entries.end(); ++entry) {
        lines.push_back("  " + localTime(entry->date) + " " + oslog::LogStore::singleLine(entry->message));
    }
    return lines;
}

std::string Diagnostics::report(const AppModel& model) const {
    std::vector<std::string> lines{
        appDisplayName(m_services.bundle) + " " + appVersionString(m_services.bundle),
        "Linux " + operatingSystemVersionString(m_services.files),
        "Computer " + machineModelIdentifier(m_services.files),
        "File system extension: " + extensionWord(*model.extensionEnabled),
        "Devices:",
    };
    for (const auto& entry : *model.devices) {
        lines.push_back(deviceLine(entry));
    }
    for (const auto& candidate : *model.waitingForFileTransfer) {
        lines.push_back("  " + candidate.displayName() + ", charge-only mode");
    }
    if (model.devices->empty() && model.waitingForFileTransfer->empty()) {
        lines.emplace_back("  none");
    }
    lines.emplace_back("Log, last 15 minutes:");
    const auto log = recentLogLines(m_services.log, logMinutes);
    lines.insert(lines.end(), log.begin(), log.end());

    std::string text = lines.front();
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        text += '\n';
        text += *line;
    }
    return text;
}

void Diagnostics::copy(const AppModel& model) const {
    m_services.clipboard.setText(report(model));
    auto& center = m_services.notifications;
    center.getNotificationSettings([&center](NotificationSettings settings) {
        if (settings.authorizationStatus == NotificationAuthorizationStatus::authorized) {
            center.add({std::string(notificationIdentifier), "Diagnostics copied",
                        "Paste the report into an e-mail to " + std::string(supportAddress) + ".",
                        NotificationSound::none});
        }
    });
}

} // namespace tandalo::app
