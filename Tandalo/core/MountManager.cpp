#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/MountResource.h"
#include "Tandalo/core/ThreadExecutor.h"
#include "platform/foundation/Unicode.h"

#include <array>
#include <climits>
#include <unistd.h>

namespace tandalo::app {

namespace {

using namespace std::chrono_literals;

constexpr auto busyRetryWait = 1s;
constexpr int attemptsUntilBusyGivesUp = 4;

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

template <std::size_t count>
bool containsAny(std::string_view text, const std::array<std::string_view, count>& parts) {
    for (const auto part : parts) {
        if (contains(text, part)) {
            return true;
        }
    }
    return false;
}

// The mount tool's output, lower-cased, is read for the error texts of the system the application was
// designed on and for Linux's own (strerror) texts, which is what mount-tandalo prints: ENXIO is "No such
// device or address" here, EBUSY "Device or resource busy".
constexpr std::array noAnswer{std::string_view("device not configured"), std::string_view("enxio"),
                              std::string_view("no such device or address")};
constexpr std::array heldByAnother{std::string_view("text file busy"), std::string_view("etxtbsy")};
constexpr std::array accessDenied{std::string_view("permission denied"), std::string_view("eacces")};
// Something already at the mount point: there, "already exists"; here, a folder whose earlier mount lost
// its server ("Transport endpoint is not connected"), or EEXIST.
constexpr std::array staleMountPoint{std::string_view("already exists"), std::string_view("file exists"),
                                     std::string_view("transport endpoint is not connected")};
// The system began loading the resource, so the file system was reached: there, "loading resource"; here,
// mount-tandalo names the step of the file system that failed after the resource was recognised.
constexpr std::array beganLoading{std::string_view("loading resource"), std::string_view("loadresource:"),
                                  std::string_view("activate:")};
constexpr std::array extensionMissing{std::string_view("no such file system"), std::string_view("not found"),
                                      std::string_view("extensionkit")};

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

MountTools MountTools::besideExecutable() {
    MountTools tools;
    std::array<char, PATH_MAX> executable{};
    const auto length = ::readlink("/proc/self/exe", executable.data(), executable.size() - 1);
    const std::filesystem::path self = length > 0
                                           ? std::filesystem::path(std::string(executable.data(), length))
                                           : std::filesystem::path("/usr/bin/tandalo");
    tools.mountTool = self.parent_path() / "mount-tandalo";
    return tools;
}

MountManager::MountManager(MountServices services, MountTools tools)
    : m_services(services), m_tools(std::move(tools)), m_log("com.brenwick.Tandalo", "mount"),
      m_background(std::make_unique<ThreadExecutor>(services.clock)) {}

MountManager::~MountManager() = default;

std::optional<std::filesystem::path> MountManager::tokenFile(const corvane::USBDeviceDescriptor& device,
                                                             const std::filesystem::path& folder, int attempt,
                                                             corvane::TakeOver takeOver) const {
    const auto directory =
        folder.parent_path() / ".tandalo" / MountResource::modeFolderName(takeOver, attempt);
    try {
        m_services.files.createDirectories(directory);
    } catch (const std::exception& error) {
        m_log.error("token beside %{public}s: %{public}s", folder.string(), error.what());
        return std::nullopt;
    }
    const auto file = directory / MountResource::tokenFileName(device);
    try {
        m_services.files.createEmptyFile(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return file;
}

std::string MountManager::mtpURL(const corvane::USBDeviceDescriptor& device, int attempt,
                                 corvane::TakeOver takeOver) {
    return MountResource::url(device, attempt, takeOver);
}

bool MountManager::indicatesAccessNotGranted(std::string_view lowerOutput) {
    return containsAny(lowerOutput, accessDenied);
}

MountFindings MountManager::findingsOf(std::string_view lowerOutput) {
    return MountFindings{containsAny(lowerOutput, staleMountPoint), indicatesAccessNotGranted(lowerOutput),
                         containsAny(lowerOutput, heldByAnother)};
}

// The sentences name this platform's things: the computer, the desktop's own apps that hold phones, and
// FUSE as what makes the file system extension available.
std::string MountManager::failureMessage(std::string_view output, std::int32_t status,
                                         std::optional<bool> extensionEnabled) const {
    const auto lower = platform::unicode::lowercased(output);
    if (containsAny(lower, noAnswer)) {
        return "The device didn't answer. Unlock it and make sure USB mode is set to File Transfer.";
    }
    if (containsAny(lower, heldByAnother)) {
        return "Another app may be using the device, such as the file manager's own phone access, Shotwell, "
               "digiKam or gphoto2. Quit it, then unplug the device and plug it back in. If this keeps "
               "happening, restart the computer.";
    }
    if (contains(lower, "resource busy")) {
        return "The device is still held by an earlier mount attempt. Unplug it, wait a few seconds and plug "
               "it "
               "back in.";
    }
    if (indicatesAccessNotGranted(lower)) {
        return "The device has not granted access yet. Unlock it and tap Allow when it asks to allow access "
               "to "
               "phone data.";
    }
    if (contains(lower, "not permitted")) {
        return "The system would not mount at that location. Choose a different folder for mounted devices "
               "in "
               "Settings.";
    }
    // An empty output says nothing of the extension: it is reported as it is, before the extension's rule
    // would read its silence as "never reached the file system".
    if (output.empty()) {
        return "mount failed (exit " + std::to_string(status) + ")";
    }
    if (!containsAny(lower, beganLoading) || containsAny(lower, extensionMissing)) {
        const auto name = appDisplayName(m_services.bundle);
        if (extensionEnabled == true) {
            return "The " + name +
                   " file system extension is switched on, but the system could not start it. " +
                   "Quit and reopen " + name + ". If it still fails, restart the computer.";
        }
        return "The " + name + " file system extension isn't available. Make sure FUSE 3 is installed (the " +
               "fuse3 package) and that /dev/fuse can be opened.";
    }
    if (contains(lower, "input/output error")) {
        return "The device stopped responding. Plug it straight into the computer or try another cable, then "
               "try "
               "again.";
    }
    return trimmed(output);
}

Task<std::filesystem::path> MountManager::mount(corvane::USBDeviceDescriptor device,
                                                std::filesystem::path folder,
                                                std::optional<bool> extensionEnabled,
                                                corvane::TakeOver takeOver) {
    if (auto existing = existingMount(device)) {
        co_return *existing;
    }
    int attempt = 1;
    bool tokenForm = true;
    const auto resourceFor = [&](int number) {
        if (tokenForm) {
            if (auto token = tokenFile(device, folder, number, takeOver)) {
                return token->string();
            }
        }
        return mtpURL(device, number, takeOver);
    };
    auto resource = resourceFor(attempt);
    ProcessResult result;
    std::string lower;
    while (true) {
        ProcessCommand command{
            m_tools.mountTool, {"-t", "tandalo", resource, folder.string()}, m_tools.mountTimeLimit};
        result = co_await run(m_services.processes, std::move(command));
        m_log.notice("mount %{public}s at %{public}s: exit %d %{public}s", resource, folder.string(),
                     result.status, result.output);
        if (result.status == 0) {
            co_return folder;
        }
        // The tool may report a failure of a mount that happened all the same.
        if (auto existing = existingMount(device)) {
            co_return *existing;
        }
        lower = platform::unicode::lowercased(result.output);
        if (contains(lower, "resource busy")) {
            co_await sleep(busyRetryWait); // a sleep cut short by cancellation still counts
            if (++attempt == attemptsUntilBusyGivesUp) {
                break;
            }
            resource = resourceFor(attempt);
            continue;
        }
        if (tokenForm && resource.starts_with("/") && !containsAny(lower, beganLoading)) {
            tokenForm = false;
            resource = mtpURL(device, attempt, takeOver);
            continue;
        }
        break;
    }
    throw MountError(failureMessage(result.output, result.status, extensionEnabled), findingsOf(lower));
}

} // namespace tandalo::app
