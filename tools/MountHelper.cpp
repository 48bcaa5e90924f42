#include "tools/MountHelper.h"

#include "Corvane/usb/TransportFactory.h"
#include "Corvane/usb/IOUSBHostTransport.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "FileSystemExtension/TandaloFileSystem.h"
#include "platform/fskit/Error.h"
#include "platform/fskit/FSResource.h"
#include "platform/fuse/FuseError.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tandalo::tools {

namespace {

std::vector<std::string> splitOptions(const std::string& text) {
    std::vector<std::string> options;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        options.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            return options;
        }
        start = comma + 1;
    }
}

std::atomic<int> signalPipe{-1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const int descriptor = signalPipe.load();
    if (descriptor >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(descriptor, &byte, 1);
    }
    errno = saved;
}

std::array<int, 2> stopPipe{-1, -1};

} // namespace

const corvane::TransportFactory& defaultBusTransports() {
    static const corvane::TransportFactory factory = [] {
        corvane::TransportFactory made;
        made.makeIOUSBLib = [](const corvane::USBDeviceDescriptor& descriptor, corvane::TakeOver takeOver) {
            return std::unique_ptr<corvane::PTPTransport>(
                corvane::IOUSBLibTransport::open(descriptor, takeOver));
        };
        made.makeIOUSBHost = [](const corvane::USBDeviceDescriptor& descriptor,
                                std::function<void()> onDisconnect) {
            return std::unique_ptr<corvane::PTPTransport>(
                corvane::IOUSBHostTransport::open(descriptor, std::move(onDisconnect)));
        };
        return made;
    }();
    return factory;
}

std::string_view mountUsage() {
    return "usage: mount-tandalo [-f] [-o ro|rw] -t tandalo <resource> <folder>\n"
           "  <resource>  mtp://<serial number> (or mtp://any)\n"
           "  -f          stay in the foreground and serve until the folder is unmounted\n"
           "  -o ro       mount read-only";
}

MountArguments parseMountArguments(std::span<const std::string> arguments) {
    MountArguments parsed;
    bool typeGiven = false;
    bool optionsGiven = false;
    bool foregroundGiven = false;
    std::vector<std::string> operands;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (!operands.empty() || argument.empty() || argument[0] != '-' || argument == "-") {
            operands.push_back(argument);
            continue;
        }
        if (argument == "-t" || argument == "-o") {
            if (index + 1 >= arguments.size()) {
                throw UsageError("option " + argument + " needs a value");
            }
            const std::string& value = arguments[++index];
            if (argument == "-t") {
                if (typeGiven) {
                    throw UsageError("-t given more than once");
                }
                if (value != "tandalo") {
                    throw UsageError("unsupported file-system type \"" + value + "\" (only tandalo)");
                }
                typeGiven = true;
            } else {
                if (optionsGiven) {
                    throw UsageError("-o given more than once");
                }
                optionsGiven = true;
                for (const auto& option : splitOptions(value)) {
                    if (option == "ro") {
                        parsed.readOnly = true;
                    } else if (option == "rw") {
                        parsed.readOnly = false;
                    } else {
                        throw UsageError("unknown mount option \"" + option + "\"");
                    }
                }
            }
        } else if (argument == "-f") {
            if (foregroundGiven) {
                throw UsageError("-f given more than once");
            }
            foregroundGiven = true;
            parsed.foreground = true;
        } else {
            throw UsageError("unknown option \"" + argument + "\"");
        }
    }
    if (!typeGiven) {
        throw UsageError("the file-system type is missing (-t tandalo)");
    }
    if (operands.size() != 2) {
        throw UsageError("expected a resource and a folder, got " + std::to_string(operands.size()) +
                         " operand" + (operands.size() == 1 ? "" : "s"));
    }
    if (!operands[0].starts_with("mtp://")) {
        throw UsageError("the resource \"" + operands[0] + "\" is not an mtp:// URL");
    }
    if (operands[1].empty()) {
        throw UsageError("the folder is empty");
    }
    parsed.resource = operands[0];
    parsed.folder = operands[1];
    return parsed;
}

std::unique_ptr<fusehost::FuseMount> mountResource(const std::string& resource,
                                                   const std::filesystem::path& folder, bool readOnly) {
    TandaloFileSystem::Context context;
    context.deviceContext.transportFactory = &defaultBusTransports();
    auto fileSystem = std::make_shared<TandaloFileSystem>(std::move(context));
    fusehost::MountOptions options;
    if (readOnly) {
        options.taskOptions = fskit::FSTaskOptions({std::string(fskit::FSTaskOptions::readOnly)});
    }
    return fusehost::FuseMount::mount(fileSystem, std::make_shared<fskit::FSGenericURLResource>(resource),
                                      folder, std::move(options));
}

StopSignals::StopSignals() {
    if (::pipe2(stopPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        throw fusehost::FuseError::fromErrno("pipe", errno);
    }
    signalPipe.store(stopPipe[1]);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    signalPipe.store(-1);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
}

bool StopSignals::waitForStop(std::chrono::milliseconds limit) {
    pollfd descriptor{stopPipe[0], POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(limit.count()));
    if (ready <= 0) {
        return false;
    }
    char drained[16];
    while (::read(stopPipe[0], drained, sizeof drained) > 0) {
    }
    return true;
}

void serveUntilUnmounted(fusehost::FuseMount& mount, StopSignals& signals) {
    while (mount.isServing()) {
        if (signals.waitForStop(std::chrono::milliseconds(200))) {
            break;
        }
    }
    mount.shutdown();
}

int errnoOf(const std::exception& error) noexcept {
    if (const auto* fuseError = dynamic_cast<const fusehost::FuseError*>(&error)) {
        return fuseError->code();
    }
    if (const auto* fskitError = dynamic_cast<const fskit::Error*>(&error);
        fskitError && fskitError->isPOSIX()) {
        return fskitError->code();
    }
    return EIO;
}

} // namespace tandalo::tools
