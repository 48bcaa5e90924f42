#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/MountResource.h"
#include "Tandalo/core/ThreadExecutor.h"
#include "platform/foundation/OwnedFolder.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/WholeNumber.h"

#include <array>
#include <climits>
#include <unistd.h>

namespace tandalo::app {

namespace {

using namespace std::chrono_literals;

constexpr auto busyRetryWait = 1s;
/// How mount-tandalo names the process that serves the mount it made, which lives on after it returns.
constexpr std::string_view servedByProcess = "served by process ";
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
// mount-tandalo names the mount folder when the folder, not the phone, refused it: its own check of the
// folder ("mount folder <path>: ..."), the kernel's mount ("mount <path>: ..."), or fusermount3's.
constexpr std::array folderRefused{std::string_view("mount folder "), std::string_view(": mount /"),
                                   std::string_view("mountpoint")};
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

std::string timeLimitMessage(platform::Clock::Duration limit) {
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(limit).count();
    return "The device did not answer within " +
           (minutes >= 1 ? std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes")
                         : std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
                               " seconds") +
           ". Unlock it, make sure USB mode is set to File Transfer and tap Allow if it asks, then unplug it "
           "and plug it back in.";
}

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
                                                             corvane::TakeOver takeOver, bool located) const {
    // The token folder names the user's devices: it is closed to others, and nothing another user planted
    // in a shared mount folder is written through.
    const auto tokens = folder.parent_path() / ".tandalo";
    const auto directory = tokens / MountResource::modeFolderName(takeOver, attempt);
    try {
        m_services.files.createPrivateFolder(tokens);
        m_services.files.createPrivateFolder(directory);
    } catch (const platform::UnsafeFolderError& error) {
        throw UnsafeMountFolderError(error);
    } catch (const std::exception& error) {
        m_log.error("token beside %{public}s: %{public}s", folder.string(), error.what());
        return std::nullopt;
    }
    const auto file = directory / MountResource::tokenFileName(device, located);
    try {
        m_services.files.createEmptyFile(file);
    } catch (const platform::UnsafeFolderError& error) {
        throw UnsafeMountFolderError(error);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return file;
}

std::string MountManager::mtpURL(const corvane::USBDeviceDescriptor& device, int attempt,
                                 corvane::TakeOver takeOver, bool located) {
    return MountResource::url(device, attempt, takeOver, located);
}

bool MountManager::indicatesAccessNotGranted(std::string_view lowerOutput) {
    return containsAny(lowerOutput, accessDenied) && !containsAny(lowerOutput, folderRefused);
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
    if (contains(lower, "not permitted") ||
        (containsAny(lower, accessDenied) && containsAny(lower, folderRefused))) {
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

std::optional<std::int32_t> MountManager::serverNamedIn(std::string_view output) {
    const auto at = output.find(servedByProcess);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    auto digits = output.substr(at + servedByProcess.size());
    digits = digits.substr(0, digits.find_first_not_of("0123456789"));
    const auto pid = platform::wholeNumber<std::int32_t>(digits);
    return pid && *pid > 0 ? pid : std::nullopt;
}

Task<std::optional<std::filesystem::path>> MountManager::liveMount(const corvane::USBDeviceDescriptor& device,
                                                                   bool located) {
    auto existing = existingMount(device, located);
    if (!existing || !co_await hasLostServer(*existing)) {
        co_return existing;
    }
    // Its server died: the folder answers nothing but ENOTCONN, and the device is not mounted.
    m_log.error("the mount on %{public}s lost its server; taking it down", existing->string());
    co_await takeDown(*existing);
    co_return std::nullopt;
}

Task<MountManager::Mounted> MountManager::mount(corvane::USBDeviceDescriptor device,
                                                std::filesystem::path folder,
                                                std::optional<bool> extensionEnabled,
                                                corvane::TakeOver takeOver, bool located) {
    if (auto existing = co_await liveMount(device, located)) {
        co_return Mounted{std::move(*existing), std::nullopt};
    }
    // A dead mount taken down just now may have been on this very folder, which went with it.
    try {
        m_services.files.createDirectories(folder);
    } catch (const std::exception&) {
        // The mount tool says what is wrong with the folder.
    }
    int attempt = 1;
    bool tokenForm = true;
    const auto resourceFor = [&](int number) {
        if (tokenForm) {
            if (auto token = tokenFile(device, folder, number, takeOver, located)) {
                return token->string();
            }
        }
        return mtpURL(device, number, takeOver, located);
    };
    auto resource = resourceFor(attempt);
    // A failed mount leaves no token file behind: the next mount of the device makes its own.
    std::optional<std::string> token;
    const auto failed = [&](MountError error) {
        removeToken(token, folder);
        return error;
    };
    ProcessResult result;
    std::string lower;
    while (true) {
        if (resource.starts_with("/")) {
            token = resource;
        }
        ProcessCommand command{
            m_tools.mountTool, {"-t", "tandalo", resource, folder.string()}, m_tools.mountTimeLimit};
        result = co_await run(m_services.processes, std::move(command));
        m_log.notice("mount %{public}s at %{public}s: exit %d %{public}s", resource, folder.string(),
                     result.status, result.output);
        if (result.status == 0) {
            co_return Mounted{folder, serverNamedIn(result.output)};
        }
        // The tool may report a failure of a mount that happened all the same.
        if (auto existing = co_await liveMount(device, located)) {
            co_return Mounted{std::move(*existing), std::nullopt};
        }
        // The whole limit went by waiting for the phone: running the tool again would only double it.
        if (result.timedOut) {
            throw failed(MountError(timeLimitMessage(m_tools.mountTimeLimit)));
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
            resource = mtpURL(device, attempt, takeOver, located);
            continue;
        }
        break;
    }
    throw failed(
        MountError(failureMessage(result.output, result.status, extensionEnabled), findingsOf(lower)));
}

} // namespace tandalo::app
